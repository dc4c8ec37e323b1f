#include "serve/view_server.h"

#include "barcode/barcode.h"
#include "core/limits.h"
#include "serve/answer_stream.h"
#include "serve/svg_canvas.h"
#include "serve/view_csv.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
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

constexpr int kMaxKeyLength = 256; // serial numbers, run ids, check names, label texts
constexpr int kMaxRows = 10000;    // the most runs of a check asked for at once
constexpr int kHourlyDays = 7;     // a period this long or longer: throughput per day
constexpr int kQuickDays = 31;     // longer periods take the long lane

QHttpServerResponse Json(const QJsonValue& value, TStatus status = TStatus::Ok)
{
    return value.isArray() ? QHttpServerResponse(value.toArray(), status)
                           : QHttpServerResponse(value.toObject(), status);
}

QHttpServerResponse Error(TStatus status, const QString& reason)
{
    return Json(QJsonObject{{QStringLiteral("error"), reason}}, status);
}

// Made on a worker: the answer's bytes, so the accepting thread only writes them.
TReply JsonReply(const QJsonValue& value, int status = 200)
{
    return {status, "application/json",
            value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                            : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact)};
}

TReply ErrorReply(int status, const QString& reason)
{
    return JsonReply(QJsonObject{{QStringLiteral("error"), reason}}, status);
}

