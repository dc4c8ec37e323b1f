// The server as a client on the wire sees it: raw requests over TCP, so what a browser
// or an attacker can send is what the test sends.
#include "serve/view_server.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace tolvek {
namespace {

std::atomic<int> gChange{7};
std::atomic<int> gLongQueryMs{0}; // how long a query over more than a month takes

// Answers with the keys it was asked for, so the test sees what reached the queries.
class TEchoView : public TLineView
{
public:
    QJsonObject Summary(const TViewPeriod& p) override
    {
        if (!p.Since.isValid() || p.Since.daysTo(p.Until) > 31)
            std::this_thread::sleep_for(std::chrono::milliseconds(gLongQueryMs.load()));
        return {{"since", p.Since.toString(Qt::ISODate)}, {"until", p.Until.toString(Qt::ISODate)}};
    }
    QJsonArray YieldPerDay(const TViewPeriod&) override { return {}; }
    QJsonArray YieldPerBenchDay(const TViewPeriod&) override { return {"bench-yield"}; }
    QJsonArray RunsPerHour(const TViewPeriod&) override { return {"hour"}; }
    QJsonArray RunsPerDay(const TViewPeriod&) override { return {"day"}; }
    QJsonArray Pareto(const TViewPeriod&) override { return {}; }
    QJsonArray ParetoPerBench(const TViewPeriod&) override { return {"bench-pareto"}; }
    QJsonArray Durations(const TViewPeriod&, const QString& step) override
    {
        return {"durations", step};
    }
    QJsonArray NeverPassed(const TViewPeriod&, int limit) override { return {"never", limit}; }
    QJsonArray RunsOfCheck(const TViewPeriod&, const QString& check, int limit) override
    {
        return {check, limit};
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
    // Three pieces "run 0" to "run 2"; the third fails for a period from 2026-12-01.
    TRunCsvPiece RunsCsv(const TViewPeriod& p, const std::optional<TRunKey>& after, qint64) override
    {
        const int n = after ? after->Id.toInt() + 1 : 0;
        if (n == 3)
            return {};
        if (n == 2 && p.Since == QDate(2026, 12, 1))
            throw std::runtime_error("the database went away");
        return {"run " + QByteArray::number(n) + "\r\n", TRunKey{{}, QString::number(n)}};
    }
    QString LatestChange() override { return QString::number(gChange.load()); }
    QJsonArray YieldPerSlot(const TViewPeriod& p) override
    {
        return {p.Since.toString(Qt::ISODate)};
    }
    QJsonArray RunsOfSlot(const TViewPeriod&, const QString& bench, const QString& slot,
                          int) override
    {
        return {bench, slot};
    }
};

struct TAnswer
{
    int status = 0; // 0: the connection closed without an answer
    QByteArray headers, body;
};

class ViewServerTest : public ::testing::Test
{
protected:
    explicit ViewServerTest(TServeLimits limits = {.RequestBytes = 4096,
                                                   .RequestMs = 400,
                                                   .IdleMs = 400})
        : server_(TViewSource{[] { return std::make_unique<TEchoView>(); }, {}, "echo"}, limits, {},
                  {.ChangeMs = 50})
    {
        QString error;
        port_ = server_.Listen(QHostAddress::LocalHost, 0, error);
    }

    // Connects from `from` (any loopback address: each is a client address of its own).
    void Connect(QTcpSocket& socket, const char* from = nullptr)
    {
        if (from)
            socket.bind(QHostAddress(QLatin1String(from)));
        socket.connectToHost(QHostAddress::LocalHost, port_);
    }

    // Pumps the event loop until `done` or `ms` pass; whether `done`.
    template<typename F>
    static bool WaitFor(F done, int ms)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        return done();
    }

    // Sends the bytes on `socket`, then waits for one whole answer or the server's close.
    static TAnswer Exchange(QTcpSocket& socket, const QByteArray& request, int pauseMs = 0)
    {
        socket.write(request);
        QByteArray received;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000 && socket.state() != QAbstractSocket::UnconnectedState) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            received += socket.readAll();
            if (pauseMs && clock.elapsed() > pauseMs) {
                socket.write("\r\n");
                pauseMs = 0;
            }
            const auto end = received.indexOf("\r\n\r\n");
            const auto length = received.toLower().indexOf("content-length: ");
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

