// `tolvek --serve` as a program: its store restarted or replaced under it, and its
// access (HTTPS, logins, the refusal to serve the network open), seen with curl.
#include "archive/archive_support.h"
#include "archive/line_database.h"
#include "archive/line_view.h"
#include "archive/pg_server.h"
#include "archive/run_archive.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <optional>

#include <functional>
#include <memory>

namespace {

using namespace tolvek;
using testsupport::PgServer;

const QString kTolvek = QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek");

void StoreRuns(const QString& path, const std::vector<std::string>& serials)
{
    TRunArchive archive(path);
    for (const auto& serial : serials) {
        auto run = archivetest::MakeRun("2026-12-08T08:10:00+01:00", serial, TRunVerdict::Passed);
        run.Station = "b1";
        EXPECT_TRUE(archive.Store(run).Stored);
    }
}

// tolvek --serve, stopped at the end of the test.
class TServe
{
public:
    TServe(const QStringList& args, const QString& lineUri = {})
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TOLVEK_LINE_DATABASE"), lineUri);
        process_.setProcessEnvironment(env);
        process_.start(kTolvek, QStringList{QStringLiteral("--serve")} + args);
    }
    ~TServe()
    {
        process_.terminate();
        if (!process_.waitForFinished(10'000))
            process_.kill();
        process_.waitForFinished(5000);
    }
    TServe(const TServe&) = delete;
    TServe& operator=(const TServe&) = delete;

    // Whether it says it serves, within 20 s.
    bool Serving()
    {
        QElapsedTimer clock;
        clock.start();
        while (!out_.contains("serving the line view") && clock.elapsed() < 20'000
               && process_.state() != QProcess::NotRunning) {
            process_.waitForReadyRead(100);
            out_ += process_.readAllStandardOutput();
        }
        return out_.contains("serving the line view");
    }
    qint64 Pid() const { return process_.processId(); }
    // Its exit status once it ended within 20 s by itself, else -1.
    int Exit()
    {
        if (!process_.waitForFinished(20'000))
            return -1;
        return process_.exitCode();
    }
    // Its standard error so far, once it holds `awaited` (or after 5 s without it).
    QByteArray Errors(const QByteArray& awaited = {})
    {
        QElapsedTimer clock;
        clock.start();
        do {
            process_.waitForReadyRead(50); // reads standard error too
            errors_ += process_.readAllStandardError();
        } while (!errors_.contains(awaited) && clock.elapsed() < 5000
                 && process_.state() != QProcess::NotRunning);
        return errors_;
    }

private:
    QProcess process_;
    QByteArray out_, errors_;
};

struct TFetched
{
    int status = 0;
    QByteArray body;
};

TFetched Fetch(int port, const QByteArray& target)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 10'000 && socket.state() != QAbstractSocket::UnconnectedState) {
        socket.waitForReadyRead(50);
        received += socket.readAll();
        const auto end = received.indexOf("\r\n\r\n");
        const auto length = received.toLower().indexOf("content-length: ");
        if (end >= 0 && length >= 0
            && received.size() - end - 4 >= received.mid(length + 16).split('\r')[0].toInt())
            break;
    }
    const auto end = received.indexOf("\r\n\r\n");
    if (end < 0)
        return {};
    return {received.mid(9, 3).toInt(), received.mid(end + 4)};
}

const QByteArray kCalls[] = {
        "/api/summary?since=2026-12-01&until=2026-12-31",
        "/api/yield?since=2026-12-01&until=2026-12-31",
        "/api/throughput?since=2026-12-01&until=2026-12-31",
        "/api/pareto?since=2025-12-01&until=2026-12-31",
        "/api/steps?since=2026-12-01&until=2026-12-31",
        "/api/rates?since=2026-12-01&until=2026-12-31",
        "/api/unit/SN-A",
        "/api/changes",
};

// The store restarted or replaced under a running view: every call answers again within
// 5 s, and the view says once on stderr that it reconnected or reopened.
TEST(ViewService, AnswersAgainAfterItsStoreRestartsOrIsReplaced)
{
    PgServer pg;
    ASSERT_TRUE(pg.Start());
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("runs.sqlite"));
    StoreRuns(archive, {"SN-A"});
    {
        QString error;
        const auto target = ParseLineUri(QString::fromStdString(pg.Uri()), error);
        ASSERT_TRUE(target) << error.toStdString();
        TRunArchive runs(archive);
        TLineDatabase line(*target);
        ASSERT_EQ(ForwardBacklog(runs, line).Sent, 1);
    }
    const struct
    {
        const char* name;
        QStringList args;
        std::function<void()> down, up; // the store goes away (or not), then comes back
        QByteArray said;                // once on stderr
        QByteArray target, bodyHas;     // afterwards
    } cases[] = {
            {"line database restarted",
             {QStringLiteral("--line")},
             [&] { pg.Stop(); },
             [&] { ASSERT_TRUE(pg.Start()); },
             "the connection was lost; reconnected",
             "/api/unit/SN-A",
             "SN-A"},
            {"archive replaced",
             {QStringLiteral("--archive"), archive},
             {},
             [&] {
                 const QString other = dir.filePath(QStringLiteral("new.sqlite"));
                 StoreRuns(other, {"SN-A", "SN-NEW"});
                 ASSERT_EQ(::rename(QFile::encodeName(other), QFile::encodeName(archive)), 0);
             },
             "was replaced; reading the new one",
             "/api/unit/SN-NEW",
             "SN-NEW"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int port = testsupport::FreePort();
        TServe serve(c.args
                             + QStringList{QStringLiteral("--listen"),
                                           QStringLiteral("127.0.0.1:%1").arg(port)},
                     QString::fromStdString(pg.Uri()));
        ASSERT_TRUE(serve.Serving()) << serve.Errors().toStdString();
        for (const auto& call : kCalls)
            EXPECT_EQ(Fetch(port, call).status, 200) << call.toStdString();
        // A page's change feed says when the store stops answering, and again when it answers.
        QTcpSocket feed;
        feed.connectToHost(QHostAddress::LocalHost, port);
        feed.write("GET /api/changes HTTP/1.1\r\nHost: x\r\nAccept: text/event-stream\r\n\r\n");
        QByteArray events;
        const auto heard = [&](const QByteArray& event, qsizetype after = 0) {
            QElapsedTimer clock;
            clock.start();
            while (events.indexOf(event, after) < 0 && clock.elapsed() < 10'000) {
                feed.waitForReadyRead(50);
                events += feed.readAll();
            }
            return events.indexOf(event, after);
        };
        EXPECT_GE(heard("\n\ndata: "), 0);
        if (c.down) {
            c.down();
            EXPECT_GE(heard("event: failure\ndata: "), 0);
        }
        const qsizetype failed = events.size();
        c.up();
        if (c.down) {
            EXPECT_GE(heard("\n\ndata: ", failed - 2), 0) << events.toStdString();
        }
        for (const auto& call : kCalls) {
            QElapsedTimer clock;
            clock.start();
            EXPECT_EQ(Fetch(port, call).status, 200) << call.toStdString();
            EXPECT_LT(clock.elapsed(), 5000) << call.toStdString();
        }
        EXPECT_TRUE(Fetch(port, c.target).body.contains(c.bodyHas));
        EXPECT_EQ(serve.Errors(c.said).count(c.said), 1) << serve.Errors().toStdString();
    }
}

// The output of a command, or "" when it fails.
QByteArray Output(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60'000) || p.exitCode() != 0)
        return {};
    return p.readAllStandardOutput().trimmed();
}

TEST(ViewService, ServesHttpsToItsLoginsOnly)
{
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("runs.sqlite")),
                  cert = dir.filePath(QStringLiteral("cert.pem")),
                  key = dir.filePath(QStringLiteral("key.pem")),
                  passwords = dir.filePath(QStringLiteral("passwords"));
    StoreRuns(archive, {"SN-A"});
    Output(QStringLiteral("openssl"),
           {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-subj", "/CN=localhost", "-days", "2", "-keyout", key, "-out", cert});
    ASSERT_TRUE(QFile::exists(cert) && QFile::exists(key));
    const QByteArray user = Output(QStringLiteral("openssl"), {"passwd", "-6", "right pw"}),
                     token = Output(QStringLiteral("openssl"), {"passwd", "-6", "t0ken"});
    ASSERT_TRUE(user.startsWith("$6$") && token.startsWith("$6$"));
    QFile file(passwords);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("# the line's viewers\nviewer:" + user + "\nbearer:" + token + "\n");
    file.close();

    const int port = testsupport::FreePort();
    const QString https = QStringLiteral("https://127.0.0.1:%1/api/unit/SN-A").arg(port);
    TServe serve({"--archive", archive, "--listen", QStringLiteral("127.0.0.1:%1").arg(port),
                  "--tls-cert", cert, "--tls-key", key, "--passwords", passwords});
    ASSERT_TRUE(serve.Serving()) << serve.Errors().toStdString();
    const struct
    {
        QStringList args;
        QByteArray code; // curl's: 000 when no HTTP answer came
    } cases[] = {
            {{"-u", "viewer:right pw", https}, "200"},
            {{"-u", "viewer:wrong", https}, "401"},
            {{"-u", "other:right pw", https}, "401"},
            {{https}, "401"},
            {{"-H", "Authorization: Bearer t0ken", https}, "200"},
            {{"-H", "Authorization: Bearer t0ke", https}, "401"},
            {{QString(https).replace("https:", "http:")}, "000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess curl;
        curl.start(QStringLiteral("curl"),
                   QStringList{"-sk", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10"}
                           + c.args);
        ASSERT_TRUE(curl.waitForFinished(30'000));
        EXPECT_EQ(curl.readAllStandardOutput(), c.code);
    }

    // Beyond loopback only with HTTPS and logins, or when the operator says --insecure.
    const struct
    {
        QStringList args;
        int exit;
        QByteArray said;
    } starts[] = {
            {{"--listen", "192.0.2.1:8470"}, 64, "--insecure"},
            {{"--listen", "192.0.2.1:8470", "--tls-cert", cert, "--tls-key", key},
             64,
             "--passwords"},
            {{"--listen", "192.0.2.1:8470", "--insecure"}, 1, "cannot listen"},
            {{"--tls-cert", cert}, 64, "go together"},
            {{"--passwords", archive}, 1, "NAME:HASH"},
    };
    for (const auto& s : starts) {
        SCOPED_TRACE(s.args.join(' ').toStdString());
        TServe refused(QStringList{"--archive", archive} + s.args);
        EXPECT_EQ(refused.Exit(), s.exit);
        EXPECT_TRUE(refused.Errors(s.said).contains(s.said)) << refused.Errors().toStdString();
    }
}

// Under AddressSanitizer a process's memory is mostly the sanitizer's (shadow, freed blocks
// held back), so the bounds are checked in the plain build only.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kOwnMemory = false;
#else
constexpr bool kOwnMemory = true;
#endif

// A memory figure of a process from /proc (kB): VmRSS now, VmHWM its peak.
qint64 MemoryKb(qint64 pid, const QByteArray& key)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ')[0].toLongLong();
    return -1;
}

// One download on a connection of its own from a loopback address of its own; the server
// closes the connection after the answer.
struct TDownload
{
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    QByteArray raw;

    TDownload(int port, const QByteArray& target, int from, int receiveBuffer = 0)
    {
        if (receiveBuffer) { // a reader that takes little: Qt's buffer and the kernel's small
            socket->setReadBufferSize(receiveBuffer);
            socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBuffer);
        }
        socket->bind(QHostAddress(
                QStringLiteral("127.0.%1.%2").arg(from / 200 + 2).arg(from % 200 + 2)));
        socket->connectToHost(QHostAddress::LocalHost, port);
        socket->write("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    // Closed by the server (a streamed answer), or a kept-alive answer whole.
    bool Done() const
    {
        const auto end = raw.indexOf("\r\n\r\n");
        const auto length = raw.left(end).toLower().indexOf("content-length: ");
        return socket->state() == QAbstractSocket::UnconnectedState
               || (end >= 0 && length >= 0
                   && raw.size() - end - 4 >= raw.mid(length + 16).split('\r')[0].toInt());
    }
    int Status() const { return raw.mid(9, 3).toInt(); }
    // The body with its chunks joined; nullopt when the closing chunk never came.
    std::optional<QByteArray> Body() const
    {
        const auto end = raw.indexOf("\r\n\r\n");
        if (end < 0)
            return std::nullopt;
        if (!raw.left(end).toLower().contains("transfer-encoding: chunked"))
            return raw.mid(end + 4);
        QByteArray body;
        for (qsizetype at = end + 4;;) {
            const auto line = raw.indexOf("\r\n", at);
            bool ok = false;
            const qsizetype size = raw.mid(at, line - at).toLongLong(&ok, 16);
            if (line < 0 || !ok || raw.size() < line + 2 + size + 2)
                return std::nullopt;
            if (size == 0)
                return body;
            body += raw.mid(line + 2, size);
            at = line + 2 + size + 2;
        }
    }
};

// Reads every download until each is done or `ms` pass.
void ReadAll(std::vector<TDownload>& downloads, int ms)
{
    QElapsedTimer clock;
    clock.start();
    const auto done = [&] {
        return std::all_of(downloads.begin(), downloads.end(), [](auto& d) { return d.Done(); });
    };
    while (!done() && clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        for (auto& d : downloads)
            d.raw += d.socket->readAll();
    }
}

// Large answers on both stores: the period's runs as CSV byte for byte what --export prints,
// a long JSON list whole, 30 year-long downloads at once within 100 MiB of the server's
// memory, and readers that stop reading holding neither memory nor the other clients.
TEST(ViewService, LargeAnswersArriveWholeInBoundedMemory)
{
    PgServer pg;
    ASSERT_TRUE(pg.Start());
    QTemporaryDir dir;
    const QString archive = dir.filePath(QStringLiteral("runs.sqlite"));
    constexpr int kRuns = 1500;
    {
        TRunArchive runs(archive);
        for (int i = 0; i < kRuns; ++i) {
            const QDate day = QDate(2026, 1, 1).addDays(i % 365);
            auto run = archivetest::MakeRun(
                    day.toString(Qt::ISODate).toStdString() + "T08:10:00+01:00",
                    "SN-" + std::to_string(i), i % 2 ? TRunVerdict::Failed : TRunVerdict::Passed);
            // Long names: the runs of a check make a list large enough to be kept in a file.
            run.Station = std::string(300, 'b') + std::to_string(i % 7);
            run.Options.Interface = "eth" + std::to_string(i % 4);
            if (i % 2)
                run.Message = "=HYPERLINK(\"x\"), \"test\" failed";
            for (int line = 0; line < 60; ++line)
                run.Report.push_back("test " + std::to_string(line) + " <PASSED> Разъём, \"ok\"");
            ASSERT_TRUE(runs.Store(run).Stored);
        }
        QString error;
        const auto target = ParseLineUri(QString::fromStdString(pg.Uri()), error);
        ASSERT_TRUE(target) << error.toStdString();
        TLineDatabase line(*target);
        ASSERT_EQ(ForwardBacklog(runs, line).Sent, kRuns);
    }
    const QByteArray year = "since=2026-01-01&until=2026-12-31";
    for (const QStringList& store : {QStringList{"--archive", archive}, QStringList{"--line"}}) {
        SCOPED_TRACE(store.join(' ').toStdString());
        const int port = testsupport::FreePort();
        TServe serve(store + QStringList{"--listen", QStringLiteral("127.0.0.1:%1").arg(port)},
                     QString::fromStdString(pg.Uri()));
        ASSERT_TRUE(serve.Serving()) << serve.Errors().toStdString();
        QProcess exported;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TOLVEK_LINE_DATABASE"), QString::fromStdString(pg.Uri()));
        exported.setProcessEnvironment(env);
        exported.start(kTolvek, QStringList{"--export", "csv", "--since", "2026-01-01", "--until",
                                            "2026-12-31"}
                                        + store);
        ASSERT_TRUE(exported.waitForFinished(120'000));
        const QByteArray want = exported.readAllStandardOutput();
        ASSERT_GT(want.size(), 3 << 20);

        // Readers that stop reading: the server's memory stays, a new client is answered.
        const qint64 before = MemoryKb(serve.Pid(), "VmRSS");
        std::vector<TDownload> stalled;
        for (int i = 0; i < 10; ++i)
            stalled.emplace_back(port, "/csv/runs?" + year, 100 + i, 4096);
        std::vector<TDownload> other;
        other.emplace_back(port, "/api/summary?" + year, 200);
        ReadAll(other, 30'000);
        EXPECT_EQ(other[0].Status(), 200) << "a client waits behind readers that stopped";
        // Long enough for the server to have pushed their whole answers, were it to.
        qint64 grown = 0;
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 12'000 && grown < 20 << 10) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            grown = MemoryKb(serve.Pid(), "VmRSS") - before;
        }
        if (kOwnMemory)
            EXPECT_LT(grown, 20 << 10) << "readers that stopped reading grew the server's memory";
        stalled.clear();

        // Whole and correct: the runs as --export prints them, a list of 750 runs as JSON
        // (larger than an answer held in memory, so sent from a file).
        std::vector<TDownload> one;
        one.emplace_back(port, "/csv/runs?" + year, 0);
        one.emplace_back(port, "/api/pareto?" + year, 1);
        ReadAll(one, 120'000);
        ASSERT_EQ(one[0].Status(), 200);
        EXPECT_TRUE(one[0].Body() == want) << "the served runs differ from --export";
        const auto pareto = QJsonDocument::fromJson(one[1].Body().value_or("")).array();
        ASSERT_FALSE(pareto.isEmpty());
        const QByteArray check = QUrl::toPercentEncoding(pareto[0].toObject()["check"].toString());
        std::vector<TDownload> list;
        list.emplace_back(port, "/api/pareto/runs?limit=10000&check=" + check + "&" + year, 0);
        ReadAll(list, 60'000);
        // Runs per hour of a year, made a slice at a time: the same bytes as the list whole.
        list.emplace_back(port, "/api/throughput?per=hour&" + year, 1);
        ReadAll(list, 60'000);
        const auto view = store[0] == "--line"
                                  ? TLineView::OpenLine(QString::fromStdString(pg.Uri()))
                                  : TLineView::OpenArchive(archive);
        EXPECT_TRUE(list[1].Body()
                    == QJsonDocument(view->RunsPerHour({QDate(2026, 1, 1), QDate(2026, 12, 31)}))
                               .toJson(QJsonDocument::Compact));
        ASSERT_GT(list[0].raw.size(), 256 << 10);
        EXPECT_EQ(QJsonDocument::fromJson(list[0].Body().value_or("")).array().size(), kRuns / 2);

        // 30 year-long downloads at once, more than 100 MiB in all.
        std::vector<TDownload> many;
        for (int i = 0; i < 30; ++i)
            many.emplace_back(port, "/csv/runs?" + year, 300 + i);
        ReadAll(many, 300'000);
        qint64 total = 0;
        for (const auto& d : many) {
            const auto body = d.Body();
            EXPECT_TRUE(body == want) << "a download cut or changed";
            total += body ? body->size() : 0;
        }
        EXPECT_GT(total, 100 << 20);
        const qint64 peak = MemoryKb(serve.Pid(), "VmHWM");
        if (kOwnMemory)
            EXPECT_LT(peak, 100 << 10) << "peak memory (kB)";
        std::printf("%lld MiB downloaded at once; the server's peak %lld MiB, grown by %lld KiB "
                    "under readers that stopped\n",
                    total >> 20, peak >> 10, grown);
    }
}

} // namespace
