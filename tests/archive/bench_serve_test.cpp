// Run by scripts/bench-serve only (disabled in the suite): a year of a ten-bench line made
// of copies of real run records, archived in transactions, then copied whole to a
// PostgreSQL server started here. Each line-view call is timed against one plain SQL
// query over the per-run rows that gives the same answer, on the same data in the same run.
#include "archive/line_database.h"
#include "archive/line_view.h"
#include "archive/run_record_json.h"
#include "archive/run_store.h"
#include "pg_server.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>

#include <algorithm>
#include <string_view>
#include <functional>
#include <random>

using namespace tolvek;

namespace {

constexpr int kBenches = 10, kDays = 365, kBatch = 10000;
const QDate kLastDay(2026, 12, 9);

std::vector<TRunRecord> RealRecords()
{
    std::vector<TRunRecord> out;
    for (const auto& path :
         qEnvironmentVariable("TOLVEK_BENCH_RECORDS").split(' ', Qt::SkipEmptyParts)) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        if (auto r = RunRecordFromJson(QJsonDocument::fromJson(f.readAll()).object()))
            out.push_back(std::move(*r));
    }
    return out;
}

// Copy `i` of the line's year: benches in turn, 06:00 to 22:00 each day, one unit in ten
// tested again right after, one run in ten from the failed record, times jittered.
TRunRecord Copy(const std::vector<TRunRecord>& records, int i, int total, std::mt19937& rng)
{
    const int perDay = std::max(1, total / kDays);
    const QDate day = kLastDay.addDays(std::min(i / perDay, kDays - 1) - (kDays - 1));
    const int second = 6 * 3600 + int(qint64(i % perDay) * 16 * 3600 / perDay);
    TRunRecord r = records[i % 10 == 7 && records.size() > 1 ? 1 : 0];
    r.Id = NewRunId();
    r.Station = QStringLiteral("bench-%1").arg(i % kBenches, 2, 10, QChar('0')).toStdString();
    r.Started = r.Finished = QStringLiteral("%1T%2:%3:%4+01:00")
                                     .arg(day.toString(Qt::ISODate))
                                     .arg(second / 3600, 2, 10, QChar('0'))
                                     .arg(second / 60 % 60, 2, 10, QChar('0'))
                                     .arg(second % 60, 2, 10, QChar('0'))
                                     .toStdString();
    const int unit = i % 10 == 3 ? i - 1 : i;
    r.Serial = QStringLiteral("%1").arg(unit, 16, 16, QChar('0')).toUpper().toStdString();
    std::uniform_real_distribution<double> jitter(0.8, 1.2);
    for (auto& s : r.Steps)
        s.Milliseconds = static_cast<long long>(double(s.Milliseconds) * jitter(rng));
    const auto upload = r.Measurements.UploadMiBPerSecond;
    for (auto* m : {&r.Measurements.EchoMilliseconds, &r.Measurements.UploadMiBPerSecond,
                    &r.Measurements.DownloadMiBPerSecond})
        if (*m)
            **m *= jitter(rng);
    // Judged by a low limit and a marginal band on the upload rate, as a line would set
    // them; each bench a rack of four slots.
    if (upload)
        r.Judgements = {{"upload_mib_s", *r.Measurements.UploadMiBPerSecond, *upload * 0.7,
                         std::nullopt, *upload * 0.85, std::nullopt, TJudgementResult::Passed}};
    r.Options.Interface = "slot" + std::to_string(i / kBenches % 4);
    return r;
}

double Generate(const QString& path, const std::vector<TRunRecord>& records, int total)
{
    QElapsedTimer t;
    t.start();
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "generate");
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open());
        QSqlQuery(db).exec("PRAGMA journal_mode=WAL");
        QSqlQuery(db).exec("PRAGMA synchronous=OFF");
        EXPECT_FALSE(EnsureRunStore(db).isValid());
        std::mt19937 rng(42);
        TRunInserter insert(db);
        for (int i = 0; i < total;) {
            db.transaction();
            for (const int end = std::min(total, i + kBatch); i < end; ++i)
                if (const auto e = insert.Insert(Copy(records, i, total, rng)); e.isValid())
                    ADD_FAILURE() << e.text().toStdString();
            EXPECT_FALSE(insert.Finish().isValid());
            EXPECT_TRUE(db.commit());
        }
    }
    QSqlDatabase::removeDatabase("generate");
    return t.nsecsElapsed() / 1e9;
}

