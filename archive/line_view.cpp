#include "archive/line_view.h"

#include "archive/line_database.h"
#include "archive/measure_facts.h"
#include "archive/run_archive.h"
#include "archive/run_facts.h"
#include "archive/run_record_json.h"
#include "archive/run_store.h"

#include <QAtomicInteger>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <map>
#include <stdexcept>

namespace tolvek {
namespace {

const QLatin1String kStepOrder[] = {QLatin1String("echo"),     QLatin1String("upload"),
                                    QLatin1String("download"), QLatin1String("login"),
                                    QLatin1String("clock"),    QLatin1String("report")};

int StepRank(const QString& step)
{
    const auto* end = std::end(kStepOrder);
    return int(std::find(std::begin(kStepOrder), end, step) - std::begin(kStepOrder));
}

QJsonValue Number(const QVariant& value)
{
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value.toDouble());
}

QJsonValue Text(const QVariant& value)
{
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value.toString());
}

struct TCounts
{
    qint64 Runs = 0, Passed = 0, Failed = 0, Aborted = 0, Untested = 0, Units = 0, FirstPassed = 0;

    QJsonObject Json() const
    {
        return {{"runs", Runs},
                {"passed", Passed},
                {"failed", Failed},
                {"aborted", Aborted},
                {"untested", Untested},
                {"units", Units},
                {"first_passed", FirstPassed},
                {"first_pass_yield",
                 Units ? QJsonValue(double(FirstPassed) / double(Units)) : QJsonValue()}};
    }
};

// The seven counts from column `from` on.
TCounts Counts(const QSqlQuery& q, int from)
{
    const auto n = [&](int i) { return q.value(from + i).toLongLong(); };
    return {n(0), n(1), n(2), n(3), n(4), n(5), n(6)};
}

// Rows sorted here rather than by the server: PostgreSQL's collation may order text
// differently from SQLite's, and both must answer alike. The key is made once per row.
template<typename Key>
class TSortedRows
{
public:
    void Add(Key key, QJsonObject row) { rows_.emplace_back(std::move(key), std::move(row)); }
    QJsonArray Take()
    {
        std::stable_sort(rows_.begin(), rows_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        QJsonArray out;
        for (auto& row : rows_)
            out.append(std::move(row.second));
        return out;
    }

private:
    std::vector<std::pair<Key, QJsonObject>> rows_;
};

int Schema(const QString& connection);

QString DayText(const QDate& day)
{
    return day.isValid() ? day.toString(Qt::ISODate) : QString();
}

class TSqlLineView final : public TLineView
{
public:
    explicit TSqlLineView(QString connection)
        : connection_(std::move(connection))
    {}
    ~TSqlLineView() override
    {
        QSqlDatabase::database(connection_, false).close();
        QSqlDatabase::removeDatabase(connection_);
    }

    QJsonObject Summary(const TViewPeriod& period) override
    {
        auto q = Select("SELECT COALESCE(SUM(runs), 0), COALESCE(SUM(passed), 0),"
                        " COALESCE(SUM(failed), 0), COALESCE(SUM(aborted), 0),"
                        " COALESCE(SUM(untested), 0), COALESCE(SUM(units), 0),"
                        " COALESCE(SUM(first_passed), 0) FROM tolvek_day_stats"
                        " WHERE day BETWEEN ? AND ?",
                        Days(period));
        auto summary = q.next() ? Counts(q, 0).Json() : TCounts().Json();
        q = Select("SELECT COALESCE(SUM(units), 0), COALESCE(SUM(final_passed), 0),"
                   " COALESCE(SUM(never_passed), 0) FROM tolvek_unit_day_stats"
                   " WHERE day BETWEEN ? AND ?",
                   Days(period));
        const qint64 units = q.next() ? q.value(0).toLongLong() : 0;
        const qint64 finalPassed = units ? q.value(1).toLongLong() : 0;
        summary["final_passed"] = finalPassed;
        summary["final_yield"] =
                units ? QJsonValue(double(finalPassed) / double(units)) : QJsonValue();
        summary["never_passed"] = units ? q.value(2).toLongLong() : 0;
        return summary;
    }

    TRunCsvPiece RunsCsv(const TViewPeriod& period, const std::optional<TRunKey>& after,
                         qint64 budget) override
    {
        auto db = QSqlDatabase::database(connection_, false);
        QSqlError error;
        auto piece = RunCsvPiece(db, {{}, DayText(period.Since), DayText(period.Until)}, after,
                                 budget, error);
        if (error.isValid())
            throw std::runtime_error(error.text().toStdString());
        return piece;
    }

