// `tolvek --run` as a script starts it: a program of its own against the stand-in unit.
#include "cli_harness.h"
#include "unit_harness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSysInfo>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace e2e;

TEST(CommandLineRun, OutcomesAgainstTheStandIn)
{
    struct Case
    {
        const char* scenario;
        QStringList args;
        int exit;
        const char* line;    // a journal line the run must have written
        const char* message; // the failed step's message, on standard error
        const char* steps;   // the steps that ran, "+" after one that succeeded
    };
    const Case cases[] = {
            {"pass",
             {},
             0,
             "test file transfer passed",
             "",
             "echo+ upload+ download+ login+ clock+ report+"},
            {"pass", kSelfTestOnly + QStringList{"--quiet", "--max-time", "0"}, 0,
             "test AC voltage passed", "", "echo+ login+ report+"},
            {"fail-test", kSelfTestOnly, 1, "test RTC failed:no answer", "",
             "echo+ login+ report+"},
            {"tamper-fail", kSelfTestOnly, 0, "test TAMPER failed:open", "",
             "echo+ login+ report+"},
            {"tamper-fail", kSelfTestOnly + QStringList{"--tamper"}, 1, "test TAMPER failed:open",
             "", "echo+ login+ report+"},
            {"vac-fail", kSelfTestOnly + QStringList{"--vac"}, 1, "test AC voltage failed:low", "",
             "echo+ login+ report+"},
            {"ftp-refuse-login",
             {"--no-set-clock"},
             1,
             "test file transfer failed:can't upload test file",
             "",
             "echo+ upload login+ report+"},
            {"no-echo", {}, 1, "", "Блок не отвечает", "echo"},
            {"telnet-refused", kSelfTestOnly, 1, "", "Не могу подключиться к ЦФН-ЛР",
             "echo+ login"},
            {"broken-mid-report", kSelfTestOnly, 1, "serial number: 0123456789ABCDEF",
             "Потеряна связь с ЦФН-ЛР", "echo+ login+ report"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.scenario) + " " + c.args.join(' ').toStdString());
        TStandIn unit(QString::fromLatin1(c.scenario));
        ASSERT_TRUE(unit.ok());
        const TCliRun r = RunCli(QStringList{"--run", kUnitAddress, "--json", "{json}"} + c.args);
        EXPECT_FALSE(r.crashed);
        EXPECT_EQ(r.exitCode, c.exit) << r.err.toStdString();
        const QString message = QString::fromUtf8(c.message);
        EXPECT_EQ(r.err, message.isEmpty() ? QString() : message + '\n');
        EXPECT_EQ(r.json["message"].toString(), message);
        EXPECT_EQ(r.json["verdict"].toString(), c.exit == 0 ? "passed" : "failed");
        const QStringList journal = Strings(r.json["journal"]);
        ASSERT_FALSE(journal.isEmpty()) << r.err.toStdString();
        EXPECT_TRUE(journal.first().startsWith("date: "));
        if (*c.line) {
            EXPECT_TRUE(journal.contains(QString::fromUtf8(c.line)))
                    << journal.join('|').toStdString();
        }
        QStringList steps;
        for (const auto& step : r.json["steps"].toArray()) {
            const auto o = step.toObject();
            steps << o["name"].toString() + (o["passed"].toBool() ? "+" : "");
            EXPECT_GE(o["ms"].toDouble(), 0);
        }
        EXPECT_EQ(steps.join(' '), c.steps);
        // A value is measured exactly when its step succeeded.
        const auto measured = r.json["measurements"].toObject();
        EXPECT_EQ(measured["echo_ms"].isDouble(), steps.contains("echo+"));
        EXPECT_EQ(measured["upload_mib_s"].isDouble(), steps.contains("upload+"));
        EXPECT_EQ(measured["download_mib_s"].isDouble(), steps.contains("download+"));
        // Standard output carries the journal as it was made, or nothing with --quiet.
        EXPECT_EQ(r.out, c.args.contains("--quiet") ? QStringList() : journal);
        // Neither a record line nor the pattern file is left behind.
        EXPECT_TRUE(r.leftFiles.isEmpty()) << r.leftFiles.join(' ').toStdString();
        // A report read to its end is left with "exit".
        if (message.isEmpty()) {
            ASSERT_TRUE(unit.waitForLog("telnet close"));
            EXPECT_EQ(unit.commands().last(), "exit");
        }
    }
}