    TAnswer Send(const QByteArray& request, int pauseMs = 0)
    {
        QTcpSocket socket;
        Connect(socket);
        return Exchange(socket, request, pauseMs);
    }

    TAnswer Get(const QByteArray& target)
    {
        return Send("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    }

    TViewServer server_;
    quint16 port_ = 0;
};

void ExpectSecurityHeaders(const TAnswer& answer)
{
    EXPECT_TRUE(answer.headers.contains("Content-Security-Policy: default-src 'none'; "
                                        "script-src 'self'"));
    EXPECT_TRUE(answer.headers.contains("X-Content-Type-Options: nosniff"));
}

TEST_F(ViewServerTest, AnswersEachPathWithItsOwnOrNotFound)
{
    ASSERT_NE(port_, 0);
    const struct
    {
        QByteArray target; // a path, or a method and a path (then with a body)
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
            {"/api/pareto/runs?check=%D0%91%D0%BB%D0%BE%D0%BA%20%26%20x", 200,
             R"(["Блок & x",1000])"},
            {"/api/pareto/runs", 400, "check"},
            {"/api/slots?since=2026-12-01", 200, R"(["2026-12-01"])"},
            {"/api/slots/runs?bench=r%26k&slot=slot%201&since=2026-12-01", 200,
             R"(["r&k","slot 1"])"},
            {"/api/slots/runs?bench=rack&slot=", 200, R"(["rack",""])"},
            {"/api/slots/runs?slot=slot1", 400, "bench"},
            {"/api/slots/elsewhere", 404, ""},
            {"/static/slots.js", 200, "/api/slots"},
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
            // Downloads: the line page's tables in --export's CSV, the runs in pieces.
            {"/csv/failing-checks?since=2026-12-01", 200, "check,runs,by_bench\r\n"},
            {"/csv/runs-of-check?check=x", 200, "id,started,bench,serial,verdict\r\n"},
            {"/csv/runs-of-check", 400, "check"},
            {"/csv/never-passed?since=yesterday", 400, "since"},
            {"/csv/nothing", 404, "no such table"},
            {"/csv/runs?since=2026-12-02", 200, "7\r\nrun 2\r\n\r\n0\r\n\r\n"},
            {"POST /api/summary", 405, "only GET"},
            {"DELETE /", 405, "only GET"},
    };
    gChange = 7;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target.toStdString());
        const TAnswer answer =
                c.target.startsWith('/')
                        ? Get(c.target)
                        : Send(c.target + " HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}");
        EXPECT_EQ(answer.status, c.status);
        EXPECT_TRUE(answer.body.contains(c.bodyHas));
        ExpectSecurityHeaders(answer);
    }
    // No WebSocket: an upgrade request is answered as a plain GET.
    EXPECT_EQ(
            Send("GET /nothing HTTP/1.1\r\nHost: x\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
                    .status,
            404);
}

// A streamed answer whose store fails in the middle is cut off, never ended as whole.
TEST_F(ViewServerTest, ADownloadThatFailsMidwayIsCut)
{
    const TAnswer answer = Get("/csv/runs?since=2026-12-01");
    EXPECT_EQ(answer.status, 200);
    EXPECT_TRUE(answer.headers.contains("Transfer-Encoding: chunked"));
    EXPECT_TRUE(answer.body.startsWith("7\r\nrun 0\r\n\r\n7\r\nrun 1\r\n\r\n"));
    EXPECT_FALSE(answer.body.endsWith("\r\n0\r\n\r\n")) << answer.body.toStdString();
}

// Periods as the page and a script give them, and the lists that depend on them.
TEST_F(ViewServerTest, PeriodsAndListSizes)
{
    ASSERT_NE(port_, 0);
    const QByteArray today = QDate::currentDate().toString(Qt::ISODate).toLatin1();
    const struct
    {
        QByteArray target;
        int status;
        QByteArray bodyHas;
    } cases[] = {
            // A day alone: from it until today.
            {"/api/summary?since=2026-12-01", 200, R"("until":")" + today + '"'},
            {"/api/summary?until=" + today, 200, R"("since":")" + today + '"'},
            {"/api/summary?since=2026-12-01T10:00", 400, "since"},
            {"/api/summary?since=2026-12-01&until=2026-12-09T00:00:00%2B01:00", 400, "until"},
            {"/api/summary?since=2026-12-1", 400, "since"},
            // A week at most per hour, longer per day, or as asked.
            {"/api/throughput?since=2026-12-01&until=2026-12-07", 200, R"(["hour"])"},
            {"/api/throughput?since=2026-12-01&until=2026-12-08", 200, R"(["day"])"},
            // A year per hour: a slice of days at a time, joined into one list.
            {"/api/throughput?since=2025-12-01&until=2026-12-08&per=hour", 200, R"(,"hour"])"},
            {"/api/throughput?since=2026-12-08&until=2026-12-08&per=day", 200, R"(["day"])"},
            {"/api/throughput?per=week", 400, "per="},
            {"/api/pareto/runs?check=x&limit=1001", 200, R"(["x",1001])"},
            {"/api/pareto/runs?check=x&limit=0", 400, "limit"},
            {"/api/pareto/runs?check=x&limit=10001", 400, "limit"},
            {"/api/pareto/runs?check=x&limit=many", 400, "limit"},
            {"/api/never-passed", 200, R"(["never",1000])"},
            {"/api/durations?since=2026-12-01", 200, R"(["durations",""])"},
            {"/api/durations?step=run", 200, R"(["durations","run"])"},
            {"/api/bench-yield", 200, "bench-yield"},
            {"/api/bench-pareto", 200, "bench-pareto"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target.toStdString());
        const TAnswer answer = Get(c.target);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_TRUE(answer.body.contains(c.bodyHas)) << answer.body.toStdString();
    }
}

TEST_F(ViewServerTest, DropsRequestsTooLargeOrTooSlow)
{
    ASSERT_NE(port_, 0);
    const QByteArray get = "GET / HTTP/1.1\r\nHost: x\r\n";
    const struct
    {
        QByteArray request;
        int pauseMs; // before the request's last line break
        int status;  // 0: closed without an answer
    } cases[] = {
            {get + "X-Padding: " + QByteArray(8192, 'a') + "\r\n\r\n", 0, 431},
            {get + "Content-Length: 6000\r\n\r\n" + QByteArray(6000, 'b'), 0, 413},
            {get, 800, 0}, // the request's end comes after the time a request may take
            {get, 100, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request.left(40).toStdString());
        const TAnswer answer = Send(c.request, c.pauseMs);
        EXPECT_EQ(answer.status, c.status);
        if (answer.status)
            ExpectSecurityHeaders(answer);
    }
    // Each request of a kept-alive connection has the whole size a request may have.
    QTcpSocket socket;
    Connect(socket);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Exchange(socket, get + "X-Padding: " + QByteArray(2000, 'a') + "\r\n\r\n").status,
                  200)
                << "request " << i;
}

TEST_F(ViewServerTest, QueriesOfAYearDoNotHoldUpADay)
{
    ASSERT_NE(port_, 0);
    gLongQueryMs = 1000;
    QTcpSocket years[4];
    for (auto& year : years) {
        Connect(year);
        year.write(
                "GET /api/summary?since=2025-01-01&until=2025-12-31 HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    WaitFor([] { return false; }, 100); // the year's queries are under way
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(Get("/api/summary?since=2026-12-09&until=2026-12-09").status, 200);
    EXPECT_LT(clock.elapsed(), 800);
    gLongQueryMs = 0;
}

// Limits from small enough to see at work.
class ViewServerLimitTest : public ViewServerTest
{
protected:
    ViewServerLimitTest()
        : ViewServerTest({.RequestMs = 5000, .Connections = 128, .PerAddress = 16})
    {}
};

TEST_F(ViewServerLimitTest, ConnectionsBeyondTheLimitsCloseAtOnce)
{
    ASSERT_NE(port_, 0);
    const struct
    {
        int connections, perAddress;
        std::vector<const char*> from;
        std::vector<bool> kept;      // per connection in `from`
        std::vector<bool> asks = {}; // has asked and been answered before the next comes
    } cases[] = {
            {2, 16, {"127.0.0.2", "127.0.0.3", "127.0.0.4"}, {true, true, false}},
            {8, 2, {"127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.3"}, {true, true, false, true}},
            // A connection kept alive after its answer makes room for a new one.
            {2, 16, {"127.0.0.2", "127.0.0.3", "127.0.0.4"}, {false, true, true}, {true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.connections << " " << c.perAddress << " " << c.asks.size());
        TViewServer server(
                TViewSource{[] { return std::make_unique<TEchoView>(); }, {}, "echo"},
                {.RequestMs = 5000, .Connections = c.connections, .PerAddress = c.perAddress});
        QString error;
        const quint16 port = server.Listen(QHostAddress::LocalHost, 0, error);
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        for (const char* from : c.from) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->bind(QHostAddress(QLatin1String(from)));
            sockets.back()->connectToHost(QHostAddress::LocalHost, port);
            ASSERT_TRUE(WaitFor(
                    [&] { return sockets.back()->state() != QTcpSocket::ConnectingState; }, 3000));
            if (c.asks.size() >= sockets.size() && c.asks[sockets.size() - 1]) {
                EXPECT_EQ(Exchange(*sockets.back(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n").status,
                          200);
            }
        }
        const auto settled = [&] {
            for (size_t i = 0; i < sockets.size(); ++i)
                if (!c.kept[i] && sockets[i]->state() != QTcpSocket::UnconnectedState)
                    return false;
            return true;
        };
        EXPECT_TRUE(WaitFor(settled, 1000));
        for (size_t i = 0; i < sockets.size(); ++i)
            EXPECT_EQ(sockets[i]->state() == QTcpSocket::ConnectedState, c.kept[i]) << i;
    }
}

// 50 open pages from 50 addresses, each on its change feed, and 200 connections from one
// other address that never finish their request: a new viewer is served at once.
TEST_F(ViewServerLimitTest, FiftyPagesAndASlowHeaderAttackLeaveANewViewerServed)
{
    ASSERT_NE(port_, 0);
    gChange = 7;
    std::vector<std::unique_ptr<QTcpSocket>> pages, slow;
    std::vector<QByteArray> feeds(50);
    for (int i = 0; i < 50; ++i) {
        pages.push_back(std::make_unique<QTcpSocket>());
        Connect(*pages.back(), QByteArray("127.0.1." + QByteArray::number(i + 1)).constData());
        pages.back()->write(
                "GET /api/changes HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n");
    }
    const auto fed = [&](const QByteArray& event) {
        for (int i = 0; i < 50; ++i) {
            feeds[i] += pages[i]->readAll();
            if (!feeds[i].contains(event))
                return false;
        }
        return true;
    };
    ASSERT_TRUE(WaitFor([&] { return fed("\n\ndata: 7\n\n"); }, 10000));
    EXPECT_TRUE(feeds[0].startsWith("HTTP/1.1 200"));
    EXPECT_TRUE(feeds[0].contains("text/event-stream"));
    for (int i = 0; i < 200; ++i) {
        slow.push_back(std::make_unique<QTcpSocket>());
        Connect(*slow.back(), "127.0.2.1");
        slow.back()->write("GET / HTTP/1.1\r\nX-Slow: ");
    }
    // The attack's connections come in (the listening queue overflows; SYNs are sent again).
    EXPECT_TRUE(WaitFor(
            [&] {
                return std::ranges::none_of(slow, [](const auto& socket) {
                    return socket->state() == QTcpSocket::ConnectingState;
                });
            },
            20'000));
    WaitFor([] { return false; }, 300);
    QTcpSocket viewer;
    Connect(viewer, "127.0.3.1");
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(Exchange(viewer, "GET /api/summary HTTP/1.1\r\nHost: x\r\n\r\n").status, 200);
    EXPECT_LT(clock.elapsed(), 1000);
    // A run added: every page hears of it on its feed.
    gChange = 8;
    EXPECT_TRUE(WaitFor([&] { return fed("\n\ndata: 8\n\n"); }, 5000));
}

} // namespace
} // namespace tolvek
