#include "serve/view_server.h"

#include "barcode/barcode.h"
#include "core/limits.h"
#include "serve/svg_canvas.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>
#include <stdexcept>

static void LoadPages()
{
    Q_INIT_RESOURCE(pages);
}

namespace tolvek {
namespace {

using TStatus = QHttpServerResponse::StatusCode;

// Debian's libjs-chart.js, which the package depends on.
const char kChartJs[] = "/usr/share/javascript/chart.js/chart.min.js";

// Pages load script, style and pictures from this server alone, and no inline script runs.
const QByteArray kSecurityHeaders[][2] = {
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
         "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cache-Control", "no-store"},
};

constexpr int kMaxKeyLength = 256; // serial numbers, run ids, check names, label texts

QHttpServerResponse Json(const QJsonValue& value, TStatus status = TStatus::Ok)
{
    return value.isArray() ? QHttpServerResponse(value.toArray(), status)
                           : QHttpServerResponse(value.toObject(), status);
}

QHttpServerResponse Error(TStatus status, const QString& reason)
{
    return Json(QJsonObject{{QStringLiteral("error"), reason}}, status);
}

// A period of whole days from ?since=YYYY-MM-DD&until=YYYY-MM-DD, today where one is missing.
std::optional<TViewPeriod> PeriodOf(const QUrlQuery& query, QString& error)
{
    TViewPeriod period{QDate::currentDate(), QDate::currentDate()};
    for (auto [key, day] : {std::pair{QStringLiteral("since"), &period.Since},
                            std::pair{QStringLiteral("until"), &period.Until}}) {
        if (!query.hasQueryItem(key))
            continue;
        *day = QDate::fromString(query.queryItemValue(key), Qt::ISODate);
        if (!day->isValid()) {
            error = key + QStringLiteral(" is not a day (YYYY-MM-DD)");
            return std::nullopt;
        }
    }
    if (period.Until < period.Since) {
        error = QStringLiteral("until is before since");
        return std::nullopt;
    }
    return period;
}

// Hands each connection to the HTTP server with bounds on its request's size and time
// and on its idle time, and keeps the number of connections bounded.
class TBoundedTcpServer : public QTcpServer
{
public:
    TBoundedTcpServer(TServeLimits limits, QObject* parent)
        : QTcpServer(parent)
        , limits_(limits)
    {}

protected:
    void incomingConnection(qintptr handle) override
    {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(handle) || open_ >= limits_.Connections) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        ++open_;
        connect(socket, &QObject::destroyed, this, [this] { --open_; });
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, socket, [socket] { socket->abort(); });
        deadline->start(limits_.RequestMs);
        // Connected before the HTTP server's own reader, so it sees each piece first.
        auto requestBytes = std::make_shared<qint64>(-1); // -1: between requests
        connect(socket, &QTcpSocket::readyRead, socket, [=, this] {
            if (*requestBytes < 0) {
                *requestBytes = 0;
                deadline->start(limits_.RequestMs);
            }
            *requestBytes += socket->bytesAvailable();
            if (*requestBytes > limits_.RequestBytes)
                socket->abort();
        });
        connect(socket, &QTcpSocket::bytesWritten, socket, [=, this] {
            if (socket->bytesToWrite() > 0)
                return;
            *requestBytes = -1;
            deadline->start(limits_.IdleMs);
        });
        addPendingConnection(socket);
    }

private:
    TServeLimits limits_;
    int open_ = 0;
};

} // namespace

TViewServer::TViewServer(std::unique_ptr<TLineView> view, TServeLimits limits, QObject* parent)
    : QAbstractHttpServer(parent)
    , view_(std::move(view))
    , limits_(limits)
{
    LoadPages();
    // The pages are also under /static/, which does no harm.
    const std::pair<const char*, const char*> files[] = {
            {"line.html", "text/html; charset=utf-8"},
            {"unit.html", "text/html; charset=utf-8"},
            {"run.html", "text/html; charset=utf-8"},
            {"view.css", "text/css"},
            {"view.js", "text/javascript"},
            {"line.js", "text/javascript"},
            {"unit.js", "text/javascript"},
            {"run.js", "text/javascript"},
            {"measures.js", "text/javascript"},
    };
    for (auto [name, mime] : files) {
        QFile file(QStringLiteral(":/serve/pages/") + QLatin1String(name));
        if (file.open(QIODevice::ReadOnly))
            assets_.insert(QLatin1String(name), {mime, file.readAll()});
    }
    // Without it the figures and tables still show; the charts stay empty.
    QFile chart(QString::fromLatin1(kChartJs));
    if (chart.open(QIODevice::ReadOnly))
        assets_.insert(QStringLiteral("chart.js"), {"text/javascript", chart.readAll()});
}

TViewServer::~TViewServer() = default;

quint16 TViewServer::Listen(const QHostAddress& address, quint16 port, QString& error)
{
    auto* tcp = new TBoundedTcpServer(limits_, this);
    if (!tcp->listen(address, port)) {
        error = tcp->errorString();
        delete tcp;
        return 0;
    }
    bind(tcp);
    return tcp->serverPort();
}

bool TViewServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    Answer(request).write(makeResponder(request, socket));
    return true;
}