TEST(CommandLineRun, JsonRecordFieldByField)
{
    TStandIn unit(QStringLiteral("ftp-corrupt"));
    ASSERT_TRUE(unit.ok());
    const TCliRun r = RunCli({"--run", kUnitAddress, "--tamper", "--no-set-clock", "--json", "-"});
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_FALSE(r.json.isEmpty()) << r.err.toStdString();
    const QJsonObject& j = r.json;
    EXPECT_EQ(QStringList(j.keys()),
              (QStringList{"address", "failures", "finished", "format", "id", "journal",
                           "measurements", "message", "options", "report", "serial", "started",
                           "station", "steps", "transfer", "verdict"}));
    // The run id under which the run is archived.
    EXPECT_EQ(j["id"].toString().size(), 36);
    EXPECT_EQ(j["format"].toInt(), 1);
    EXPECT_EQ(j["station"].toObject(), (QJsonObject{{"host", QSysInfo::machineHostName()},
                                                    {"version", TOLVEK_VERSION},
                                                    {"interface", QJsonValue::Null}}));
    EXPECT_EQ(j["address"].toString(), kUnitAddress);
    const QRegularExpression iso(QStringLiteral(
            "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"));
    EXPECT_TRUE(iso.match(j["started"].toString()).hasMatch())
            << j["started"].toString().toStdString();
    EXPECT_TRUE(iso.match(j["finished"].toString()).hasMatch())
            << j["finished"].toString().toStdString();
    EXPECT_LE(QDateTime::fromString(j["started"].toString(), Qt::ISODate),
              QDateTime::fromString(j["finished"].toString(), Qt::ISODate));
    EXPECT_EQ(j["options"].toObject(),
              (QJsonObject{
                      {"set_clock", false}, {"ethernet", true}, {"tamper", true}, {"vac", false}}));
    EXPECT_EQ(j["verdict"].toString(), "failed");
    EXPECT_EQ(j["failures"].toInt(), 1);
    EXPECT_TRUE(j["message"].isNull());
    EXPECT_EQ(j["serial"].toString(), "0123456789ABCDEF");
    QStringList journal = PassedJournal();
    journal.insert(1, "test file transfer failed:wrong data");
    EXPECT_EQ(Strings(j["journal"]).mid(1), journal.mid(1));
    const QStringList report = Strings(j["report"]);
    EXPECT_TRUE(report.contains("test RAM <PASSED>"));
    EXPECT_EQ(report.last(), "tests completed");
    EXPECT_EQ(j["transfer"].toObject(), (QJsonObject{{"passed", false}, {"reason", "wrong data"}}));
    QStringList steps;
    for (const auto& step : j["steps"].toArray())
        steps << step.toObject()["name"].toString()
                         + (step.toObject()["passed"].toBool() ? "+" : "");
    EXPECT_EQ(steps, (QStringList{"echo+", "upload+", "download", "login+", "report+"}));
    ASSERT_TRUE(unit.waitForLog("telnet close"));
    EXPECT_EQ(unit.commands(), (QStringList{"tolvek", "exit"}));
}

// SIGINT or SIGTERM during the report ends the run at once: no "exit" to the unit, the
// record written with the verdict "aborted" and the journal as far as it came.
TEST(CommandLineRun, SignalsAbort)
{
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        TStandIn unit(QStringLiteral("slow-lines"), {"--gap", "30"});
        ASSERT_TRUE(unit.ok());
        const TCliRun r =
                RunCli(QStringList{"--run", kUnitAddress, "--json", "{json}"} + kSelfTestOnly,
                       [&](QProcess& p) {
                           // What the station printed is in its record: not so what the
                           // unit merely sent.
                           EXPECT_TRUE(WaitForOutput(p, "serial number: 0123456789ABCDEF"));
                           ::kill(static_cast<pid_t>(p.processId()), signal);
                       });
        ASSERT_TRUE(unit.waitForLog("telnet close"));
        EXPECT_TRUE(unit.log().contains("telnet close without-exit"));
        EXPECT_FALSE(r.crashed);
        EXPECT_EQ(r.exitCode, 2);
        ASSERT_FALSE(r.json.isEmpty());
        EXPECT_EQ(r.json["verdict"].toString(), "aborted");
        EXPECT_TRUE(r.json["message"].isNull());
        const QStringList journal = Strings(r.json["journal"]);
        EXPECT_TRUE(journal.contains("serial number: 0123456789ABCDEF"));
        EXPECT_FALSE(journal.contains("test AC voltage passed"));
        EXPECT_EQ(r.err, QString());
    }
}

