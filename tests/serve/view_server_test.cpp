// The server as a client on the wire sees it: raw requests over TCP, so what a browser
// or an attacker can send is what the test sends.
#include "serve/view_server.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpSocket>

namespace tolvek {
namespace {

// Answers with the keys it was asked for, so the test sees what reached the queries.
class TEchoView : public TLineView
{
public:
    QJsonObject Summary(const TViewPeriod& p) override
    {
        return {{"since", p.Since.toString(Qt::ISODate)}, {"until", p.Until.toString(Qt::ISODate)}};
    }
    QJsonArray YieldPerDay(const TViewPeriod&) override { return {}; }
    QJsonArray RunsPerHour(const TViewPeriod&) override { return {}; }
    QJsonArray Pareto(const TViewPeriod&) override { return {}; }
    QJsonArray RunsOfCheck(const TViewPeriod&, const QString& check, int) override
    {
        return {check};
    }
    QJsonArray StepMedians(const TViewPeriod&) override { return {}; }
    QJsonArray TransferRates(const TViewPeriod&) override
    {
        throw std::runtime_error("the database went away");
    }
    QJsonArray MeasureStats(const TViewPeriod& p) override
    {
        return {p.Since.toString(Qt::ISODate)};
    }
    QJsonObject MeasureHistogram(const TViewPeriod&, const QString& measurement) override
    {
        return {{"histogram", measurement}};
    }
    QJsonArray MeasureRunChart(const TViewPeriod&, const QString& measurement) override
    {
        return {measurement};
    }
    QJsonArray UnitRuns(const QString& serial, int) override { return {serial}; }
    std::optional<QJsonObject> Run(const QString& id) override
    {
        if (id != QLatin1String("r1"))
            return std::nullopt;
        return QJsonObject{{"id", id}};
    }
    QString LatestChange() override { return QStringLiteral("7"); }
};

struct TAnswer
{
    int status = 0; // 0: the connection closed without an answer
    QByteArray headers, body;
};

class ViewServerTest : public ::testing::Test
{
protected:
    ViewServerTest()
        : server_(std::make_unique<TEchoView>(),
                  TServeLimits{.RequestBytes = 4096, .RequestMs = 400, .IdleMs = 400})
    {
        QString error;
        port_ = server_.Listen(QHostAddress::LocalHost, 0, error);
    }

    // Sends the bytes, then waits for the whole answer or the server's close.
    TAnswer Send(const QByteArray& request, int pauseMs = 0)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port_);
        socket.write(request);
        QByteArray received;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 3000 && socket.state() != QAbstractSocket::UnconnectedState) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            received += socket.readAll();
            if (pauseMs && clock.elapsed() > pauseMs) {
                socket.write("\r\n");
                pauseMs = 0;
            }
            const auto end = received.indexOf("\r\n\r\n");
            const auto length = received.indexOf("Content-Length: ");
            if (end >= 0 && length >= 0
                && received.size() - end - 4 >= received.mid(length + 16).split('\r')[0].toInt())
                break;
        }
        TAnswer answer;
        const auto end = received.indexOf("\r\n\r\n");
        if (end < 0)
            return answer;
        answer.status = received.mid(9, 3).toInt();
        answer.headers = received.left(end);
        answer.body = received.mid(end + 4);
        return answer;
    }

    TAnswer Get(const QByteArray& target)
    {
        return Send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    }

    TViewServer server_;
    quint16 port_ = 0;
};

TEST_F(ViewServerTest, AnswersEachPathWithItsOwnOrNotFound)
{
    ASSERT_NE(port_, 0);
    const struct
    {
        QByteArray target;
        int status;
        QByteArray bodyHas;
    } cases[] = {
            {"/", 200, "/static/line.js"},
            {"/unit/%3Cscript%3Ealert(1)%3C%2Fscript%3E", 200, "/static/unit.js"},
            {"/run/r1", 200, "/static/run.js"},
            {"/static/view.css", 200, "body"},
            {"/static/chart.js", 200, "Chart"},
            {"/static/..%2Fpages.qrc", 404, ""},
            {"/static/../../../etc/passwd", 404, ""},
            {"/static/%2Fetc%2Fpasswd", 404, ""},
            {"/unit/", 404, ""},
            {"/unit/a/b", 404, ""},
            {"/favicon.ico", 404, ""},
            {"/api/nothing", 404, "error"},
            // Serial numbers and checks reach the queries exactly, "/" and markup included.
            {"/api/unit/a%2Fb%3Cimg%20src%3Dx%3E", 200, R"(["a/b<img src=x>"])"},
            {"/api/pareto/runs?check=%D0%91%D0%BB%D0%BE%D0%BA%20%26%20x", 200, R"(["Блок & x"])"},
            {"/api/pareto/runs", 400, "check"},
            {"/api/run/r1", 200, R"("id":"r1")"},
            {"/api/run/r2", 404, "no such run"},
            {"/api/summary?since=2026-12-01&until=2026-12-09", 200, R"("since":"2026-12-01")"},
            {"/api/summary?since=2026-12-10&until=2026-12-09", 400, "before"},
            {"/api/yield?since=yesterday", 400, "since"},
            {"/api/rates", 503, "the database went away"},
            {"/api/changes", 200, R"({"change":"7"})"},
            {"/api/measures?since=2026-12-01", 200, R"(["2026-12-01"])"},
            {"/api/histogram?measurement=step_ms.report", 200, R"({"histogram":"step_ms.report"})"},
            {"/api/runchart?measurement=upload_mib_s&since=2026-12-01", 200, R"(["upload_mib_s"])"},
            {"/api/histogram?measurement=upload_mbit", 400, "measurement"},
            {"/api/runchart", 400, "measurement"},
            {"/static/measures.js", 200, "loadMeasures"},
            {"/label/0123456789ABCDEF-091226.svg", 200, "<polygon"},
            {"/label/%D0%91-091226.svg", 404, "TBarcode"},
            {"/api/unit/" + QByteArray(300, 'x'), 404, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target.toStdString());
        const TAnswer answer = Get(c.target);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_TRUE(answer.body.contains(c.bodyHas));
        EXPECT_TRUE(answer.headers.contains("Content-Security-Policy: default-src 'none'; "
                                            "script-src 'self'"));
        EXPECT_TRUE(answer.headers.contains("X-Content-Type-Options: nosniff"));
    }
    // No WebSocket: an upgrade request is answered as a plain GET.
    EXPECT_EQ(
            Send("GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
                    .status,
            404);
    EXPECT_EQ(Send("POST /api/summary HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}").status, 405);
}

TEST_F(ViewServerTest, DropsRequestsTooLargeOrTooSlow)
{
    ASSERT_NE(port_, 0);
    const QByteArray huge = "GET / HTTP/1.1\r\nX-Padding: " + QByteArray(8192, 'a') + "\r\n\r\n";
    EXPECT_EQ(Send(huge).status, 0);
    // The request's end comes after the time a request may take.
    EXPECT_EQ(Send("GET / HTTP/1.1\r\nHost: x\r\n", 800).status, 0);
    EXPECT_EQ(Send("GET / HTTP/1.1\r\nHost: x\r\n", 100).status, 200);
}

} // namespace
} // namespace tolvek
