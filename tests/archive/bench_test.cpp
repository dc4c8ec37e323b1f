// Run by scripts/bench-archive only (disabled in the suite): the archive's added time per
// run against a bare SQLite insert of the same record, and the forwarding rate of a
// backlog against psql's \copy of the same records, both measured here.
#include "archive/line_database.h"
#include "archive/run_record_json.h"
#include "archive_support.h"
#include "pg_server.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>

using namespace tolvek;

namespace {

int Env(const char* name, int def)
{
    return qEnvironmentVariableIsSet(name) ? qEnvironmentVariableIntValue(name) : def;
}

TRunRecord Typical(int i)
{
    auto r = archivetest::MakeRun("2026-12-08T10:00:00+03:00",
                                  "0123456789AB" + std::to_string(1000 + i % 9000),
                                  TRunVerdict::Passed);
    for (int k = 0; k < 10; ++k) {
        r.Journal.push_back("test " + std::to_string(k) + " passed");
        r.Report.push_back("test " + std::to_string(k) + ": OK");
    }
    r.Transfer = TTransferRecord{true, ""};
    return r;
}

struct Times
{
    double median, worst;
};

Times Summary(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

} // namespace

TEST(Bench, DISABLED_ArchiveAndForward)
{
    const int runs = Env("TOLVEK_BENCH_RUNS", 1000), backlog = Env("TOLVEK_BENCH_BACKLOG", 10000);
    // On the disk the archive lives on, not in memory: the commit's sync is the cost.
    QTemporaryDir dir(QStringLiteral(TOLVEK_BINARY_DIR "/bench-archive-XXXXXX"));
    std::vector<double> ours, bare;
    {
        TRunArchive archive(dir.filePath("runs.sqlite"));
        auto db = QSqlDatabase::addDatabase("QSQLITE", "bare");
        db.setDatabaseName(dir.filePath("bare.sqlite"));
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        q.exec("PRAGMA journal_mode=WAL");
        q.exec("PRAGMA synchronous=FULL");
        q.exec("CREATE TABLE runs (id TEXT PRIMARY KEY, record TEXT)");
        QElapsedTimer t;
        for (int i = 0; i < runs; ++i) {
            auto r = Typical(i);
            t.start();
            ASSERT_TRUE(archive.Store(r).Stored);
            ours.push_back(t.nsecsElapsed() / 1e6);
            const auto json = QJsonDocument(RunRecordToJson(r)).toJson(QJsonDocument::Compact);
            t.start();
            q.prepare("INSERT INTO runs VALUES (?, ?)");
            q.addBindValue(QString::fromStdString(r.Id) + "b");
            q.addBindValue(QString::fromUtf8(json));
            ASSERT_TRUE(q.exec());
            bare.push_back(t.nsecsElapsed() / 1e6);
        }
        q = QSqlQuery();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase("bare");
    }
    const auto o = Summary(ours), b = Summary(bare);
    printf("bench-archive: store per run over %d runs: median %.2f ms, worst %.2f ms; bare insert "
           "median %.2f ms, "
           "worst %.2f ms; ratio of medians (ours/peer) %.2f\n",
           runs, o.median, o.worst, b.median, b.worst, o.median / b.median);

    testsupport::PgServer server;
    ASSERT_TRUE(server.Start());
    QString error;
    const auto target = ParseLineUri(QString::fromStdString(server.Uri()), error);
    ASSERT_TRUE(target);
    const QString path = dir.filePath("backlog.sqlite");
    QFile copy(dir.filePath("backlog.jsonl"));
    ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
    {
        TRunArchive archive(path);
        auto db = archive.Database();
        for (int i = 0; i < backlog; ++i) {
            auto r = Typical(i);
            ASSERT_TRUE(archive.Store(r).Stored);
            // \copy text format: backslashes doubled; the compact JSON has no tabs or newlines.
            copy.write(QJsonDocument(RunRecordToJson(r))
                               .toJson(QJsonDocument::Compact)
                               .replace("\\", "\\\\")
                       + "\n");
        }
    }
    copy.close();
    QElapsedTimer t;
    t.start();
    TRunArchive archive(path);
    TLineDatabase line(*target);
    const auto outcome = ForwardBacklog(archive, line);
    const double forwardS = t.nsecsElapsed() / 1e9;
    ASSERT_TRUE(outcome.Message.isEmpty()) << outcome.Message.toStdString();
    ASSERT_EQ(outcome.Sent, backlog);

    QProcess psql;
    psql.setProcessEnvironment([] {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("PGPASSWORD", testsupport::PgServer::kPassword);
        return env;
    }());
    const QStringList conn{"-h", "127.0.0.1", "-p", QString::number(server.Port()), "-U", "tolvek",
                           "-d", "postgres",  "-q"};
    psql.start("psql", conn + QStringList{"-c", "CREATE TABLE bare (record text)"});
    ASSERT_TRUE(psql.waitForFinished(30000));
    t.start();
    psql.start("psql", conn + QStringList{"-c", "\\copy bare FROM '" + copy.fileName() + "'"});
    ASSERT_TRUE(psql.waitForFinished(300000));
    const double copyS = t.nsecsElapsed() / 1e9;
    ASSERT_EQ(psql.exitCode(), 0) << psql.readAllStandardError().toStdString();
    printf("bench-archive: forwarding a %d-run backlog: %.0f runs/s (%.2f s); psql \\copy of the "
           "same records %.0f runs/s; "
           "ratio of rates (ours/peer) %.2f\n",
           backlog, backlog / forwardS, forwardS, backlog / copyS, copyS / forwardS);
}

// Peak memory of `tolvek --export json` over many copies of one record, against the
// program's own start (tolvek --version).
TEST(Bench, DISABLED_ExportMemory)
{
    const int runs = Env("TOLVEK_BENCH_EXPORT_RUNS", 100000);
    QTemporaryDir dir(QStringLiteral(TOLVEK_BINARY_DIR "/bench-export-XXXXXX"));
    const QString path = dir.filePath("runs.sqlite");
    {
        TRunArchive archive(path);
        auto r = Typical(0);
        ASSERT_TRUE(archive.Store(r).Stored);
        QSqlQuery q(archive.Database());
        ASSERT_TRUE(q.exec(
                QStringLiteral(
                        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                        "%1)"
                        " INSERT INTO tolvek_runs SELECT id || '-' || i, started, started_utc, day,"
                        " station, version, address, serial, verdict, failures, message, record"
                        " FROM tolvek_runs, n")
                        .arg(runs - 1)))
                << q.lastError().text().toStdString();
    }
    const auto peakKiB = [](const QStringList& args) {
        QProcess p;
        p.setStandardOutputFile(QProcess::nullDevice());
        p.start("/usr/bin/time", QStringList{"-f", "%M", TOLVEK_BINARY_DIR "/app/tolvek"} + args);
        EXPECT_TRUE(p.waitForFinished(600000));
        return QString::fromLatin1(p.readAllStandardError()).trimmed().section('\n', -1).toLong();
    };
    const long exportKiB = peakKiB({"--export", "json", "--archive", path});
    const long startKiB = peakKiB({"--version"});
    printf("bench-archive: --export json over %d runs: peak %.1f MiB (goal: under 64 MiB); "
           "tolvek --version %.1f MiB; ratio %.2f\n",
           runs, exportKiB / 1024.0, startKiB / 1024.0, double(exportKiB) / startKiB);
}