TEST(CommandLineRun, UsageHelpAndVersion)
{
    struct Case
    {
        QStringList args;
        int exit;
        const char* first; // start of the first line of standard error, or of standard output
    };
    const Case cases[] = {
            {{"--run"}, 64, "tolvek: Missing value after '--run'"},
            {{"--run="}, 64, "tolvek: --run needs the unit's address"},
            {{"--run", kUnitAddress, "stray"}, 64, "tolvek: unexpected argument: stray"},
            {{"--run", kUnitAddress, "--bogus"}, 64, "tolvek: Unknown option 'bogus'"},
            {{"--run", kUnitAddress, "--json"}, 64, "tolvek: Missing value after '--json'"},
            {{"--run", kUnitAddress, "--json="}, 64, "tolvek: --json needs a path"},
            {{"--quiet", "--version"}, 64, "tolvek: --quiet goes only with --run"},
            {{"--help", "--version"}, 64, "tolvek: --help and --version do not go together"},
            {{"--serve", "--listen", "localhost"}, 64, "tolvek: --listen needs HOST:PORT"},
            {{"--serve", "--listen", "127.0.0.1:65536"}, 64, "tolvek: --listen needs HOST:PORT"},
            {{"--serve", "--line", "--archive", "x"}, 64, "tolvek: --line and --archive do not"},
            {{"--serve", "--bogus"}, 64, "tolvek: Unknown option 'bogus'"},
            {{"--run", kUnitAddress, "--listen", "127.0.0.1:1"},
             64,
             "tolvek: --listen goes only with --serve"},
            {{"--run", kUnitAddress, "--json", "/nonexistent/r.json"},
             74,
             "tolvek: cannot write \"/nonexistent/r.json\""},
            {{"--run", kUnitAddress, "--max-time", "-1"}, 64, "tolvek: --max-time needs"},
            {{"--run", kUnitAddress, "--max-time", "abc"}, 64, "tolvek: --max-time needs"},
            {{"--run", kUnitAddress, "--json", "/tmp"},
             74,
             "tolvek: cannot write \"/tmp\": Is a directory"},
            {{"--help"}, 0, "Usage: tolvek "},
            {{"--version"}, 0, "tolvek " TOLVEK_VERSION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const TCliRun r = RunCli(c.args);
        EXPECT_FALSE(r.crashed);
        EXPECT_EQ(r.exitCode, c.exit);
        const QString first = c.exit == 0 ? r.out.value(0) : r.err.section('\n', 0, 0);
        EXPECT_TRUE(first.startsWith(QString::fromUtf8(c.first))) << first.toStdString();
        if (c.exit == 64) {
            EXPECT_TRUE(r.err.contains("tolvek --run ADDRESS [--no-set-clock]"))
                    << r.err.toStdString();
        }
        if (c.exit != 0) {
            EXPECT_TRUE(r.out.isEmpty());
        }
    }
}

// A stop signal ends whatever wait is going on within about a second, in every phase, and
// the run ends aborted with its record; the unit gets no command it was not yet sent.
TEST(CommandLineRun, StopActsAtOnceInEveryPhase)
{
    struct Case
    {
        const char* scenario;
        QStringList unitArgs, runArgs;
        const char* printed;     // the station's line, printed when the phase has begun
        const char* signalAfter; // the unit's log line, else none; the signal follows 1 s later
        bool telnet;             // whether the run had reached the telnet phase
        QStringList commands;    // what the unit received
    };
    const QStringList noClock{"--no-set-clock"};
    const Case cases[] = {
            {"no-echo", {}, kSelfTestOnly, "date: ", "", false, {}},
            // The station prints nothing while it transfers: the unit's log tells the phase.
            {"ftp-trickle-greeting", {}, noClock, "date: ", "ftp trickle greeting", false, {}},
            // With the transfer stopped, the run does not go on to log in.
            {"ftp-slow-data", {}, noClock, "date: ", "ftp slow data", false, {}},
            {"trickle-prompt", {}, kSelfTestOnly, "IP:", "", true, {}},
            {"slow-lines", {"--gap", "30"}, kSelfTestOnly, "serial number:", "", true, {"tolvek"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        TStandIn unit(QString::fromLatin1(c.scenario), c.unitArgs);
        ASSERT_TRUE(unit.ok());
        double afterSignal = 0;
        const TCliRun r = RunCli(QStringList{"--run", kUnitAddress, "--json", "{json}"} + c.runArgs,
                                 [&](QProcess& p) {
                                     EXPECT_TRUE(WaitForOutput(p, c.printed));
                                     if (*c.signalAfter) {
                                         EXPECT_TRUE(unit.waitForLog(c.signalAfter, 20000));
                                     }
                                     // The wait the phase is in has begun well before.
                                     QThread::msleep(1000);
                                     QElapsedTimer t;
                                     t.start();
                                     ::kill(static_cast<pid_t>(p.processId()), SIGINT);
                                     p.waitForFinished(60000);
                                     afterSignal = t.nsecsElapsed() / 1e9;
                                 });
        EXPECT_LT(afterSignal, 1.5);
        EXPECT_EQ(r.exitCode, 2) << r.err.toStdString();
        EXPECT_EQ(r.json["verdict"].toString(), "aborted");
        EXPECT_EQ(r.err, QString());
        EXPECT_EQ(unit.commands(), c.commands);
        EXPECT_EQ(unit.log().join('\n').contains("telnet connect"), c.telnet);
    }
}

// The whole run is bounded however the unit trickles or stays silent: past --max-time the
// run fails as the unit's fault, with its record.
TEST(CommandLineRun, MaxTimeBoundsTheWholeRun)
{
    for (const char* scenario : {"trickle-prompt", "slow-lines"}) {
        SCOPED_TRACE(scenario);
        TStandIn unit(QString::fromLatin1(scenario), {"--gap", "30"});
        ASSERT_TRUE(unit.ok());
        const TCliRun r =
                RunCli(QStringList{"--run", kUnitAddress, "--json", "{json}", "--max-time", "3"}
                       + kSelfTestOnly);
        EXPECT_GT(r.seconds, 2.9);
        EXPECT_LT(r.seconds, 4.5);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.json["verdict"].toString(), "failed");
        EXPECT_EQ(r.json["message"].toString(), "ЦФН-ЛР не закончил тест за 3 с");
        EXPECT_EQ(r.err, "ЦФН-ЛР не закончил тест за 3 с\n");
    }
}

// What is not an address is the script's mistake: refused before anything is contacted.
TEST(CommandLineRun, AddressRefusals)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok());
    // The resolver's other numeric forms would test some other address than the one meant.
    for (const char* address : {"192.168.1.178 ", " 192.168.1.178", "192.168.1.178:23", "999.1.1.1",
                                "-1", "1.2.3", "unit..local", "bad_name", "0x7f.1", "127.1",
                                "0xc0a801b2", "0300.0250.1.0262", "rack.7"}) {
        SCOPED_TRACE(address);
        const TCliRun r = RunCli({"--run", address, "--json", "{json}"});
        EXPECT_EQ(r.exitCode, 64);
        EXPECT_TRUE(r.err.startsWith(QStringLiteral("tolvek: not an address: \"%1\"").arg(address)))
                << r.err.toStdString();
        EXPECT_TRUE(r.json.isEmpty());
    }
    EXPECT_EQ(unit.log().size(), 1) << unit.log().join('\n').toStdString(); // "ready" only
}