// A period of whole days from ?since=YYYY-MM-DD&until=YYYY-MM-DD, today where one is missing.
std::optional<TViewPeriod> PeriodOf(const QUrlQuery& query, QString& error)
{
    TViewPeriod period{QDate::currentDate(), QDate::currentDate()};
    for (auto [key, day] : {std::pair{QStringLiteral("since"), &period.Since},
                            std::pair{QStringLiteral("until"), &period.Until}}) {
        if (!query.hasQueryItem(key))
            continue;
        // Exactly a day: Qt would also take one with a time of day after it.
        const QString text = query.queryItemValue(key);
        *day = QDate::fromString(text, Qt::ISODate);
        if (!day->isValid() || text.size() != 10) {
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

// A year's answer waits for the long lane; a day's never waits behind it.
TLane LaneOf(const TViewPeriod& period)
{
    const bool bounded = period.Since.isValid() && period.Until.isValid();
    return bounded && period.Since.daysTo(period.Until) < kQuickDays ? TLane::Quick : TLane::Long;
}

// A list ordered by time first, made a slice of days at a time: the same bytes as the whole
// list, never held whole (a year per hour is tens of thousands of rows).
TViewPool::TJob Sliced(TViewPeriod period, QJsonArray (TLineView::*list)(const TViewPeriod&))
{
    constexpr int kSliceDays = 14;
    struct TState
    {
        QDate Next;
        bool Wrote = false; // an element went out: the next one follows a comma
    };
    auto state = std::make_shared<TState>(TState{period.Since});
    return [=](TLineView& v) {
        const QDate since = state->Next,
                    until = std::min(period.Until, since.addDays(kSliceDays - 1));
        const QByteArray whole =
                QJsonDocument((v.*list)({since, until})).toJson(QJsonDocument::Compact);
        const QByteArray elements = whole.mid(1, whole.size() - 2);
        QByteArray text = since == period.Since ? "[" : "";
        if (state->Wrote && !elements.isEmpty())
            text += ',';
        text += elements;
        const bool last = until >= period.Until;
        if (last)
            text += ']';
        state->Next = until.addDays(1);
        state->Wrote = state->Wrote || !elements.isEmpty();
        TReply reply{200, "application/json", text};
        reply.More = !last;
        return reply;
    };
}

// One line of an event stream: the data of a store or a failure, never a line break.
QByteArray EventLine(QByteArray text)
{
    text.replace('\r', ' ').replace('\n', ' ');
    return text;
}

} // namespace

TViewServer::TViewServer(TViewSource source, TServeLimits limits, TPoolLimits pool,
                         TFeedLimits feed, QObject* parent)
    : QAbstractHttpServer(parent)
    , limits_(limits)
    , feed_(feed)
    , pool_(std::move(source), pool)
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
            {"slots.js", "text/javascript"},
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

    connect(&changeTimer_, &QTimer::timeout, this, &TViewServer::PollChanges);
    connect(&heartbeat_, &QTimer::timeout, this, [this] { Broadcast(": alive\n\n"); });
    changeTimer_.start(feed_.ChangeMs);
    heartbeat_.start(feed_.HeartbeatMs);
}

TViewServer::~TViewServer() = default;

quint16 TViewServer::Listen(const QHostAddress& address, quint16 port, QString& error)
{
    auto* tcp = new TBoundedTcpServer(limits_, tls_, this);
    if (!tcp->listen(address, port)) {
        error = tcp->errorString();
        delete tcp;
        return 0;
    }
    bind(tcp);
    return tcp->serverPort();
}

namespace {

// Every answer goes out here, with the headers every answer carries.
void Send(QHttpServerResponse response, QHttpServerResponder&& responder)
{
    for (const auto& [name, value] : SecurityHeaders())
        response.setHeader(name, value);
    response.write(std::move(responder));
}

} // namespace

bool TViewServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    TBoundedTcpServer::Answering(socket);
    auto responder = makeResponder(request, socket);
    if (access_ && !access_->Admits(request.value("Authorization"))) {
        auto response = Error(TStatus::Unauthorized, QStringLiteral("log in"));
        response.addHeader("WWW-Authenticate", R"(Basic realm="tolvek", charset="UTF-8")");
        Send(std::move(response), std::move(responder));
        return true;
    }
    if (request.method() != QHttpServerRequest::Method::Get) {
        auto response = Error(TStatus::MethodNotAllowed, QStringLiteral("only GET"));
        response.addHeader("Allow", "GET");
        Send(std::move(response), std::move(responder));
        return true;
    }
    // Split before decoding, so an encoded "/" stays inside its segment.
    QStringList path = request.url().path(QUrl::FullyEncoded).split(QLatin1Char('/')).mid(1);
    for (QString& segment : path)
        segment = QUrl::fromPercentEncoding(segment.toUtf8());
    if (path == QStringList{QStringLiteral("api"), QStringLiteral("changes")}
        && request.value("Accept").contains("text/event-stream")) {
        Subscribe(responder, socket);
        return true;
    }
    TPlan plan = Route(path, request.query());
    if (plan.Now) {
        Send(std::move(*plan.Now), std::move(responder));
        return true;
    }
    const QString address = socket->peerAddress().toString();
    if (queries_.value(address) >= feed_.QueriesPerAddress) {
        auto response = Error(TStatus::TooManyRequests, QStringLiteral("too many at once"));
        response.addHeader("Retry-After", "1");
        Send(std::move(response), std::move(responder));
        return true;
    }
    auto pending = std::make_shared<QHttpServerResponder>(std::move(responder));
    const bool queued = pool_.Submit(
            plan.Lane, plan.Job, this,
            [this, pending, address, lane = plan.Lane, job = plan.Job,
             peer = QPointer<QTcpSocket>(socket)](TReply reply) {
                if (--queries_[address] <= 0)
                    queries_.remove(address);
                if (!peer || peer->state() != QAbstractSocket::ConnectedState)
                    return;
                // A large answer goes out as the client takes it, never held whole.
                if (reply.Status == 200 && (reply.More || reply.Rest)) {
                    TAnswerStream::Start(*pending, std::move(reply), pool_, lane, job);
                    return;
                }
                QHttpServerResponse response(reply.Mime, reply.Body, TStatus(reply.Status));
                if (!reply.Disposition.isEmpty())
                    response.setHeader("Content-Disposition", reply.Disposition);
                Send(std::move(response), std::move(*pending));
            });
    if (!queued) {
        auto response = Error(TStatus::ServiceUnavailable, QStringLiteral("busy; try again"));
        response.addHeader("Retry-After", "1");
        Send(std::move(response), std::move(*pending));
        return true;
    }
    ++queries_[address];
    return true;
}

// Not reached: every request is handled above.
void TViewServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    Send(QHttpServerResponse(TStatus::NotFound), makeResponder(request, socket));
}

void TViewServer::Subscribe(QHttpServerResponder& responder, QTcpSocket* socket)
{
    responder.writeStatusLine(QHttpServerResponder::StatusCode::Ok);
    responder.writeHeader("Content-Type", "text/event-stream");
    responder.writeHeader("Connection", "close");
    for (const auto& [name, value] : SecurityHeaders())
        responder.writeHeader(name, value);
    // The stream ends only with the connection; the browser comes back after 3 s.
    QByteArray first = "retry: 3000\n\n";
    if (change_ && !failing_)
        first += "data: " + *change_ + "\n\n";
    responder.writeBody(first);
    TBoundedTcpServer::Streaming(socket);
    streams_.append(QPointer<QTcpSocket>(socket));
    if (!change_)
        PollChanges();
}

