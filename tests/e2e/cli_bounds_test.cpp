// The bounds of `tolvek --run` a rack relies on: what one record keeps, how soon a stop ends
// every wait (the archive's, a host name's lookup, a connect nobody answers), and that a run
// whose record was kept nowhere says so in its exit status.
#include "cli_harness.h"
#include "unit_harness.h"

#include "archive/run_archive.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace e2e;

namespace {

qint64 Utf8Size(const QStringList& lines)
{
    qint64 n = 0;
    for (const QString& l : lines)
        n += l.toUtf8().size();
    return n;
}

// Sends `signal` once the station has printed `printed`; the seconds from the signal to the
// program's end.
std::function<void(QProcess&)> StopAfter(const char* printed, double& afterSignal,
                                         int signal = SIGINT)
{
    return [printed, &afterSignal, signal](QProcess& p) {
        EXPECT_TRUE(WaitForOutput(p, QString::fromUtf8(printed)));
        QElapsedTimer t;
        t.start();
        ::kill(static_cast<pid_t>(p.processId()), signal);
        EXPECT_TRUE(p.waitForFinished(60000));
        afterSignal = t.nsecsElapsed() / 1e9;
    };
}

// Writes `text` to a file in dir and returns its path.
QString TextFile(const QTemporaryDir& dir, const char* name, const QByteArray& text)
{
    QFile f(dir.filePath(QString::fromLatin1(name)));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
    return f.fileName();
}

} // namespace

