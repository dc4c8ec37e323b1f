// `tolvek --run … --events`: the stream a front-end follows, against the stand-in unit.
// Each stream is checked against the run's own --json record written beside it.
#include "unit_harness.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <csignal>

using namespace e2e;

namespace {

const QString kTolvek = QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek");

struct TEventRun
{
    int exitCode = -1;
    QList<QJsonObject> events;
    QJsonObject record; // the --json file
};

// Runs one --events run; stopAfter, when not empty, is the event (its "event" and "step"
// joined by a blank) after which the run gets SIGTERM, as the rack window's abort sends it.
TEventRun RunWithEvents(const QStringList& args, const QString& stopAfter)
{
    QTemporaryDir dir;
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(kTolvek,
            QStringList{"--run", kUnitAddress, "--events", "--json", dir.filePath("record.json")}
                    + args);
    TEventRun r;
    EXPECT_TRUE(p.waitForStarted(5000));
    QElapsedTimer t;
    t.start();
    bool stopped = false;
    while (t.elapsed() < 60000) {
        if (!p.canReadLine() && !p.waitForReadyRead(200) && p.state() == QProcess::NotRunning
            && !p.canReadLine())
            break;
        while (p.canReadLine()) {
            const QByteArray line = p.readLine();
            QJsonParseError error;
            const QJsonDocument d = QJsonDocument::fromJson(line, &error);
            EXPECT_TRUE(d.isObject()) << line.toStdString();
            r.events << d.object();
            const QString seen = (d["event"].toString() + ' ' + d["step"].toString()).trimmed();
            if (!stopped && seen == stopAfter) {
                stopped = true;
                ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
            }
        }
    }
    if (p.state() != QProcess::NotRunning) {
        EXPECT_TRUE(p.waitForFinished(10000));
    }
    r.exitCode = p.exitCode();
    QFile f(dir.filePath("record.json"));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    r.record = QJsonDocument::fromJson(f.readAll()).object();
    return r;
}

} // namespace

TEST(RunEvents, StreamAgainstTheStandIn)
{
    struct Case
    {
        const char* scenario;
        QStringList extra; // the stand-in's own arguments
        QStringList args;
        const char* stopAfter;
        int exit;
        const char* verdict;
    };
    const QStringList selfTestOnly{"--no-set-clock", "--no-ethernet"};
    const Case cases[] = {
            {"pass", {}, {}, "", 0, "passed"},
            {"fail-test", {}, selfTestOnly, "", 1, "failed"},
            {"pass", {"--delay", "0.3"}, selfTestOnly, "step-started report", 2, "aborted"},
            {"ftp-corrupt", {}, {"--no-set-clock"}, "", 1, "failed"},
            {"telnet-refused", {}, selfTestOnly, "", 1, "failed"},
            {"pass", {}, {"--interface", "nosuchport0"}, "", 3, "untested"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        TStandIn unit(QString::fromLatin1(c.scenario), c.extra);
        ASSERT_TRUE(unit.ok());
        const TEventRun r = RunWithEvents(c.args, QString::fromLatin1(c.stopAfter));
        EXPECT_EQ(r.exitCode, c.exit);
        ASSERT_FALSE(r.events.isEmpty());
        ASSERT_FALSE(r.record.isEmpty());

        // Every step starts before it ends and ends before the next starts; the ends are
        // the record's steps.
        QJsonArray ended;
        QStringList journal, order;
        QString open;
        for (const QJsonObject& e : r.events.mid(0, r.events.size() - 1)) {
            const QString kind = e["event"].toString();
            order << kind;
            if (kind == "step-started") {
                EXPECT_EQ(open, "") << "started before the last ended";
                open = e["step"].toString();
            } else if (kind == "step-ended") {
                EXPECT_EQ(e["step"].toString(), open);
                open.clear();
                ended << QJsonObject{{"name", e["step"]}, {"ms", e["ms"]}, {"passed", e["passed"]}};
            } else if (kind == "journal") {
                journal << e["line"].toString();
            } else if (kind == "serial") {
                EXPECT_EQ(e["serial"], r.record["serial"]);
            } else {
                ADD_FAILURE() << "unexpected event " << kind.toStdString();
            }
        }
        EXPECT_EQ(open, "");
        EXPECT_EQ(ended, r.record["steps"].toArray());
        QStringList recorded;
        for (const QJsonValue& line : r.record["journal"].toArray())
            recorded << line.toString();
        EXPECT_EQ(journal, recorded);

        // The last event is the verdict with the very record --json wrote.
        const QJsonObject last = r.events.last();
        EXPECT_EQ(last["event"].toString(), "verdict");
        EXPECT_EQ(last["verdict"].toString(), c.verdict);
        EXPECT_EQ(last["record"].toObject(), r.record);
    }
}

// A front-end that goes away (the rack window closed or killed) leaves no run behind: the
// run ends aborted at once, its record kept, rather than at its --max-time.
TEST(RunEvents, ReaderGoneAbortsTheRun)
{
    TStandIn unit(QStringLiteral("endless-report"));
    ASSERT_TRUE(unit.ok());
    QTemporaryDir dir;
    QProcess shell;
    shell.setWorkingDirectory(dir.path());
    QElapsedTimer t;
    t.start();
    shell.start(QStringLiteral("bash"),
                {"-c",
                 "\"$0\" --run 192.168.1.178 --no-set-clock --no-ethernet --max-time 120 "
                 "--events --json record.json | head -n 5 >/dev/null; echo ${PIPESTATUS[0]}",
                 kTolvek});
    ASSERT_TRUE(shell.waitForFinished(60000));
    EXPECT_LT(t.elapsed(), 30000);
    EXPECT_EQ(shell.readAllStandardOutput().trimmed(), "2");
    QFile f(dir.filePath("record.json"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(f.readAll())["verdict"].toString(), "aborted");
}