// A report line past the 64 KiB bound ends the run, also when its line end does come.
TEST(CommandLineRun, OverlongReportLineFails)
{
    QTemporaryDir dir;
    TStandIn unit(QStringLiteral("pass"),
                  {"--report", ReportFile(dir, QByteArray(100 * 1000, 'x') + "\n")});
    ASSERT_TRUE(unit.ok());
    const TCliRun r = RunCli(QStringList{"--run", kUnitAddress, "--quiet"} + kSelfTestOnly);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "ЦФН-ЛР прислал слишком длинную строку (нет конца строки)\n");
}

// Control bytes from the unit: the record keeps a bounded part of them and the program
// shows them as \xNN wherever it prints, never raw; the run's peak memory stays small.
TEST(CommandLineRun, ControlBytesShownAndBounded)
{
    QTemporaryDir dir;
    // C0 and DEL (the unit's code page has no C1 control).
    QByteArray extra = QByteArray("test beep <FAILED> x\x07\x08\x00\x7f!", 25) + "\n";
    for (int i = 0; i < 68; ++i)
        extra += QByteArray(60000, '\x01') + "\n";
    TStandIn unit(QStringLiteral("pass"), {"--report", ReportFile(dir, extra)});
    ASSERT_TRUE(unit.ok());

    // Run under a parent that reads the run's peak resident memory from the kernel.
    const QString archive = dir.filePath("runs.sqlite");
    QProcess p;
    p.start(QStringLiteral("python3"),
            {"-c",
             // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one script over four lines
             "import resource,subprocess,sys\n"
             "r=subprocess.run(sys.argv[1:],capture_output=True)\n"
             "sys.stderr.buffer.write(r.stdout)\n"
             "print(r.returncode,resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)",
             TOLVEK_BINARY_DIR "/app/tolvek", "--run", kUnitAddress, "--no-set-clock",
             "--no-ethernet", "--archive", archive, "--json", dir.filePath("r.json")});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QStringList outcome = QString::fromUtf8(p.readAllStandardOutput()).trimmed().split(' ');
    const QByteArray journal = p.readAllStandardError();
    ASSERT_EQ(outcome.size(), 2);
    EXPECT_EQ(outcome[0], "1"); // the beep test failed
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(outcome[1].toInt(), 40 * 1024) << "peak KiB";
    std::printf("peak %s KiB\n", qPrintable(outcome[1]));
#endif
    EXPECT_LT(QFileInfo(dir.filePath("r.json")).size(), 2 * 1024 * 1024);

    auto archiveOutput = [&](const QStringList& args) {
        QProcess a;
        a.start(QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"),
                args + QStringList{"--archive", archive});
        a.waitForFinished(30000);
        return a.readAllStandardOutput();
    };
    const QByteArray history = archiveOutput({"--history"});
    const QString id = QString::fromUtf8(history.trimmed()).section(' ', -1);
    for (const QByteArray& shown :
         {journal, history, archiveOutput({"--show", id}), archiveOutput({"--export", "csv"})}) {
        SCOPED_TRACE(shown.left(200).toStdString());
        EXPECT_TRUE(shown.contains("owned\\x07456"));
        for (char c : shown)
            ASSERT_TRUE((static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) || c == '\n'
                        || c == '\r')
                    << int(c);
    }
    EXPECT_TRUE(journal.contains("test beep failed:x\\x07\\x08\\x00\\x7f!"))
            << journal.toStdString();
}