    QJsonArray YieldPerBenchDay(const TViewPeriod& period) override
    {
        auto q = Select("SELECT station, day, runs, passed, failed, aborted, untested, units,"
                        " first_passed FROM tolvek_day_stats WHERE day BETWEEN ? AND ?",
                        Days(period));
        TSortedRows<std::pair<QString, QString>> rows;
        while (q.next()) {
            const QString bench = q.value(0).toString(), day = q.value(1).toString();
            auto o = Counts(q, 2).Json();
            o["bench"] = bench;
            o["day"] = day;
            rows.Add({bench, day}, std::move(o));
        }
        return rows.Take();
    }

    QJsonArray RunsPerDay(const TViewPeriod& period) override
    {
        return RunsPer(period, "tolvek_day_stats", "day");
    }

    QJsonArray ParetoPerBench(const TViewPeriod& period) override { return ParetoOf(period, true); }

    QJsonArray Durations(const TViewPeriod& period, const QString& step) override
    {
        auto q = step.isEmpty() ? Select("SELECT station, day, name, median_ms, p90_ms, runs"
                                         " FROM tolvek_duration_stats WHERE day BETWEEN ? AND ?",
                                         Days(period))
                                : Select("SELECT station, day, name, median_ms, p90_ms, runs"
                                         " FROM tolvek_duration_stats WHERE day BETWEEN ? AND ?"
                                         " AND name = ?",
                                         Days(period) + QVariantList{step});
        TSortedRows<std::tuple<QString, QString, int, QString>> rows;
        while (q.next()) {
            const QString bench = q.value(0).toString(), day = q.value(1).toString(),
                          step = q.value(2).toString();
            rows.Add({bench, day, StepRank(step), step}, {{"bench", bench},
                                                          {"day", day},
                                                          {"step", step},
                                                          {"median_ms", q.value(3).toDouble()},
                                                          {"p90_ms", q.value(4).toDouble()},
                                                          {"runs", q.value(5).toLongLong()}});
        }
        return rows.Take();
    }

    QJsonArray NeverPassed(const TViewPeriod& period, int limit) override
    {
        auto q = Select("SELECT serial, first_utc, last_utc, last_id, last_verdict, runs"
                        " FROM tolvek_unit_outcomes WHERE ever_passed = 0"
                        " AND first_day BETWEEN ? AND ?"
                        " ORDER BY first_day DESC, first_utc DESC LIMIT ?",
                        Days(period) + QVariantList{limit});
        QJsonArray out;
        while (q.next())
            out.append(QJsonObject{{"serial", q.value(0).toString()},
                                   {"first", q.value(1).toString()},
                                   {"last", q.value(2).toString()},
                                   {"last_id", q.value(3).toString()},
                                   {"last_verdict", q.value(4).toString()},
                                   {"runs", q.value(5).toLongLong()}});
        return out;
    }

    QJsonArray YieldPerDay(const TViewPeriod& period) override
    {
        std::map<QString, TCounts> days; // in order of day, whatever the server's collation
        auto q = Select("SELECT day, SUM(runs), SUM(passed), SUM(failed), SUM(aborted),"
                        " SUM(untested), SUM(units), SUM(first_passed) FROM tolvek_day_stats"
                        " WHERE day BETWEEN ? AND ? GROUP BY day",
                        Days(period));
        while (q.next())
            days[q.value(0).toString()] = Counts(q, 1);
        QJsonArray out;
        for (const auto& [day, counts] : days) {
            auto o = counts.Json();
            o["day"] = day;
            out.append(o);
        }
        return out;
    }

    QJsonArray RunsPerHour(const TViewPeriod& period) override
    {
        return RunsPer(period, "tolvek_hour_stats", "hour");
    }

    QJsonArray Pareto(const TViewPeriod& period) override { return ParetoOf(period, false); }