// A record keeps at most 1 KiB of a line of the unit's text and 256 KiB of it in all,
// journal and report together, and the run stays under 40 MiB whatever the report holds
// within its bounds. Each report below passes one bound and not the other.
TEST(CommandLineRecordBounds, TextKeptPerLineAndInAllAndMemory)
{
    struct Case
    {
        const char* name;
        QByteArray extra;  // report lines before "tests completed"
        bool alone;        // with only a serial number line, not the default test lines
        bool linesCut;     // a line is cut to 1 KiB with a note
        bool linesLeftOut; // lines past the total bound are counted, not kept
        qint64 shownLines; // journal lines printed at least (all of them, kept or not)
    };
    QByteArray many, hundreds;
    for (int i = 0; i < 19990; ++i)
        many += "test A" + QByteArray(188, '\x01') + "B <PASSED>\n";
    for (int i = 0; i < 400; ++i)
        hundreds += QByteArray(1000, 'y') + "\n";
    const Case cases[] = {
            // 4 MB, within the report's bounds of lines and bytes.
            {"19 990 lines of control bytes", many, true, false, true, 19990},
            {"400 lines of 1 000 bytes", hundreds, false, false, true, 0},
            {"one line of 60 000 bytes", QByteArray(60000, 'z') + "\n", false, true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString report =
                c.alone ? TextFile(dir, "report", "SN 0123\n" + c.extra + "tests completed")
                        : ReportFile(dir, c.extra);
        TStandIn unit(QStringLiteral("pass"), {"--report", report});
        ASSERT_TRUE(unit.ok());
        const QString archive = dir.filePath("runs.sqlite");
        // GNU time reports the run's peak resident memory (KiB) as the last line of stderr.
        const TCliRun r =
                RunCli(QStringList{"--run", kUnitAddress, "--archive", archive, "--json", "{json}"}
                               + kSelfTestOnly,
                       {}, {"/usr/bin/time", "-f", "peak %M"});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QStringList kept = Strings(r.json["report"]);
        const QStringList journal = Strings(r.json["journal"]);
        ASSERT_FALSE(kept.isEmpty());
        EXPECT_LE(Utf8Size(kept) + Utf8Size(journal), 256 * 1024 + 1024);
        EXPECT_EQ(kept.last().endsWith(" more lines not kept]"), c.linesLeftOut)
                << kept.last().toStdString();
        const QString cut = QString(1024, QLatin1Char('z')) + QStringLiteral("…[58976 bytes more]");
        EXPECT_EQ(kept.contains(cut), c.linesCut);
        for (const QString& line : kept)
            EXPECT_LE(line.toUtf8().size(), 1024 + 32);
        EXPECT_GE(r.out.size(), c.shownLines);
#if !defined(__SANITIZE_ADDRESS__)
        const QString peak = r.err.trimmed().section('\n', -1);
        ASSERT_TRUE(peak.startsWith("peak ")) << r.err.right(300).toStdString();
        EXPECT_LT(peak.mid(5).toInt(), 40 * 1024) << "peak KiB";
#endif
        // The archive's export of the run is bounded alike.
        QProcess e;
        e.start(QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"),
                {"--export", "json", "--archive", archive});
        ASSERT_TRUE(e.waitForFinished(60000));
        EXPECT_EQ(e.exitCode(), 0);
        EXPECT_LT(e.readAllStandardOutput().size(), 2 * 1024 * 1024);
    }
}

// A stop while another program holds the archive does not wait out the archive's busy
// wait: the run ends within a second and its record waits in the pending folder.
TEST(CommandLineStops, StopCutsTheArchiveWaitShort)
{
    TStandIn unit(QStringLiteral("slow-lines"), {"--gap", "30"});
    ASSERT_TRUE(unit.ok());
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    ASSERT_EQ(tolvek::TRunArchive(path).Open(), "");
    {
        auto locker = QSqlDatabase::addDatabase("QSQLITE", "archive-holder");
        locker.setDatabaseName(path);
        ASSERT_TRUE(locker.open());
        QSqlQuery hold(locker);
        ASSERT_TRUE(hold.exec("BEGIN IMMEDIATE"));
        double afterSignal = 0;
        const TCliRun r =
                RunCli(QStringList{"--run", kUnitAddress, "--archive", path, "--json", "{json}"}
                               + kSelfTestOnly,
                       StopAfter("serial number:", afterSignal, SIGTERM));
        hold.exec("ROLLBACK");
        EXPECT_LT(afterSignal, 1.5);
        EXPECT_EQ(r.exitCode, 2) << r.err.toStdString();
        EXPECT_EQ(r.json["verdict"].toString(), "aborted");
        QDir pending(path + ".pending");
        const QStringList kept = pending.entryList({"*.json"}, QDir::Files);
        ASSERT_EQ(kept.size(), 1) << r.err.toStdString();
        QFile f(pending.filePath(kept.first()));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(QJsonDocument::fromJson(f.readAll()).object()["id"], r.json["id"]);
    }
    QSqlDatabase::removeDatabase("archive-holder");
}

// A host name is looked up once, before the unit is asked anything, within a bound and
// cut short by a stop. A name that is not found in time leaves the unit untested.
TEST(CommandLineStops, HostNamesLookedUpBoundedAndStoppable)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok());
    // A name server that takes every question and answers none.
    TPeer silent(QStringLiteral("python3"),
                 {"-c", "import socket,time\n"
                        "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                        "s.bind(('127.0.0.1',53))\n"
                        "print('ready',flush=True)\n"
                        "time.sleep(600)"},
                 QStringLiteral("ready"));
    ASSERT_TRUE(silent.ok());
    QTemporaryDir dir;
    // The run sees this machine's files replaced by the test's, in a mount namespace of its own.
    const QString bindAndRun = QStringLiteral(
            "mount --bind \"$1\" /etc/resolv.conf && mount --bind \"$2\" /etc/hosts && shift 2 "
            "&& exec \"$@\"");
    const QStringList wrapper{
            "unshare",
            "-m",
            "sh",
            "-c",
            bindAndRun,
            "sh",
            TextFile(dir, "resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n"),
            TextFile(dir, "hosts", "127.0.0.1 localhost\n192.168.1.178 unit7.rack\n")};
    struct Case
    {
        const char* name;
        bool stop;
        int exit;
        const char* verdict;
        double atLeast, atMost; // seconds of the whole run, or from the stop to the end
    };
    const Case cases[] = {
            {"unit7.rack", false, 0, "passed", 0, 30},
            {"slot7.rack", false, 3, "untested", 4.5, 12},
            {"slot7.rack", true, 2, "aborted", 0, 1.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.stop ? " stopped" : ""));
        double afterSignal = 0;
        const TCliRun r =
                RunCli(QStringList{"--run", c.name, "--json", "{json}"} + kSelfTestOnly,
                       c.stop ? StopAfter("date: ", afterSignal) : std::function<void(QProcess&)>(),
                       wrapper);
        const double took = c.stop ? afterSignal : r.seconds;
        EXPECT_GE(took, c.atLeast);
        EXPECT_LE(took, c.atMost);
        EXPECT_EQ(r.exitCode, c.exit) << r.err.toStdString();
        EXPECT_EQ(r.json["verdict"].toString(), c.verdict);
        // The record keeps the name the script gave; the journal the address tested.
        EXPECT_EQ(r.json["address"].toString(), c.name);
        if (c.exit == 0) {
            EXPECT_TRUE(Strings(r.json["journal"]).contains("IP:192.168.1.178"));
        }
        if (c.exit == 3) {
            EXPECT_TRUE(r.json["message"].toString().contains("\"slot7.rack\""));
            EXPECT_TRUE(r.err.contains("\"slot7.rack\"")) << r.err.toStdString();
        }
    }
    // Only the name found was tested.
    EXPECT_EQ(unit.commands(), (QStringList{"tolvek", "exit"}));
}