void TViewServer::PollChanges()
{
    streams_.removeIf([](const QPointer<QTcpSocket>& s) {
        return !s || s->state() != QAbstractSocket::ConnectedState;
    });
    if (streams_.isEmpty()) {
        change_.reset(); // unwatched, it may have moved
        return;
    }
    if (polling_)
        return;
    polling_ = pool_.Submit(
            TLane::Quick,
            [](TLineView& view) {
                return TReply{200, {}, view.LatestChange().toUtf8()};
            },
            this,
            [this](const TReply& reply) {
                polling_ = false;
                if (reply.Status != 200) {
                    if (!failing_)
                        Broadcast("event: failure\ndata: " + EventLine(reply.Body) + "\n\n");
                    failing_ = true;
                    return;
                }
                const QByteArray change = EventLine(reply.Body);
                if (change_ == change && !failing_)
                    return;
                failing_ = false;
                change_ = change;
                Broadcast("data: " + change + "\n\n");
            });
}

void TViewServer::Broadcast(const QByteArray& event)
{
    for (const auto& stream : std::as_const(streams_))
        if (stream && stream->state() == QAbstractSocket::ConnectedState)
            stream->write(event);
}

TViewServer::TPlan TViewServer::Route(const QStringList& path, const QUrlQuery& query)
{
    const QString first = path.value(0), second = path.value(1);
    if (first == QLatin1String("api") && path.size() > 1 && path.size() <= 3)
        return Api(path.mid(1), query);
    if (first == QLatin1String("csv") && path.size() == 2) {
        QString error;
        const auto period = PeriodOf(query, error);
        if (!period)
            return {Error(TStatus::BadRequest, error)};
        auto plan = CsvPlan(second, *period, query);
        if (!plan.Job)
            return {Error(TStatus(plan.Status), plan.Error)};
        return {LaneOf(*period), std::move(plan.Job)};
    }
    QString asset;
    if (path.size() == 1 && first.isEmpty())
        asset = QStringLiteral("line.html");
    else if (path.size() != 2 || second.isEmpty() || second.size() > kMaxKeyLength)
        return {QHttpServerResponse(TStatus::NotFound)};
    else if (first == QLatin1String("unit") || first == QLatin1String("run"))
        asset = first + QStringLiteral(".html");
    else if (first == QLatin1String("static"))
        asset = second;
    else if (first == QLatin1String("label") && second.endsWith(QLatin1String(".svg"))) {
        try {
            return {QHttpServerResponse(
                    "image/svg+xml",
                    QByteArray::fromStdString(LabelBarcodeSvg(second.chopped(4).toStdString())))};
        } catch (const EBarcodeError& e) {
            return {Error(TStatus::NotFound, QString::fromUtf8(e.what()))};
        }
    }
    const auto found = assets_.constFind(asset);
    if (found == assets_.cend())
        return {QHttpServerResponse(TStatus::NotFound)};
    return {QHttpServerResponse(found->Mime, found->Bytes)};
}