    QJsonArray RunsOfCheck(const TViewPeriod& period, const QString& check, int limit) override
    {
        // Newest first by the moment, whatever the bench's zone; the moments searched are
        // those that can fall on the period's local days anywhere.
        const auto days = Days(period);
        const auto moment = [](const QDate& day, int addDays, const char* open) {
            return day.isValid() ? day.addDays(addDays).toString(Qt::ISODate)
                                 : QString::fromLatin1(open);
        };
        // The newest runs found in the index first, then joined: the planner never joins a
        // year of a check's runs to cut them afterwards.
        auto q = Select("SELECT r.id, r.started, r.station, r.serial, r.verdict FROM"
                        " (SELECT run_id, started_utc FROM tolvek_checks"
                        " WHERE name = ? AND started_utc >= ? AND started_utc < ?"
                        " AND day BETWEEN ? AND ?"
                        " ORDER BY started_utc DESC, run_id DESC LIMIT ?) AS c"
                        " JOIN tolvek_runs r ON r.id = c.run_id"
                        " ORDER BY c.started_utc DESC, c.run_id DESC",
                        QVariantList{check, moment(period.Since, -1, "0000"),
                                     moment(period.Until, 2, "9999")}
                                + days + QVariantList{limit});
        QJsonArray out;
        while (q.next())
            out.append(QJsonObject{{"id", q.value(0).toString()},
                                   {"started", q.value(1).toString()},
                                   {"bench", q.value(2).toString()},
                                   {"serial", q.value(3).toString()},
                                   {"verdict", q.value(4).toString()}});
        return out;
    }

    QJsonArray StepMedians(const TViewPeriod& period) override
    {
        auto q = Select("SELECT station, day, name, median_ms, runs FROM tolvek_step_stats"
                        " WHERE day BETWEEN ? AND ?",
                        Days(period));
        TSortedRows<std::tuple<QString, QString, int, QString>> rows;
        while (q.next()) {
            const QString bench = q.value(0).toString(), day = q.value(1).toString(),
                          step = q.value(2).toString();
            rows.Add({bench, day, StepRank(step), step}, {{"bench", bench},
                                                          {"day", day},
                                                          {"step", step},
                                                          {"median_ms", q.value(3).toDouble()},
                                                          {"runs", q.value(4).toLongLong()}});
        }
        return rows.Take();
    }

    QJsonArray TransferRates(const TViewPeriod& period) override
    {
        auto q = Select("SELECT station, day, upload_mib_s, download_mib_s, echo_ms"
                        " FROM tolvek_day_stats WHERE day BETWEEN ? AND ?",
                        Days(period));
        TSortedRows<std::pair<QString, QString>> rows;
        while (q.next()) {
            const QString bench = q.value(0).toString(), day = q.value(1).toString();
            rows.Add({bench, day}, {{"bench", bench},
                                    {"day", day},
                                    {"upload_mib_s", Number(q.value(2))},
                                    {"download_mib_s", Number(q.value(3))},
                                    {"echo_ms", Number(q.value(4))}});
        }
        return rows.Take();
    }

    QJsonArray MeasureStats(const TViewPeriod& period) override
    {
        const auto days = Days(period);
        return tolvek::MeasureStats(Db(), days[0].toString(), days[1].toString());
    }

    QJsonObject MeasureHistogram(const TViewPeriod& period, const QString& measurement) override
    {
        const auto days = Days(period);
        return tolvek::MeasureHistogram(Db(), measurement, days[0].toString(), days[1].toString());
    }

    QJsonArray MeasureRunChart(const TViewPeriod& period, const QString& measurement) override
    {
        const auto days = Days(period);
        return tolvek::MeasureRunChart(Db(), measurement, days[0].toString(), days[1].toString());
    }

    QJsonArray UnitRuns(const QString& serial, int limit) override
    {
        const QString key = SerialKey(serial);
        std::map<QString, QJsonArray> failures;
        auto q = Select("SELECT c.run_id, c.name FROM tolvek_checks c"
                        " JOIN tolvek_run_facts f ON f.id = c.run_id"
                        " WHERE f.serial_key = ? ORDER BY c.run_id, c.seq",
                        {key});
        while (q.next())
            failures[q.value(0).toString()].append(q.value(1).toString());
        q = Select("SELECT r.id, r.started, r.station, r.serial, r.verdict, r.message"
                   " FROM tolvek_run_facts f JOIN tolvek_runs r ON r.id = f.id"
                   " WHERE f.serial_key = ? ORDER BY f.started_utc DESC, f.id DESC LIMIT ?",
                   {key, limit});
        QJsonArray out;
        while (q.next()) {
            const QString id = q.value(0).toString();
            out.append(QJsonObject{{"id", id},
                                   {"started", q.value(1).toString()},
                                   {"bench", q.value(2).toString()},
                                   {"serial", q.value(3).toString()},
                                   {"verdict", q.value(4).toString()},
                                   {"failures", failures[id]},
                                   {"message", Text(q.value(5))}});
        }
        return out;
    }