// The connect of the transfer test to a unit that drops every SYN (its listener's queue is
// full) ends at the stop, not after the connect's own 21 s.
TEST(CommandLineStops, StopEndsAConnectNobodyAnswers)
{
    TPeer full(QStringLiteral("python3"),
               {"-c", "import socket,time\n"
                      "l=socket.socket()\n"
                      "l.bind(('192.168.1.178',21))\n"
                      "l.listen(0)\n"
                      "fill=[]\n"
                      "for i in range(4):\n"
                      "  c=socket.socket(); c.setblocking(False)\n"
                      "  c.connect_ex(('192.168.1.178',21)); fill.append(c)\n"
                      "time.sleep(0.5)\n"
                      "print('ready',flush=True)\n"
                      "time.sleep(600)"},
               QStringLiteral("ready"));
    ASSERT_TRUE(full.ok());
    double afterSignal = 0;
    const TCliRun r =
            RunCli({"--run", kUnitAddress, "--no-set-clock", "--json", "{json}"}, [&](QProcess& p) {
                // The station's own socket waiting for an answer to its SYN.
                const auto connecting = [pid = p.processId()] {
                    QStringList inodes;
                    const QString fds = QStringLiteral("/proc/%1/fd").arg(pid);
                    for (const QFileInfo& fd : QDir(fds).entryInfoList(QDir::System))
                        if (const QString t = fd.symLinkTarget(); t.contains("socket:["))
                            inodes << t.section('[', 1).chopped(1);
                    QFile tcp(QStringLiteral("/proc/net/tcp"));
                    if (!tcp.open(QIODevice::ReadOnly))
                        return false;
                    for (const QByteArray& line : tcp.readAll().split('\n')) {
                        const auto f = QString::fromLatin1(line).simplified().split(' ');
                        if (f.size() > 9 && f[3] == "02" && f[2] == "B201A8C0:0015"
                            && inodes.contains(f[9]))
                            return true;
                    }
                    return false;
                };
                QElapsedTimer t;
                t.start();
                while (!connecting() && t.elapsed() < 20000)
                    QThread::msleep(20);
                EXPECT_TRUE(connecting());
                QElapsedTimer s;
                s.start();
                ::kill(static_cast<pid_t>(p.processId()), SIGINT);
                EXPECT_TRUE(p.waitForFinished(60000));
                afterSignal = s.nsecsElapsed() / 1e9;
            });
    EXPECT_LT(afterSignal, 1.5);
    EXPECT_EQ(r.exitCode, 2) << r.err.toStdString();
    EXPECT_EQ(r.json["verdict"].toString(), "aborted");
}

// A stop that comes before the program is fully started (here: sent at once, and held back
// by a blocked signal until the program takes it) is the run's abort, with its record.
TEST(CommandLineStops, StopAtStartAbortsWithRecord)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok());
    QTemporaryDir dir;
    QProcess p;
    p.setChildProcessModifier([] {
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGTERM);
        sigprocmask(SIG_BLOCK, &stops, nullptr);
    });
    p.start(QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"),
            QStringList{"--run", kUnitAddress, "--archive", dir.filePath("runs.sqlite"), "--json",
                        "-"}
                    + kSelfTestOnly);
    ASSERT_TRUE(p.waitForStarted(5000));
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 2);
    const QJsonObject j = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    EXPECT_EQ(j["verdict"].toString(), "aborted");
    EXPECT_TRUE(unit.commands().isEmpty());
}

// A passed unit whose record was kept nowhere it was asked to be is exit 74, not 0.
TEST(CommandLineStops, RecordKeptNowhereExits74)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok());
    QTemporaryDir dir;
    const QString file = TextFile(dir, "not-a-folder", "x");
    struct Case
    {
        const char* name;
        QStringList args;
        const char* output; // where standard output goes, or empty
        const char* said;   // on standard error
    };
    const Case cases[] = {
            {"--json - to a full disk",
             {"--json", "-", "--archive", dir.filePath("runs.sqlite")},
             "/dev/full",
             "cannot write the run record"},
            {"archive and pending folder unwritable",
             {"--archive", file + "/runs.sqlite"},
             "",
             "not-a-folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QProcess p;
        if (*c.output)
            p.setStandardOutputFile(QString::fromLatin1(c.output));
        p.start(QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"),
                QStringList{"--run", kUnitAddress, "--quiet"} + kSelfTestOnly + c.args);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), 74);
        EXPECT_TRUE(p.readAllStandardError().contains(c.said));
    }
    EXPECT_EQ(unit.commands().count("exit"), 2); // both units passed
}
