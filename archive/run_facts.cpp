#include "archive/run_facts.h"

#include "archive/archive_sql.h"
#include "archive/run_slots.h"
#include "archive/run_store.h"
#include "core/report.h"

#include <QVariant>

#include <algorithm>
#include <map>
#include <optional>

namespace tolvek {
namespace {

// Names come from the unit: kept bounded.
constexpr int kMaxCheckName = 200;
constexpr int kMaxStepName = 40;

const char* const kTables[] = {
        "CREATE TABLE tolvek_run_facts (id TEXT PRIMARY KEY, serial_key TEXT NOT NULL,"
        " started_utc TEXT NOT NULL, day TEXT NOT NULL, hour TEXT NOT NULL,"
        " station TEXT NOT NULL, verdict TEXT NOT NULL, echo_ms DOUBLE PRECISION,"
        " upload_mib_s DOUBLE PRECISION, download_mib_s DOUBLE PRECISION)",
        "CREATE INDEX tolvek_run_facts_serial ON tolvek_run_facts (serial_key, started_utc)",
        "CREATE INDEX tolvek_run_facts_day ON tolvek_run_facts (day, station)",
        "CREATE TABLE tolvek_steps (run_id TEXT NOT NULL, seq INTEGER NOT NULL,"
        " name TEXT NOT NULL, ms INTEGER NOT NULL, passed INTEGER NOT NULL, day TEXT NOT NULL,"
        " station TEXT NOT NULL, PRIMARY KEY (run_id, seq))",
        "CREATE INDEX tolvek_steps_day ON tolvek_steps (day, station)",
        "CREATE TABLE tolvek_checks (run_id TEXT NOT NULL, seq INTEGER NOT NULL,"
        " name TEXT NOT NULL, day TEXT NOT NULL, station TEXT NOT NULL,"
        " started_utc TEXT NOT NULL, PRIMARY KEY (run_id, seq))",
        "CREATE INDEX tolvek_checks_day ON tolvek_checks (day, station)",
        // Newest first by day, then time: read backwards without sorting.
        "CREATE INDEX tolvek_checks_name ON tolvek_checks (name, day, started_utc, run_id)",
        // A unit's first run in the whole store: what first-pass yield counts.
        "CREATE TABLE tolvek_units (serial TEXT PRIMARY KEY, first_utc TEXT NOT NULL,"
        " first_id TEXT NOT NULL, first_day TEXT NOT NULL, first_station TEXT NOT NULL,"
        " first_passed INTEGER NOT NULL)",
        "CREATE INDEX tolvek_units_day ON tolvek_units (first_day, first_station)",
        "CREATE TABLE tolvek_day_stats (day TEXT NOT NULL, station TEXT NOT NULL,"
        " runs INTEGER NOT NULL, passed INTEGER NOT NULL, failed INTEGER NOT NULL,"
        " aborted INTEGER NOT NULL, untested INTEGER NOT NULL, units INTEGER NOT NULL,"
        " first_passed INTEGER NOT NULL, echo_ms DOUBLE PRECISION,"
        " upload_mib_s DOUBLE PRECISION, download_mib_s DOUBLE PRECISION,"
        " PRIMARY KEY (day, station))",
        "CREATE TABLE tolvek_hour_stats (day TEXT NOT NULL, station TEXT NOT NULL,"
        " hour TEXT NOT NULL, runs INTEGER NOT NULL, PRIMARY KEY (day, station, hour))",
        "CREATE TABLE tolvek_step_stats (day TEXT NOT NULL, station TEXT NOT NULL,"
        " name TEXT NOT NULL, runs INTEGER NOT NULL, median_ms DOUBLE PRECISION NOT NULL,"
        " PRIMARY KEY (day, station, name))",
        "CREATE TABLE tolvek_check_stats (day TEXT NOT NULL, station TEXT NOT NULL,"
        " name TEXT NOT NULL, runs INTEGER NOT NULL, PRIMARY KEY (day, station, name))",
        "INSERT INTO tolvek_meta (key, value) VALUES ('changes', '0') ON CONFLICT (key) DO "
        "NOTHING",
};

// Added later, each statement on its own so a store of the facts' first version gains them:
// each unit's first and last run and whether it ever passed (serial numbers in any letter
// case are one unit), per bench and day the final yield of the units first tested there,
// the 90th percentile beside the median of each step and of the whole run, and the runs of
// a failing check newest first across benches in different zones.
const char* const kTrendTables[] = {
        "CREATE TABLE tolvek_unit_outcomes (serial_key TEXT PRIMARY KEY, serial TEXT NOT NULL,"
        " first_utc TEXT NOT NULL, first_day TEXT NOT NULL, first_station TEXT NOT NULL,"
        " last_utc TEXT NOT NULL, last_id TEXT NOT NULL, last_verdict TEXT NOT NULL,"
        " ever_passed INTEGER NOT NULL, runs INTEGER NOT NULL)",
        "CREATE INDEX tolvek_unit_outcomes_day ON tolvek_unit_outcomes (first_day, first_station)",
        "CREATE INDEX tolvek_unit_outcomes_never ON tolvek_unit_outcomes"
        " (ever_passed, first_day, first_utc)",
        "CREATE TABLE tolvek_unit_day_stats (day TEXT NOT NULL, station TEXT NOT NULL,"
        " units INTEGER NOT NULL, final_passed INTEGER NOT NULL, never_passed INTEGER NOT NULL,"
        " PRIMARY KEY (day, station))",
        "CREATE TABLE tolvek_duration_stats (day TEXT NOT NULL, station TEXT NOT NULL,"
        " name TEXT NOT NULL, runs INTEGER NOT NULL, median_ms DOUBLE PRECISION NOT NULL,"
        " p90_ms DOUBLE PRECISION NOT NULL, PRIMARY KEY (day, station, name))",
        "CREATE INDEX tolvek_checks_utc ON tolvek_checks (name, started_utc, run_id)",
};

const char* const kPerDayTables[] = {"tolvek_day_stats",      "tolvek_hour_stats",
                                     "tolvek_step_stats",     "tolvek_check_stats",
                                     "tolvek_unit_day_stats", "tolvek_duration_stats"};

QVariant Number(const std::optional<double>& value)
{
    return value ? QVariant(*value) : QVariant(QMetaType::fromType<double>());
}

std::optional<double> Median(std::vector<double> values)
{
    if (values.empty())
        return std::nullopt;
    const auto half = static_cast<std::ptrdiff_t>(values.size() / 2);
    const auto middle = values.begin() + half;
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2)
        return *middle;
    return (*std::max_element(values.begin(), middle) + *middle) / 2;
}

// The nearest-rank 90th percentile: the smallest value that at least 90 % of them do not exceed.
double Percentile90(std::vector<double> values)
{
    const auto rank = static_cast<std::ptrdiff_t>((values.size() * 9 + 9) / 10) - 1;
    const auto at = values.begin() + rank;
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

QString Str(const std::string& s)
{
    return QString::fromStdString(s);
}

QStringList IdempotentStatements(const char* const* begin, const char* const* end)
{
    QStringList statements;
    for (const char* const* sql = begin; sql != end; ++sql)
        statements << QString::fromLatin1(*sql)
                              .replace(QLatin1String("CREATE TABLE "),
                                       QLatin1String("CREATE TABLE IF NOT EXISTS "))
                              .replace(QLatin1String("CREATE INDEX "),
                                       QLatin1String("CREATE INDEX IF NOT EXISTS "));
    return statements;
}

} // namespace

QString SerialKey(const QString& serial)
{
    return serial.trimmed().toUpper();
}

std::vector<QString> FailingChecks(const TRunRecord& r)
{
    std::vector<QString> checks;
    const auto add = [&](QString name) {
        name.truncate(kMaxCheckName);
        if (!name.isEmpty() && std::find(checks.begin(), checks.end(), name) == checks.end())
            checks.push_back(name);
    };
    if (r.FailedTests) {
        for (const auto& name : *r.FailedTests)
            add(Str(name));
    } else {
        // An older record: judged again from its kept lines, which may be cut.
        for (const auto& line : r.Report) {
            const auto l = EvaluateReportLine(line, r.Options.Tamper, r.Options.Vac);
            if (l.kind == TReportLineKind::Failed && l.counted)
                add(Str(l.journal.substr(0, l.journal.rfind(" failed:"))));
        }
    }
    if (r.Transfer && !r.Transfer->Passed)
        add(QStringLiteral("test file transfer"));
    // A measurement outside its limits is a check of its own, under its own name.
    for (const auto& j : r.Judgements)
        if (j.Result == TJudgementResult::Failed)
            add(Str(j.Measurement));
    if (r.Message)
        add(Str(*r.Message));
    // Every failed run stands under some cause, even one whose cause was not kept.
    if (checks.empty() && r.Verdict == TRunVerdict::Failed)
        add(QLatin1String(kUnnamedFailure));
    return checks;
}

TRunFacts::TRunFacts(const QSqlDatabase& db)
    : db_(db)
    , measures_(db)
{}

QSqlError TRunFacts::Prepared(const QString& sql, const QVariantList& binds, QSqlQuery** result)
{
    auto [it, added] = prepared_.try_emplace(sql, db_);
    QSqlQuery& q = it->second;
    if (added && !q.prepare(sql)) {
        auto e = q.lastError();
        prepared_.erase(it);
        return e;
    }
    for (int i = 0; i < binds.size(); ++i)
        q.bindValue(i, binds[i]);
    if (!q.exec())
        return q.lastError();
    if (result)
        *result = &q;
    return {};
}

QSqlError TRunFacts::Add(const TRunRecord& r)
{
    const QString id = Str(r.Id), day = Str(r.Started.substr(0, 10)), station = Str(r.Station);
    const QString utc = UtcKey(r.Started);
    const QString verdict = QString::fromLatin1(VerdictName(r.Verdict));
    QSqlError e = Prepared(
            QStringLiteral("INSERT INTO tolvek_run_facts (id, serial_key, started_utc,"
                           " day, hour, station, verdict, echo_ms, upload_mib_s,"
                           " download_mib_s) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
            {id, SerialKey(Str(r.Serial)), utc, day, Str(r.Started.substr(0, 13)), station, verdict,
             Number(r.Measurements.EchoMilliseconds), Number(r.Measurements.UploadMiBPerSecond),
             Number(r.Measurements.DownloadMiBPerSecond)});
    for (size_t i = 0; i < r.Steps.size() && !e.isValid(); ++i)
        e = Prepared(QStringLiteral("INSERT INTO tolvek_steps (run_id, seq, name, ms, passed, day,"
                                    " station) VALUES (?, ?, ?, ?, ?, ?, ?)"),
                     {id, int(i), Str(r.Steps[i].Name).left(kMaxStepName), r.Steps[i].Milliseconds,
                      int(r.Steps[i].Passed), day, station});
    const auto checks = FailingChecks(r);
    for (size_t i = 0; i < checks.size() && !e.isValid(); ++i)
        e = Prepared(QStringLiteral("INSERT INTO tolvek_checks (run_id, seq, name, day, station,"
                                    " started_utc) VALUES (?, ?, ?, ?, ?, ?)"),
                     {id, int(i), checks[i], day, station, utc});
    // A run with no serial number (the unit never reported) is no unit's first run; a run
    // forwarded late that is older than the unit's first known one takes its place.
    // The day of the unit's first run so far is counted anew: this run may take its place.
    // Serial numbers in any letter case are one unit; of two runs that started in the same
    // millisecond the one stored first stays the first run.
    const QString unit = SerialKey(Str(r.Serial));
    QSqlQuery* first = nullptr;
    if (!e.isValid() && !unit.isEmpty())
        e = Prepared(QStringLiteral("SELECT first_day, first_station FROM tolvek_units"
                                    " WHERE serial = ?"),
                     {unit}, &first);
    if (first && first->next())
        touched_.emplace(first->value(0).toString(), first->value(1).toString());
    if (first)
        first->finish();
    if (!e.isValid() && !unit.isEmpty())
        e = Prepared(
                QStringLiteral(
                        "INSERT INTO tolvek_units (serial, first_utc, first_id, first_day,"
                        " first_station, first_passed) VALUES (?, ?, ?, ?, ?, ?)"
                        " ON CONFLICT (serial) DO UPDATE SET"
                        " first_utc = excluded.first_utc, first_id = excluded.first_id,"
                        " first_day = excluded.first_day, first_station = excluded.first_station,"
                        " first_passed = excluded.first_passed"
                        " WHERE excluded.first_utc < tolvek_units.first_utc"),
                {unit, utc, id, day, station, int(r.Verdict == TRunVerdict::Passed)});
    if (!e.isValid() && !r.Serial.empty())
        e = AddOutcome(r, utc, day, station, verdict);
    if (!e.isValid())
        e = measures_.Add(r);
    if (!e.isValid())
        touched_.emplace(day, station);
    return e;
}

QSqlError TRunFacts::AddOutcome(const TRunRecord& r, const QString& utc, const QString& day,
                                const QString& station, const QString& verdict)
{
    const QString key = SerialKey(Str(r.Serial));
    // The unit's final yield is counted on the day of its first run: that day is counted anew.
    QSqlQuery* first = nullptr;
    QSqlError e = Prepared(QStringLiteral("SELECT first_day, first_station FROM"
                                          " tolvek_unit_outcomes WHERE serial_key = ?"),
                           {key}, &first);
    if (first && first->next())
        touched_.emplace(first->value(0).toString(), first->value(1).toString());
    if (first)
        first->finish();
    if (e.isValid())
        return e;
    // A run forwarded late may be the unit's first or last; (time, id) orders runs of one time.
    return Prepared(
            QStringLiteral(
                    "INSERT INTO tolvek_unit_outcomes AS o (serial_key, serial, first_utc,"
                    " first_day, first_station, last_utc, last_id, last_verdict, ever_passed,"
                    " runs) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 1) ON CONFLICT (serial_key) DO "
                    "UPDATE"
                    " SET serial = CASE WHEN excluded.first_utc < o.first_utc"
                    " THEN excluded.serial ELSE o.serial END,"
                    " first_day = CASE WHEN excluded.first_utc < o.first_utc"
                    " THEN excluded.first_day ELSE o.first_day END,"
                    " first_station = CASE WHEN excluded.first_utc < o.first_utc"
                    " THEN excluded.first_station ELSE o.first_station END,"
                    " first_utc = CASE WHEN excluded.first_utc < o.first_utc"
                    " THEN excluded.first_utc ELSE o.first_utc END,"
                    " last_verdict = CASE WHEN (excluded.last_utc, excluded.last_id)"
                    " > (o.last_utc, o.last_id) THEN excluded.last_verdict ELSE o.last_verdict END,"
                    " last_id = CASE WHEN (excluded.last_utc, excluded.last_id)"
                    " > (o.last_utc, o.last_id) THEN excluded.last_id ELSE o.last_id END,"
                    " last_utc = CASE WHEN (excluded.last_utc, excluded.last_id)"
                    " > (o.last_utc, o.last_id) THEN excluded.last_utc ELSE o.last_utc END,"
                    " ever_passed = CASE WHEN excluded.ever_passed > o.ever_passed"
                    " THEN excluded.ever_passed ELSE o.ever_passed END,"
                    " runs = o.runs + 1"),
            {key, Str(r.Serial), utc, day, station, utc, Str(r.Id), verdict,
             int(r.Verdict == TRunVerdict::Passed)});
}

QSqlError TRunFacts::Refresh()
{
    if (touched_.empty())
        return {};
    for (const auto& [day, station] : touched_)
        if (auto e = RefreshDay(day, station); e.isValid())
            return e;
    if (auto e = measures_.RefreshWeeks(); e.isValid())
        return e;
    touched_.clear();
    return Run(db_, QStringLiteral("UPDATE tolvek_meta SET value ="
                                   " CAST(CAST(value AS INTEGER) + 1 AS TEXT)"
                                   " WHERE key = 'changes'"));
}

QSqlError TRunFacts::RefreshDay(const QString& day, const QString& station)
{
    if (auto e = measures_.RefreshDay(day, station); e.isValid())
        return e;
    if (auto e = RefreshSlotStats(db_, day, station); e.isValid())
        return e;
    const QVariantList key{day, station};
    QSqlQuery q(db_);
    if (auto e = Run(q,
                     QStringLiteral("SELECT verdict, hour, echo_ms, upload_mib_s, download_mib_s"
                                    " FROM tolvek_run_facts WHERE day = ? AND station = ?"),
                     key);
        e.isValid())
        return e;
    std::map<QString, int> verdicts, hours;
    std::vector<double> measured[3];
    int runs = 0;
    while (q.next()) {
        ++runs;
        ++verdicts[q.value(0).toString()];
        ++hours[q.value(1).toString()];
        for (int i = 0; i < 3; ++i)
            if (!q.value(2 + i).isNull())
                measured[i].push_back(q.value(2 + i).toDouble());
    }
    std::map<QString, std::vector<double>> steps;
    std::map<QString, double> wholeRuns; // by run id: its steps together
    if (auto e = Run(q,
                     QStringLiteral("SELECT name, ms, run_id FROM tolvek_steps"
                                    " WHERE day = ? AND station = ?"),
                     key);
        e.isValid())
        return e;
    while (q.next()) {
        steps[q.value(0).toString()].push_back(q.value(1).toDouble());
        wholeRuns[q.value(2).toString()] += q.value(1).toDouble();
    }
    if (auto e = Run(q,
                     QStringLiteral("SELECT COUNT(*), COALESCE(SUM(first_passed), 0) FROM"
                                    " tolvek_units WHERE first_day = ? AND first_station = ?"),
                     key);
        e.isValid())
        return e;
    const qint64 units = q.next() ? q.value(0).toLongLong() : 0;
    const qint64 firstPassed = q.isValid() ? q.value(1).toLongLong() : 0;
    q.finish();

    for (const char* table : kPerDayTables)
        if (auto e = Run(db_,
                         QStringLiteral("DELETE FROM %1 WHERE day = ? AND station = ?")
                                 .arg(QLatin1String(table)),
                         key);
            e.isValid())
            return e;
    if (runs == 0)
        return {};
    QSqlError e =
            Run(db_,
                QStringLiteral("INSERT INTO tolvek_day_stats (day, station, runs, passed,"
                               " failed, aborted, untested, units, first_passed, echo_ms,"
                               " upload_mib_s, download_mib_s)"
                               " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                key
                        + QVariantList{runs, verdicts["passed"], verdicts["failed"],
                                       verdicts["aborted"], verdicts["untested"], units,
                                       firstPassed, Number(Median(measured[0])),
                                       Number(Median(measured[1])), Number(Median(measured[2]))});
    for (auto it = hours.begin(); it != hours.end() && !e.isValid(); ++it)
        e = Run(db_,
                QStringLiteral("INSERT INTO tolvek_hour_stats (day, station, hour, runs)"
                               " VALUES (?, ?, ?, ?)"),
                key + QVariantList{it->first, it->second});
    for (auto it = steps.begin(); it != steps.end() && !e.isValid(); ++it)
        e = Run(db_,
                QStringLiteral("INSERT INTO tolvek_step_stats (day, station, name, runs,"
                               " median_ms) VALUES (?, ?, ?, ?, ?)"),
                key + QVariantList{it->first, int(it->second.size()), *Median(it->second)});
    if (!e.isValid())
        e = Run(db_,
                QStringLiteral("INSERT INTO tolvek_check_stats (day, station, name, runs)"
                               " SELECT day, station, name, COUNT(*) FROM tolvek_checks"
                               " WHERE day = ? AND station = ? GROUP BY day, station, name"),
                key);
    if (!e.isValid())
        e = RefreshTrends(key, std::move(steps), wholeRuns);
    return e;
}

QSqlError TRunFacts::RefreshTrends(const QVariantList& key,
                                   std::map<QString, std::vector<double>> steps,
                                   const std::map<QString, double>& wholeRuns)
{
    auto& whole = steps[QLatin1String(kWholeRun)];
    for (const auto& [id, ms] : wholeRuns)
        whole.push_back(ms);
    QSqlError e;
    for (auto it = steps.begin(); it != steps.end() && !e.isValid(); ++it)
        if (!it->second.empty())
            e = Run(db_,
                    QStringLiteral("INSERT INTO tolvek_duration_stats (day, station, name, runs,"
                                   " median_ms, p90_ms) VALUES (?, ?, ?, ?, ?, ?)"),
                    key
                            + QVariantList{it->first, int(it->second.size()), *Median(it->second),
                                           Percentile90(it->second)});
    if (!e.isValid())
        e = Run(db_,
                QStringLiteral(
                        "INSERT INTO tolvek_unit_day_stats (day, station, units,"
                        " final_passed, never_passed) SELECT first_day, first_station,"
                        " COUNT(*), COALESCE(SUM(CASE WHEN last_verdict = 'passed' THEN 1"
                        " ELSE 0 END), 0), COALESCE(SUM(1 - ever_passed), 0)"
                        " FROM tolvek_unit_outcomes WHERE first_day = ? AND first_station = ?"
                        " GROUP BY first_day, first_station"),
                key);
    return e;
}

QStringList RunFactsSchema()
{
    return IdempotentStatements(std::begin(kTables), std::end(kTables)) + RunTrendsSchema();
}

QStringList RunTrendsSchema()
{
    return IdempotentStatements(std::begin(kTrendTables), std::end(kTrendTables));
}

QSqlError AddRunTrends(QSqlDatabase& db, bool refreshDays)
{
    for (const QString& sql : RunTrendsSchema())
        if (auto e = Run(db, sql); e.isValid())
            return e;
    // Filled anew from the runs, whatever a store that half knew them held.
    if (auto e = Run(db, QStringLiteral("DELETE FROM tolvek_unit_outcomes")); e.isValid())
        return e;
    TRunFacts facts(db);
    if (auto e = WalkRuns(
                db, QStringLiteral("f.id"),
                QStringLiteral("f.id, r.serial, f.started_utc, f.day, f.station, f.verdict"),
                QStringLiteral("tolvek_run_facts f JOIN tolvek_runs r ON r.id = f.id"),
                [&](const QVariantList& v) {
                    TRunRecord r;
                    r.Id = v[0].toString().toStdString();
                    r.Serial = v[1].toString().toStdString();
                    r.Verdict = v[5].toString() == QLatin1String("passed") ? TRunVerdict::Passed
                                                                           : TRunVerdict::Failed;
                    if (r.Serial.empty())
                        return QSqlError();
                    return facts.AddOutcome(r, v[2].toString(), v[3].toString(), v[4].toString(),
                                            v[5].toString());
                });
        e.isValid())
        return e;
    // Every bench's day counted anew, with the percentiles and final yields. The days the
    // outcomes touched are days of runs, which RefreshAll and RebuildUnits both count.
    return refreshDays ? facts.RefreshAll() : QSqlError();
}

QSqlError TRunFacts::TouchEveryDay()
{
    QSqlQuery q(db_);
    if (auto e = Run(q, QStringLiteral("SELECT day, station FROM tolvek_day_stats"), {});
        e.isValid())
        return e;
    while (q.next())
        touched_.emplace(q.value(0).toString(), q.value(1).toString());
    return {};
}

QSqlError TRunFacts::RefreshAll()
{
    auto e = TouchEveryDay();
    return e.isValid() ? e : Refresh();
}

QSqlError TRunFacts::RebuildUnits()
{
    // Every day that counted a first run before counts again, with the days that do now.
    if (auto e = TouchEveryDay(); e.isValid())
        return e;
    if (auto e = Run(db_, QStringLiteral("DELETE FROM tolvek_units")); e.isValid())
        return e;
    QSqlQuery q(db_);
    // In storing order where the start is the same: the archive's row order; the line
    // database keeps none, there the run id decides once.
    const bool sqlite = db_.driverName() == QLatin1String("QSQLITE");
    if (auto e = Run(q,
                     QStringLiteral("SELECT f.serial_key, f.started_utc, f.id, f.day, f.station,"
                                    " f.verdict FROM tolvek_run_facts f%1"
                                    " WHERE f.serial_key <> '' ORDER BY f.started_utc, %2")
                             .arg(sqlite ? QStringLiteral(" JOIN tolvek_runs r ON r.id = f.id")
                                         : QString(),
                                  sqlite ? QStringLiteral("r.rowid") : QStringLiteral("f.id")),
                     {});
        e.isValid())
        return e;
    std::set<QString> seen;
    QSqlError e;
    while (!e.isValid() && q.next()) {
        const QString unit = q.value(0).toString();
        if (!seen.insert(unit).second)
            continue;
        const QString day = q.value(3).toString(), station = q.value(4).toString();
        e = Prepared(QStringLiteral("INSERT INTO tolvek_units (serial, first_utc, first_id,"
                                    " first_day, first_station, first_passed)"
                                    " VALUES (?, ?, ?, ?, ?, ?)"),
                     {unit, q.value(1), q.value(2), day, station,
                      int(q.value(5).toString() == QLatin1String("passed"))});
        touched_.emplace(day, station);
    }
    return e.isValid() ? e : Refresh();
}

QSqlError AddRunFacts(QSqlDatabase& db)
{
    for (const QString& sql : RunFactsSchema())
        if (auto e = Run(db, sql); e.isValid())
            return e;
    TRunFacts facts(db);
    if (auto e = WalkRunRecords(db, [&](const TRunRecord& r) { return facts.Add(r); }); e.isValid())
        return e;
    return facts.Refresh();
}

} // namespace tolvek