// Copies every table of the archive to the server with psql's \copy, through CSV files.
void CopyToServer(const QString& path, const testsupport::PgServer& server, const QString& dir)
{
    auto db = QSqlDatabase::addDatabase("QSQLITE", "copy");
    db.setDatabaseName(path);
    ASSERT_TRUE(db.open());
    // The line database's tables: an archive has its own beside them (its outbox).
    QStringList tables;
    static const QRegularExpression table("^CREATE TABLE IF NOT EXISTS (\\w+)");
    for (const QString& statement : RunStoreSchema())
        if (const auto m = table.match(statement); m.hasMatch())
            tables << m.captured(1);
    QSqlQuery q(db);
    QProcess psql;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("PGPASSWORD", testsupport::PgServer::kPassword);
    psql.setProcessEnvironment(env);
    const QStringList conn{"-h",
                           "127.0.0.1",
                           "-p",
                           QString::number(server.Port()),
                           "-U",
                           "tolvek",
                           "-d",
                           "postgres",
                           "-q",
                           "-v",
                           "ON_ERROR_STOP=1"};
    for (const auto& table : tables) {
        QFile csv(dir + "/" + table + ".csv");
        ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
        QSqlQuery rows(db);
        rows.setForwardOnly(true);
        ASSERT_TRUE(rows.exec("SELECT * FROM " + table));
        QByteArray buffer;
        while (rows.next()) {
            for (int c = 0; c < rows.record().count(); ++c) {
                if (c)
                    buffer += ',';
                if (!rows.isNull(c))
                    buffer += '"' + rows.value(c).toString().toUtf8().replace("\"", "\"\"") + '"';
            }
            buffer += '\n';
            if (buffer.size() > (1 << 20)) {
                csv.write(buffer);
                buffer.clear();
            }
        }
        csv.write(buffer);
        csv.close();
        psql.start("psql", conn
                                   + QStringList{"-c", "DELETE FROM " + table, "-c",
                                                 "\\copy " + table + " FROM '" + csv.fileName()
                                                         + "' WITH (FORMAT csv)"});
        ASSERT_TRUE(psql.waitForFinished(-1));
        ASSERT_EQ(psql.exitCode(), 0) << psql.readAllStandardError().toStdString();
        csv.remove();
    }
    psql.start("psql", conn + QStringList{"-c", "VACUUM ANALYZE"});
    ASSERT_TRUE(psql.waitForFinished(-1));
    db = QSqlDatabase();
    q = QSqlQuery();
    QSqlDatabase::removeDatabase("copy");
}

// Best of three after a warm-up, in ms; a call slower than two seconds is timed once.
double Time(const std::function<void()>& call)
{
    QElapsedTimer t;
    t.start();
    call();
    double best = t.nsecsElapsed() / 1e6;
    for (int i = 0; i < 3 && best < 2000; ++i) {
        t.start();
        call();
        best = std::min(best, t.nsecsElapsed() / 1e6);
    }
    return best;
}