    std::optional<QJsonObject> Run(const QString& id) override
    {
        auto db = QSqlDatabase::database(connection_, false);
        QSqlError e;
        const auto run = QueryRun(db, id, e);
        if (e.isValid())
            throw std::runtime_error(e.text().toStdString());
        if (!run)
            return std::nullopt;
        return RunRecordToJson(*run);
    }

    // A line database not yet brought up to the slots' schema has no slots to tell.
    QJsonArray YieldPerSlot(const TViewPeriod& period) override
    {
        if (Schema(connection_) < kRunSlotsSchema)
            return {};
        auto db = QSqlDatabase::database(connection_, false);
        QSqlError e;
        const auto rows = QueryYieldBySlot(db, DayText(period.Since), DayText(period.Until), e);
        if (!rows)
            throw std::runtime_error(e.text().trimmed().toStdString());
        QJsonArray out;
        for (const auto& s : *rows) {
            auto o = TCounts{s.Runs,     s.Passed, s.Failed,     s.Aborted,
                             s.Untested, s.Units,  s.FirstPassed}
                             .Json();
            o["bench"] = s.Bench;
            o["slot"] = s.Slot.isEmpty() ? QJsonValue() : QJsonValue(s.Slot);
            QJsonArray checks;
            for (const auto& [check, runs] : s.Checks)
                checks.append(QJsonObject{{"check", check}, {"runs", runs}});
            o["checks"] = checks;
            out.append(o);
        }
        return out;
    }

    QJsonArray RunsOfSlot(const TViewPeriod& period, const QString& bench, const QString& slot,
                          int limit) override
    {
        if (Schema(connection_) < kRunSlotsSchema && !slot.isEmpty())
            return {};
        auto db = QSqlDatabase::database(connection_, false);
        QSqlError e;
        const auto runs = QueryRunsOfSlot(db, bench, slot, DayText(period.Since),
                                          DayText(period.Until), limit, e);
        if (!runs)
            throw std::runtime_error(e.text().trimmed().toStdString());
        QJsonArray out;
        for (const auto& r : *runs)
            out.append(QJsonObject{{"id", r[0]},
                                   {"started", r[1]},
                                   {"bench", r[2]},
                                   {"serial", r[3]},
                                   {"verdict", r[4]}});
        return out;
    }

    QString LatestChange() override
    {
        auto q = Select("SELECT value FROM tolvek_meta WHERE key = 'changes'", {});
        return q.next() ? q.value(0).toString() : QString();
    }

private:
    // Runs per bench and `column` (day or hour) from its per-day sums, by `column` then bench.
    QJsonArray RunsPer(const TViewPeriod& period, const char* table, const char* column)
    {
        const QString sql =
                QStringLiteral("SELECT station, %1, runs FROM %2 WHERE day BETWEEN ? AND ?")
                        .arg(QLatin1String(column), QLatin1String(table));
        auto q = Select(sql, Days(period));
        const QString key = QLatin1String(column);
        TSortedRows<std::pair<QString, QString>> rows;
        while (q.next()) {
            const QString bench = q.value(0).toString(), at = q.value(1).toString();
            rows.Add({at, bench}, {{"bench", bench}, {key, at}, {"runs", q.value(2).toLongLong()}});
        }
        return rows.Take();
    }

    // The failing checks, most runs first then by name; `perBench` splits each check's runs
    // by bench (then by bench within the check).
    QJsonArray ParetoOf(const TViewPeriod& period, bool perBench)
    {
        auto q = Select("SELECT name, station, SUM(runs) FROM tolvek_check_stats"
                        " WHERE day BETWEEN ? AND ? GROUP BY name, station",
                        Days(period));
        std::map<QString, qint64> totals;
        std::vector<std::tuple<QString, QString, qint64>> found;
        while (q.next()) {
            found.emplace_back(q.value(0).toString(), q.value(1).toString(),
                               q.value(2).toLongLong());
            totals[std::get<0>(found.back())] += std::get<2>(found.back());
        }
        TSortedRows<std::tuple<qint64, QString, QString>> rows;
        if (!perBench) {
            for (const auto& [check, runs] : totals)
                rows.Add({-runs, check, {}}, {{"check", check}, {"runs", runs}});
            return rows.Take();
        }
        for (auto& [check, bench, runs] : found)
            rows.Add({-totals[check], check, bench},
                     {{"check", check}, {"bench", bench}, {"runs", runs}});
        return rows.Take();
    }