TViewServer::TPlan TViewServer::Api(const QStringList& path, const QUrlQuery& query)
{
    const QString& name = path[0];
    const QString key = path.value(1);
    if (key.size() > kMaxKeyLength)
        return {Error(TStatus::NotFound, QStringLiteral("no such item"))};
    if (path.size() == 2 && !key.isEmpty()) {
        if (name == QLatin1String("unit"))
            return {TLane::Quick, [key](TLineView& v) { return JsonReply(v.UnitRuns(key)); }};
        if (name == QLatin1String("run"))
            return {TLane::Quick, [key](TLineView& v) {
                        const auto run = v.Run(key);
                        return run ? JsonReply(*run)
                                   : ErrorReply(404, QStringLiteral("no such run"));
                    }};
    }
    if (path.size() == 1 && name == QLatin1String("changes"))
        return {TLane::Quick, [](TLineView& v) {
                    return JsonReply(QJsonObject{{QStringLiteral("change"), v.LatestChange()}});
                }};

    QString error;
    const auto period = PeriodOf(query, error);
    const bool checkRuns =
            path.size() == 2 && name == QLatin1String("pareto") && key == QLatin1String("runs");
    const bool slotRuns =
            path.size() == 2 && name == QLatin1String("slots") && key == QLatin1String("runs");
    if (path.size() != 1 && !checkRuns && !slotRuns)
        return {Error(TStatus::NotFound, QStringLiteral("no such item"))};
    if (!period)
        return {Error(TStatus::BadRequest, error)};
    const TLane lane = LaneOf(*period);
    if (checkRuns) {
        const QString check = query.queryItemValue(QStringLiteral("check"), QUrl::FullyDecoded);
        if (check.isEmpty() || check.size() > kMaxKeyLength)
            return {Error(TStatus::BadRequest, QStringLiteral("check= names the failing check"))};
        // The page asks for one more than it shows, to tell that the list was cut.
        bool given = false;
        const int limit = query.queryItemValue(QStringLiteral("limit")).toInt(&given);
        if (query.hasQueryItem(QStringLiteral("limit"))
            && (!given || limit < 1 || limit > kMaxRows))
            return {Error(TStatus::BadRequest, QStringLiteral("limit= is 1 to %1").arg(kMaxRows))};
        return {lane, [p = *period, check, n = given ? limit : 1000](TLineView& v) {
                    return JsonReply(v.RunsOfCheck(p, check, n));
                }};
    }
    if (slotRuns) {
        // An empty slot= asks for the bench's runs made without a port.
        const QString bench = query.queryItemValue(QStringLiteral("bench"), QUrl::FullyDecoded);
        const QString slot = query.queryItemValue(QStringLiteral("slot"), QUrl::FullyDecoded);
        if (bench.isEmpty() || bench.size() > kMaxKeyLength || slot.size() > kMaxKeyLength)
            return {Error(TStatus::BadRequest,
                          QStringLiteral("bench= names the bench, slot= its port"))};
        return {lane, [p = *period, bench, slot](TLineView& v) {
                    return JsonReply(v.RunsOfSlot(p, bench, slot));
                }};
    }
    if (name == QLatin1String("throughput")) {
        // Per hour for a short period, per day for a long one, unless asked for.
        const QString per = query.queryItemValue(QStringLiteral("per"));
        const bool days = per.isEmpty() ? period->Since.daysTo(period->Until) >= kHourlyDays
                                        : per == QLatin1String("day");
        if (!per.isEmpty() && !days && per != QLatin1String("hour"))
            return {Error(TStatus::BadRequest, QStringLiteral("per= is day or hour"))};
        if (!days)
            return {lane, Sliced(*period, &TLineView::RunsPerHour)};
        return {lane, [p = *period](TLineView& v) { return JsonReply(v.RunsPerDay(p)); }};
    }
    if (name == QLatin1String("durations")) {
        const QString step = query.queryItemValue(QStringLiteral("step"), QUrl::FullyDecoded);
        if (step.size() > kMaxKeyLength)
            return {Error(TStatus::BadRequest, QStringLiteral("step= is too long"))};
        return {lane,
                [p = *period, step](TLineView& v) { return JsonReply(v.Durations(p, step)); }};
    }
    if (name == QLatin1String("never-passed"))
        return {lane, [p = *period](TLineView& v) { return JsonReply(v.NeverPassed(p)); }};
    if (name == QLatin1String("summary"))
        return {lane, [p = *period](TLineView& v) { return JsonReply(v.Summary(p)); }};
    if (name == QLatin1String("histogram") || name == QLatin1String("runchart")) {
        const QString measurement =
                query.queryItemValue(QStringLiteral("measurement"), QUrl::FullyDecoded);
        const auto& names = LimitMeasurementNames();
        if (std::find(names.begin(), names.end(), measurement.toStdString()) == names.end())
            return {Error(TStatus::BadRequest,
                          QStringLiteral("measurement= names a measurement (upload_mib_s, ...)"))};
        if (name == QLatin1String("histogram"))
            return {lane, [p = *period, measurement](TLineView& v) {
                        return JsonReply(v.MeasureHistogram(p, measurement));
                    }};
        return {lane, [p = *period, measurement](TLineView& v) {
                    return JsonReply(v.MeasureRunChart(p, measurement));
                }};
    }
    using TQuery = QJsonArray (TLineView::*)(const TViewPeriod&);
    const std::pair<const char*, TQuery> lists[] = {
            {"yield", &TLineView::YieldPerDay},  {"bench-yield", &TLineView::YieldPerBenchDay},
            {"pareto", &TLineView::Pareto},      {"bench-pareto", &TLineView::ParetoPerBench},
            {"steps", &TLineView::StepMedians},  {"rates", &TLineView::TransferRates},
            {"slots", &TLineView::YieldPerSlot}, {"measures", &TLineView::MeasureStats},
    };
    for (auto [listName, list] : lists)
        if (name == QLatin1String(listName))
            return {lane,
                    [p = *period, query = list](TLineView& v) { return JsonReply((v.*query)(p)); }};
    return {Error(TStatus::NotFound, QStringLiteral("no such item"))};
}

} // namespace tolvek