long PeakKiB()
{
    QFile f("/proc/self/status");
    f.open(QIODevice::ReadOnly);
    for (const auto& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

void ResetPeak()
{
    QFile f("/proc/self/clear_refs");
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

struct TPeerQuery
{
    const char* sql;
    int periodBinds; // how many times the period's two days are bound, in turn
};

// The plain SQL that answers each call from the per-run rows alone.
const char* const kMedianSteps =
        "SELECT station, day, name, AVG(ms), MAX(c) FROM (SELECT station, day, name, ms,"
        " ROW_NUMBER() OVER (PARTITION BY station, day, name ORDER BY ms) AS n,"
        " COUNT(*) OVER (PARTITION BY station, day, name) AS c FROM tolvek_steps"
        " WHERE day BETWEEN ? AND ?) AS s WHERE n IN ((c + 1) / 2, (c + 2) / 2)"
        " GROUP BY station, day, name";
// The median (as above) and the nearest-rank 90th percentile of the whole run, its steps'
// times together.
const char* const kPercentileRuns =
        "SELECT station, day, AVG(CASE WHEN n IN ((c + 1) / 2, (c + 2) / 2) THEN ms END),"
        " MIN(CASE WHEN n * 10 >= c * 9 THEN ms END), MAX(c) FROM (SELECT station, day, ms,"
        " ROW_NUMBER() OVER (PARTITION BY station, day ORDER BY ms) AS n,"
        " COUNT(*) OVER (PARTITION BY station, day) AS c FROM (SELECT station, day,"
        " SUM(ms) AS ms FROM tolvek_steps WHERE day BETWEEN ? AND ? GROUP BY run_id, station,"
        " day) AS r) AS s GROUP BY station, day";
const char* const kMedianRates =
        "SELECT station, day,"
        " AVG(CASE WHEN un IN ((uc + 1) / 2, (uc + 2) / 2) THEN upload_mib_s END),"
        " AVG(CASE WHEN dn IN ((dc + 1) / 2, (dc + 2) / 2) THEN download_mib_s END),"
        " AVG(CASE WHEN en IN ((ec + 1) / 2, (ec + 2) / 2) THEN echo_ms END)"
        " FROM (SELECT station, day, upload_mib_s, download_mib_s, echo_ms,"
        " ROW_NUMBER() OVER (PARTITION BY station, day ORDER BY upload_mib_s NULLS LAST) AS un,"
        " COUNT(upload_mib_s) OVER (PARTITION BY station, day) AS uc,"
        " ROW_NUMBER() OVER (PARTITION BY station, day ORDER BY download_mib_s NULLS LAST) AS dn,"
        " COUNT(download_mib_s) OVER (PARTITION BY station, day) AS dc,"
        " ROW_NUMBER() OVER (PARTITION BY station, day ORDER BY echo_ms NULLS LAST) AS en,"
        " COUNT(echo_ms) OVER (PARTITION BY station, day) AS ec"
        " FROM tolvek_run_facts WHERE day BETWEEN ? AND ?) AS m GROUP BY station, day";

void Measure(const char* backend, TLineView& view, QSqlDatabase peer)
{
    ResetPeak();
    QSqlQuery some(peer);
    some.exec("SELECT id, serial, name FROM tolvek_checks c JOIN tolvek_runs r ON r.id = c.run_id"
              " WHERE c.day = '"
              + kLastDay.toString(Qt::ISODate) + "' LIMIT 1");
    some.next();
    const QString runId = some.value(0).toString(), serial = some.value(1).toString(),
                  check = some.value(2).toString();
    some = QSqlQuery();
    double worst = 0, yearPage = 0;
    // The calls the line page makes: not the hourly throughput nor the step medians.
    const auto report = [&](const char* call, const char* period, double ours, double plain) {
        worst = std::max(worst, ours);
        if (std::string_view(period) == "year" && std::string_view(call) != "throughput"
            && std::string_view(call) != "steps")
            yearPage = std::max(yearPage, ours);
        printf("bench-serve: %-10s %-14s %-5s ours %9.2f ms  plain SQL %9.2f ms  ratio %5.2f\n",
               backend, call, period, ours, plain, ours / plain);
        fflush(stdout);
    };
    const auto plain = [&](const char* sql, const QVariantList& binds) {
        return Time([&] {
            QSqlQuery q(peer);
            q.prepare(sql);
            for (const auto& b : binds)
                q.addBindValue(b);
            if (!q.exec())
                ADD_FAILURE() << q.lastError().text().toStdString();
            while (q.next()) {}
        });
    };
    const struct
    {
        const char* name;
        int days;
    } periods[] = {{"day", 1}, {"month", 30}, {"year", kDays}};
    for (const auto& p : periods) {
        const TViewPeriod period{kLastDay.addDays(1 - p.days), kLastDay};
        const QVariant since = period.Since.toString(Qt::ISODate),
                       until = period.Until.toString(Qt::ISODate);
        const QVariantList days{since, until};
        report("summary", p.name, Time([&] { view.Summary(period); }),
               plain("SELECT COUNT(*), SUM(CASE WHEN verdict = 'passed' THEN 1 ELSE 0 END),"
                     " SUM(CASE WHEN verdict = 'failed' THEN 1 ELSE 0 END),"
                     " SUM(CASE WHEN verdict = 'aborted' THEN 1 ELSE 0 END),"
                     " SUM(CASE WHEN verdict = 'untested' THEN 1 ELSE 0 END),"
                     " (SELECT COUNT(*) FROM tolvek_units WHERE first_day BETWEEN ? AND ?),"
                     " (SELECT SUM(first_passed) FROM tolvek_units WHERE first_day BETWEEN ? AND"
                     " ?) FROM tolvek_run_facts WHERE day BETWEEN ? AND ?",
                     days + days + days));
        report("yield", p.name, Time([&] { view.YieldPerDay(period); }),
               plain("SELECT f.day, COUNT(*), SUM(CASE WHEN verdict = 'passed' THEN 1 ELSE 0 END),"
                     " SUM(CASE WHEN verdict = 'failed' THEN 1 ELSE 0 END),"
                     " SUM(CASE WHEN verdict = 'aborted' THEN 1 ELSE 0 END), u.n, u.p"
                     " FROM tolvek_run_facts f LEFT JOIN (SELECT first_day, COUNT(*) AS n,"
                     " SUM(first_passed) AS p FROM tolvek_units WHERE first_day BETWEEN ? AND ?"
                     " GROUP BY first_day) u ON u.first_day = f.day"
                     " WHERE f.day BETWEEN ? AND ? GROUP BY f.day, u.n, u.p",
                     days + days));
        report("throughput", p.name, Time([&] { view.RunsPerHour(period); }),
               plain("SELECT station, hour, COUNT(*) FROM tolvek_run_facts"
                     " WHERE day BETWEEN ? AND ? GROUP BY station, hour",
                     days));
        report("pareto", p.name, Time([&] { view.Pareto(period); }),
               plain("SELECT name, COUNT(*) FROM tolvek_checks WHERE day BETWEEN ? AND ?"
                     " GROUP BY name ORDER BY 2 DESC",
                     days));
        report("pareto/runs", p.name, Time([&] { view.RunsOfCheck(period, check); }),
               plain("SELECT r.id, r.started, r.station, r.serial, r.verdict FROM tolvek_runs r"
                     " WHERE r.id IN (SELECT run_id FROM tolvek_checks WHERE name = ? AND day"
                     " BETWEEN ? AND ?) ORDER BY r.started_utc DESC LIMIT 1000",
                     QVariantList{check} + days));
        report("steps", p.name, Time([&] { view.StepMedians(period); }), plain(kMedianSteps, days));
        report("bench-yield", p.name, Time([&] { view.YieldPerBenchDay(period); }),
               plain("SELECT f.station, f.day, COUNT(*),"
                     " SUM(CASE WHEN verdict = 'passed' THEN 1 ELSE 0 END), u.n, u.p"
                     " FROM tolvek_run_facts f LEFT JOIN (SELECT first_day, first_station,"
                     " COUNT(*) AS n, SUM(first_passed) AS p FROM tolvek_units"
                     " WHERE first_day BETWEEN ? AND ? GROUP BY first_day, first_station) u"
                     " ON u.first_day = f.day AND u.first_station = f.station"
                     " WHERE f.day BETWEEN ? AND ? GROUP BY f.station, f.day, u.n, u.p",
                     days + days));
        report("slots", p.name, Time([&] { view.YieldPerSlot(period); }),
               plain("SELECT f.station, COALESCE(s.interface, ''), COUNT(*),"
                     " SUM(CASE WHEN f.verdict = 'passed' THEN 1 ELSE 0 END)"
                     " FROM tolvek_run_facts f LEFT JOIN tolvek_run_slots s ON s.run_id = f.id"
                     " WHERE f.day BETWEEN ? AND ? GROUP BY f.station, COALESCE(s.interface, '')",
                     days));
        report("day runs", p.name, Time([&] { view.RunsPerDay(period); }),
               plain("SELECT station, day, COUNT(*) FROM tolvek_run_facts"
                     " WHERE day BETWEEN ? AND ? GROUP BY station, day",
                     days));
        report("bench-pareto", p.name, Time([&] { view.ParetoPerBench(period); }),
               plain("SELECT name, station, COUNT(*) FROM tolvek_checks WHERE day BETWEEN ? AND ?"
                     " GROUP BY name, station",
                     days));
        report("durations", p.name, Time([&] { view.Durations(period, kWholeRun); }),
               plain(kPercentileRuns, days));
        report("never", p.name, Time([&] { view.NeverPassed(period); }),
               plain("SELECT serial_key, MIN(started_utc), MAX(started_utc), COUNT(*)"
                     " FROM tolvek_run_facts WHERE serial_key <> '' GROUP BY serial_key"
                     " HAVING MIN(day) BETWEEN ? AND ?"
                     " AND SUM(CASE WHEN verdict = 'passed' THEN 1 ELSE 0 END) = 0"
                     " ORDER BY 2 DESC LIMIT 1000",
                     days));
        report("rates", p.name, Time([&] { view.TransferRates(period); }),
               plain(kMedianRates, days));
        report("measures", p.name, Time([&] { view.MeasureStats(period); }),
               plain("SELECT station, measurement, day, COUNT(*), AVG(value), AVG(value * value),"
                     " MAX(CASE WHEN judged = 1 THEN started_utc END) FROM tolvek_measures"
                     " WHERE day BETWEEN ? AND ? GROUP BY station, measurement, day",
                     days));
        report("histogram", p.name, Time([&] { view.MeasureHistogram(period, "upload_mib_s"); }),
               plain("SELECT station, CAST(upload_mib_s * 2 AS INTEGER), COUNT(*)"
                     " FROM tolvek_run_facts WHERE day BETWEEN ? AND ?"
                     " AND upload_mib_s IS NOT NULL GROUP BY 1, 2",
                     days));
        report("runchart", p.name, Time([&] { view.MeasureRunChart(period, "upload_mib_s"); }),
               plain("SELECT f.id, r.started, f.station, f.upload_mib_s FROM tolvek_run_facts f"
                     " JOIN tolvek_runs r ON r.id = f.id WHERE f.day BETWEEN ? AND ?"
                     " AND f.upload_mib_s IS NOT NULL ORDER BY f.started_utc DESC LIMIT 2000",
                     days));
    }
    report("unit", "-", Time([&] { view.UnitRuns(serial.toLower()); }),
           plain("SELECT id, started, station, serial, verdict, message FROM tolvek_runs"
                 " WHERE serial = ? ORDER BY started_utc DESC LIMIT 1000",
                 {serial}));
    report("run", "-", Time([&] { view.Run(runId); }),
           plain("SELECT record FROM tolvek_runs WHERE id = ?", {runId}));
    report("changes", "-", Time([&] { view.LatestChange(); }),
           plain("SELECT COUNT(*) FROM tolvek_runs", {}));
    printf("bench-serve: %-10s the line page's calls over a year: slowest %.2f ms (goal 200 ms)\n",
           backend, yearPage);
    printf("bench-serve: %-10s slowest call %.2f ms; peak memory of the process while "
           "answering %.1f MiB\n",
           backend, worst, PeakKiB() / 1024.0);
    fflush(stdout);
}

} // namespace

TEST(Bench, DISABLED_Serve)
{
    const auto records = RealRecords();
    ASSERT_FALSE(records.empty()) << "TOLVEK_BENCH_RECORDS names no run record";
    const int total = qEnvironmentVariableIsSet("TOLVEK_BENCH_SERVE_RUNS")
                              ? qEnvironmentVariableIntValue("TOLVEK_BENCH_SERVE_RUNS")
                              : 1000000;
    QTemporaryDir dir(QStringLiteral(TOLVEK_BINARY_DIR "/bench-serve-XXXXXX"));
    // Kept for the page's timing in a browser, which the script does next.
    const QString keep = qEnvironmentVariable("TOLVEK_BENCH_SERVE_KEEP");
    // A year made by an earlier run of the bench is used again as it is (brought up to date
    // by the view first): generating one takes most of an hour on two cores.
    const QString reuse = qEnvironmentVariable("TOLVEK_BENCH_SERVE_ARCHIVE");
    const QString path = reuse.isEmpty() ? dir.filePath("runs.sqlite") : reuse;
    if (reuse.isEmpty()) {
        const double seconds = Generate(path, records, total);
        printf("bench-serve: archived %d copies of %zu real records (%d benches, %d days) in"
               " %.0f s, %.0f runs/s; archive %.0f MiB\n",
               total, records.size(), kBenches, kDays, seconds, total / seconds,
               QFileInfo(path).size() / 1048576.0);
    } else {
        QElapsedTimer t;
        t.start();
        TLineView::OpenArchive(path);
        printf("bench-serve: the year in %s (%.0f MiB) used again; brought up to date in %.0f s\n",
               qPrintable(path), QFileInfo(path).size() / 1048576.0, t.nsecsElapsed() / 1e9);
    }
    fflush(stdout);
    {
        auto view = TLineView::OpenArchive(path);
        auto peer = QSqlDatabase::addDatabase("QSQLITE", "peer");
        peer.setDatabaseName(path);
        peer.setConnectOptions("QSQLITE_OPEN_READONLY");
        ASSERT_TRUE(peer.open());
        Measure("sqlite", *view, peer);
    }
    if (!keep.isEmpty() && keep != path) {
        QFile::remove(keep);
        EXPECT_TRUE(QFile::copy(path, keep));
    }
    QSqlDatabase::removeDatabase("peer");

    testsupport::PgServer server;
    ASSERT_TRUE(server.Start());
    QString error;
    const auto target = ParseLineUri(QString::fromStdString(server.Uri()), error);
    {
        TLineDatabase line(*target);
        ASSERT_TRUE(line.Open().isEmpty());
    }
    QElapsedTimer t;
    t.start();
    CopyToServer(path, server, dir.path());
    printf("bench-serve: copied to PostgreSQL in %.0f s\n", t.nsecsElapsed() / 1e9);
    {
        auto view = TLineView::OpenLine(QString::fromStdString(server.Uri()));
        // The plain queries over a year take longer than a bench's statement limit.
        auto unbounded = *target;
        unbounded.Options = "options='-c statement_timeout=0'";
        TLineDatabase peer(unbounded);
        ASSERT_TRUE(peer.Open().isEmpty());
        Measure("postgresql", *view, peer.Database());
    }
}