// Not reached: every request is handled above.
void TViewServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    Answer(request).write(makeResponder(request, socket));
}

QHttpServerResponse TViewServer::Answer(const QHttpServerRequest& request)
{
    QHttpServerResponse response(TStatus::NotFound);
    if (request.method() != QHttpServerRequest::Method::Get) {
        response = Error(TStatus::MethodNotAllowed, QStringLiteral("only GET"));
        response.addHeader("Allow", "GET");
    } else {
        // Split before decoding, so an encoded "/" stays inside its segment.
        QStringList path = request.url().path(QUrl::FullyEncoded).split(QLatin1Char('/')).mid(1);
        for (QString& segment : path)
            segment = QUrl::fromPercentEncoding(segment.toUtf8());
        try {
            response = Route(path, request.query());
        } catch (const std::exception& e) {
            response = Error(TStatus::ServiceUnavailable, QString::fromUtf8(e.what()));
        }
    }
    for (const auto& [name, value] : kSecurityHeaders)
        response.setHeader(name, value);
    return response;
}

QHttpServerResponse TViewServer::Route(const QStringList& path, const QUrlQuery& query)
{
    const QString first = path.value(0), second = path.value(1);
    if (first == QLatin1String("api") && path.size() > 1 && path.size() <= 3)
        return Api(path.mid(1), query);
    QString asset;
    if (path.size() == 1 && first.isEmpty())
        asset = QStringLiteral("line.html");
    else if (path.size() != 2 || second.isEmpty() || second.size() > kMaxKeyLength)
        return QHttpServerResponse(TStatus::NotFound);
    else if (first == QLatin1String("unit") || first == QLatin1String("run"))
        asset = first + QStringLiteral(".html");
    else if (first == QLatin1String("static"))
        asset = second;
    else if (first == QLatin1String("label") && second.endsWith(QLatin1String(".svg"))) {
        try {
            return QHttpServerResponse("image/svg+xml", QByteArray::fromStdString(LabelBarcodeSvg(
                                                                second.chopped(4).toStdString())));
        } catch (const EBarcodeError& e) {
            return Error(TStatus::NotFound, QString::fromUtf8(e.what()));
        }
    }
    const auto found = assets_.constFind(asset);
    if (found == assets_.cend())
        return QHttpServerResponse(TStatus::NotFound);
    return QHttpServerResponse(found->Mime, found->Bytes);
}

QHttpServerResponse TViewServer::Api(const QStringList& path, const QUrlQuery& query)
{
    const QString& name = path[0];
    const QString key = path.value(1);
    if (key.size() > kMaxKeyLength)
        return Error(TStatus::NotFound, QStringLiteral("no such item"));
    if (path.size() == 2 && !key.isEmpty()) {
        if (name == QLatin1String("unit"))
            return Json(view_->UnitRuns(key));
        if (name == QLatin1String("run")) {
            const auto run = view_->Run(key);
            return run ? Json(*run) : Error(TStatus::NotFound, QStringLiteral("no such run"));
        }
    }
    if (path.size() == 1 && name == QLatin1String("changes"))
        return Json(QJsonObject{{QStringLiteral("change"), view_->LatestChange()}});

    QString error;
    const auto period = PeriodOf(query, error);
    const bool checkRuns =
            path.size() == 2 && name == QLatin1String("pareto") && key == QLatin1String("runs");
    if (path.size() != 1 && !checkRuns)
        return Error(TStatus::NotFound, QStringLiteral("no such item"));
    if (!period)
        return Error(TStatus::BadRequest, error);
    if (checkRuns) {
        const QString check = query.queryItemValue(QStringLiteral("check"), QUrl::FullyDecoded);
        if (check.isEmpty() || check.size() > kMaxKeyLength)
            return Error(TStatus::BadRequest, QStringLiteral("check= names the failing check"));
        return Json(view_->RunsOfCheck(*period, check));
    }
    if (name == QLatin1String("summary"))
        return Json(view_->Summary(*period));
    if (name == QLatin1String("histogram") || name == QLatin1String("runchart")) {
        const QString measurement =
                query.queryItemValue(QStringLiteral("measurement"), QUrl::FullyDecoded);
        const auto& names = LimitMeasurementNames();
        if (std::find(names.begin(), names.end(), measurement.toStdString()) == names.end())
            return Error(TStatus::BadRequest,
                         QStringLiteral("measurement= names a measurement (upload_mib_s, ...)"));
        return name == QLatin1String("histogram")
                       ? Json(view_->MeasureHistogram(*period, measurement))
                       : Json(view_->MeasureRunChart(*period, measurement));
    }
    using TQuery = QJsonArray (TLineView::*)(const TViewPeriod&);
    const std::pair<const char*, TQuery> lists[] = {
            {"yield", &TLineView::YieldPerDay},   {"throughput", &TLineView::RunsPerHour},
            {"pareto", &TLineView::Pareto},       {"steps", &TLineView::StepMedians},
            {"rates", &TLineView::TransferRates}, {"measures", &TLineView::MeasureStats},
    };
    for (auto [listName, list] : lists)
        if (name == QLatin1String(listName))
            return Json((view_.get()->*list)(*period));
    return Error(TStatus::NotFound, QStringLiteral("no such item"));
}

} // namespace tolvek