    QSqlDatabase Db() const { return QSqlDatabase::database(connection_, false); }

    static QVariantList Days(const TViewPeriod& p)
    {
        return {p.Since.isValid() ? p.Since.toString(Qt::ISODate) : QStringLiteral("0000"),
                p.Until.isValid() ? p.Until.toString(Qt::ISODate) : QStringLiteral("9999")};
    }

    QSqlQuery Select(const QString& sql, const QVariantList& binds)
    {
        // Not forward-only: so Qt's PostgreSQL driver gave only the first row of a query
        // that followed another on the connection. Every answer here is small.
        QSqlQuery q(QSqlDatabase::database(connection_, false));
        bool ok = q.prepare(sql);
        for (const auto& b : binds)
            q.addBindValue(b);
        if (!ok || !q.exec())
            throw std::runtime_error(q.lastError().text().trimmed().toStdString());
        return q;
    }

    QString connection_;
};

QString NewConnection()
{
    static QAtomicInteger<int> count;
    return QStringLiteral("tolvek-view-%1").arg(++count);
}

// The schema version the store has, or throws.
int Schema(const QString& connection)
{
    QSqlQuery q(QSqlDatabase::database(connection, false));
    if (!q.exec(QStringLiteral("SELECT value FROM tolvek_meta WHERE key = 'schema'")) || !q.next())
        throw std::runtime_error("no tolvek runs in it ("
                                 + q.lastError().text().trimmed().toStdString() + ")");
    return q.value(0).toInt();
}

// Removes the connection unless the view took it over.
struct TConnectionGuard
{
    QString name;
    ~TConnectionGuard()
    {
        if (name.isEmpty())
            return;
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    std::unique_ptr<TLineView> Take()
    {
        return std::make_unique<TSqlLineView>(std::exchange(name, QString()));
    }
};

QString OpenReadOnly(const QString& path, TConnectionGuard& guard)
{
    const QString name = NewConnection();
    if (const QString error = OpenArchiveReadOnly(path, name); !error.isEmpty())
        throw std::runtime_error(error.toStdString());
    guard.name = name;
    return guard.name;
}

} // namespace

std::unique_ptr<TLineView> TLineView::OpenArchive(const QString& path)
{
    if (!QFileInfo(path).isFile())
        throw std::runtime_error(
                QStringLiteral("the archive %1: no such file").arg(path).toStdString());
    {
        TConnectionGuard probe;
        if (Schema(OpenReadOnly(path, probe)) >= kRunStoreSchema)
            return probe.Take();
    }
    // Made by an older tolvek: opened for writing once to gain what the view reads; one
    // with the facts is read as it is where it cannot be written.
    {
        TRunArchive archive(path);
        if (const QString error = archive.Open(); !error.isEmpty()) {
            TConnectionGuard probe;
            if (Schema(OpenReadOnly(path, probe)) >= kRunFactsSchema)
                return probe.Take();
            throw std::runtime_error(error.toStdString());
        }
    }
    TConnectionGuard view;
    OpenReadOnly(path, view);
    return view.Take();
}

std::unique_ptr<TLineView> TLineView::OpenLine(const QString& uri)
{
    QString error;
    const auto target = ParseLineUri(uri, error);
    if (!target)
        throw std::runtime_error(error.toStdString());
    TConnectionGuard guard{NewConnection()};
    const QString reason = OpenLineConnection(*target, guard.name);
    if (!reason.isEmpty())
        throw std::runtime_error(reason.toStdString());
    if (Schema(guard.name) < kRunStoreSchema)
        throw std::runtime_error(
                target->Describe().toStdString()
                + ": made by an older tolvek; a bench of this version brings it up to date"
                  " when it next sends its runs");
    // Every answer reads a few thousand rows at most: starting parallel workers for them
    // costs more than they save on a busy server (a month's runs of a check took 20 ms
    // alone and 60-140 ms with two workers).
    QSqlQuery serial(QSqlDatabase::database(guard.name, false));
    if (!serial.exec(QStringLiteral("SET max_parallel_workers_per_gather = 0")))
        throw std::runtime_error(serial.lastError().text().trimmed().toStdString());
    serial = QSqlQuery();
    return guard.Take();
}

} // namespace tolvek