// A station that may not send an echo has not tested the unit: "untested", exit 3.
TEST(CommandLineRun, NoEchoPermissionLeavesTheUnitUntested)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok());
    // This namespace's echo sockets closed to every group, and the run without CAP_NET_RAW.
    const QString groups = QStringLiteral("/proc/sys/net/ipv4/ping_group_range");
    auto write = [&](const QByteArray& text) {
        QFile f(groups);
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
    };
    QFile range(groups);
    ASSERT_TRUE(range.open(QIODevice::ReadOnly));
    const QByteArray old = range.readAll();
    ASSERT_TRUE(write("1 0"));
    QTemporaryDir dir;
    QProcess p;
    p.start(QStringLiteral("setpriv"),
            {"--bounding-set", "-net_raw", "--inh-caps", "-net_raw",
             QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"), "--run", kUnitAddress, "--archive",
             dir.filePath("runs.sqlite"), "--json", "-"});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_TRUE(write(old));
    EXPECT_EQ(p.exitCode(), 3);
    const QJsonObject j = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    EXPECT_EQ(j["verdict"].toString(), "untested");
    EXPECT_TRUE(j["message"].toString().contains("Блок не проверен"));
    EXPECT_TRUE(p.readAllStandardError().startsWith("Станция не может послать эхо-запрос ICMP"));
    EXPECT_EQ(unit.log().size(), 1); // "ready": the unit was never contacted
}
