#include "archive/run_slots.h"

#include "archive/archive_sql.h"

#include <QVariant>

#include <algorithm>
#include <map>

namespace tolvek {
namespace {

// A port name is at most 15 bytes on Linux; a record read back from elsewhere stays bounded.
constexpr int kMaxSlotName = 64;

QVariantList Days(const QString& since, const QString& until)
{
    return {since.isEmpty() ? QStringLiteral("0000") : since,
            until.isEmpty() ? QStringLiteral("9999") : until};
}

const char kVerdictSums[] = "SUM(CASE WHEN f.verdict = 'passed' THEN 1 ELSE 0 END),"
                            " SUM(CASE WHEN f.verdict = 'failed' THEN 1 ELSE 0 END),"
                            " SUM(CASE WHEN f.verdict = 'aborted' THEN 1 ELSE 0 END),"
                            " SUM(CASE WHEN f.verdict = 'untested' THEN 1 ELSE 0 END)";
const char kNamedVerdictSums[] =
        "SUM(CASE WHEN f.verdict = 'passed' THEN 1 ELSE 0 END) AS passed,"
        " SUM(CASE WHEN f.verdict = 'failed' THEN 1 ELSE 0 END) AS failed,"
        " SUM(CASE WHEN f.verdict = 'aborted' THEN 1 ELSE 0 END) AS aborted,"
        " SUM(CASE WHEN f.verdict = 'untested' THEN 1 ELSE 0 END) AS untested";

// Runs by verdict, and the units whose first run ever was there, per bench, day and slot.
// %1 and %2 narrow the runs and the units to one bench's day, or leave them whole.
const char kSlotSums[] =
        "INSERT INTO tolvek_slot_stats (day, station, slot, runs, passed, failed, aborted,"
        " untested, units, first_passed) SELECT day, station, slot, SUM(runs), SUM(passed),"
        " SUM(failed), SUM(aborted), SUM(untested), SUM(units), SUM(first_passed) FROM ("
        "SELECT f.day AS day, f.station AS station, COALESCE(s.interface, '') AS slot,"
        " COUNT(*) AS runs, %3, 0 AS units, 0 AS first_passed FROM tolvek_run_facts f"
        " LEFT JOIN tolvek_run_slots s ON s.run_id = f.id%1"
        " GROUP BY f.day, f.station, COALESCE(s.interface, '')"
        " UNION ALL SELECT u.first_day, u.first_station, COALESCE(s.interface, ''), 0, 0, 0, 0,"
        " 0, COUNT(*), SUM(u.first_passed) FROM tolvek_units u"
        " LEFT JOIN tolvek_run_slots s ON s.run_id = u.first_id%2"
        " GROUP BY u.first_day, u.first_station, COALESCE(s.interface, '')) AS t"
        " GROUP BY day, station, slot";
const char kSlotCheckSums[] =
        "INSERT INTO tolvek_slot_check_stats (day, station, slot, name, runs)"
        " SELECT c.day, c.station, COALESCE(s.interface, ''), c.name, COUNT(*)"
        " FROM tolvek_checks c LEFT JOIN tolvek_run_slots s ON s.run_id = c.run_id%1"
        " GROUP BY c.day, c.station, COALESCE(s.interface, ''), c.name";

bool Exec(QSqlQuery& q, const QString& sql, const QVariantList& binds)
{
    // PostgreSQL prepares no statement without parameters the same way: run it plainly.
    if (binds.isEmpty())
        return q.exec(sql);
    if (!q.prepare(sql))
        return false;
    for (const auto& b : binds)
        q.addBindValue(b);
    return q.exec();
}

bool HasSlotStats(QSqlDatabase& db)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral("SELECT value FROM tolvek_meta WHERE key = 'schema'")) && q.next()
           && q.value(0).toInt() >= kSlotStatsSchema;
}

// Sorted here: the server's collation may order text differently from SQLite's.
std::vector<TYieldSlot> Sorted(std::map<std::pair<QString, QString>, TYieldSlot>& rows)
{
    std::vector<TYieldSlot> out;
    out.reserve(rows.size());
    for (auto& [key, s] : rows) {
        std::sort(s.Checks.begin(), s.Checks.end(), [](const auto& a, const auto& b) {
            return a.second != b.second ? a.second > b.second : a.first < b.first;
        });
        out.push_back(std::move(s));
    }
    return out;
}

} // namespace

QStringList SlotStatsSchema()
{
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS tolvek_slot_stats (day TEXT NOT NULL,"
                           " station TEXT NOT NULL, slot TEXT NOT NULL, runs INTEGER NOT NULL,"
                           " passed INTEGER NOT NULL, failed INTEGER NOT NULL,"
                           " aborted INTEGER NOT NULL, untested INTEGER NOT NULL,"
                           " units INTEGER NOT NULL, first_passed INTEGER NOT NULL,"
                           " PRIMARY KEY (day, station, slot))"),
            QStringLiteral("CREATE TABLE IF NOT EXISTS tolvek_slot_check_stats (day TEXT NOT NULL,"
                           " station TEXT NOT NULL, slot TEXT NOT NULL, name TEXT NOT NULL,"
                           " runs INTEGER NOT NULL, PRIMARY KEY (day, station, slot, name))")};
}

QSqlError RefreshSlotStats(QSqlDatabase& db, const QString& day, const QString& station)
{
    const bool whole = day.isEmpty();
    const QVariantList key = whole ? QVariantList() : QVariantList{day, station};
    const auto where = [whole](const char* dayColumn, const char* stationColumn) {
        return whole ? QString()
                     : QStringLiteral(" WHERE %1 = ? AND %2 = ?")
                               .arg(QLatin1String(dayColumn), QLatin1String(stationColumn));
    };
    QSqlQuery q(db);
    for (const char* table : {"tolvek_slot_stats", "tolvek_slot_check_stats"})
        if (!Exec(q,
                  QStringLiteral("DELETE FROM %1").arg(QLatin1String(table))
                          + where("day", "station"),
                  key))
            return q.lastError();
    if (!Exec(q,
              QString::fromLatin1(kSlotSums).arg(where("f.day", "f.station"),
                                                 where("u.first_day", "u.first_station"),
                                                 QLatin1String(kNamedVerdictSums)),
              key + key))
        return q.lastError();
    if (!Exec(q, QString::fromLatin1(kSlotCheckSums).arg(where("c.day", "c.station")), key))
        return q.lastError();
    return {};
}

QStringList RunSlotsSchema()
{
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS tolvek_run_slots (run_id TEXT PRIMARY KEY,"
                           " interface TEXT NOT NULL)")};
}

TRunSlotWriter::TRunSlotWriter(const QSqlDatabase& db)
    : query_(db)
{}

QSqlError TRunSlotWriter::Add(const TRunRecord& r)
{
    if (r.Options.Interface.empty())
        return {};
    if (!prepared_
        && !query_.prepare(QStringLiteral("INSERT INTO tolvek_run_slots (run_id, interface)"
                                          " VALUES (?, ?) ON CONFLICT (run_id) DO NOTHING")))
        return query_.lastError();
    prepared_ = true;
    query_.addBindValue(QString::fromStdString(r.Id));
    query_.addBindValue(QString::fromStdString(r.Options.Interface).left(kMaxSlotName));
    return query_.exec() ? QSqlError() : query_.lastError();
}

std::optional<std::vector<TYieldSlot>> QueryYieldBySlot(QSqlDatabase& db, const QString& since,
                                                        const QString& until, QSqlError& error)
{
    std::map<std::pair<QString, QString>, TYieldSlot> rows;
    const auto slotOf = [&](const QSqlQuery& q) -> TYieldSlot& {
        const QString bench = q.value(0).toString(), slot = q.value(1).toString();
        auto& s = rows[{bench, slot}];
        s.Bench = bench;
        s.Slot = slot;
        return s;
    };
    QSqlQuery q(db);
    if (HasSlotStats(db)) {
        if (!Select(q,
                    QStringLiteral("SELECT station, slot, SUM(runs), SUM(passed), SUM(failed),"
                                   " SUM(aborted), SUM(untested), SUM(units), SUM(first_passed)"
                                   " FROM tolvek_slot_stats WHERE day BETWEEN ? AND ?"
                                   " GROUP BY station, slot"),
                    Days(since, until))) {
            error = q.lastError();
            return std::nullopt;
        }
        while (q.next()) {
            auto& s = slotOf(q);
            s.Runs = q.value(2).toLongLong();
            s.Passed = q.value(3).toLongLong();
            s.Failed = q.value(4).toLongLong();
            s.Aborted = q.value(5).toLongLong();
            s.Untested = q.value(6).toLongLong();
            s.Units = q.value(7).toLongLong();
            s.FirstPassed = q.value(8).toLongLong();
        }
        q = QSqlQuery(db);
        if (!Select(q,
                    QStringLiteral("SELECT station, slot, name, SUM(runs) FROM"
                                   " tolvek_slot_check_stats WHERE day BETWEEN ? AND ?"
                                   " GROUP BY station, slot, name"),
                    Days(since, until))) {
            error = q.lastError();
            return std::nullopt;
        }
        while (q.next())
            slotOf(q).Checks.emplace_back(q.value(2).toString(), q.value(3).toLongLong());
        return Sorted(rows);
    }
    // A store made before the sums, read where it cannot be brought up to date: from the
    // runs' facts.
    // Runs by verdict; the units whose first run ever was in the slot on a day of the period;
    // the failing checks (each run once per check).
    if (!Select(q,
                QStringLiteral("SELECT f.station, COALESCE(s.interface, ''), COUNT(*), %1"
                               " FROM tolvek_run_facts f"
                               " LEFT JOIN tolvek_run_slots s ON s.run_id = f.id"
                               " WHERE f.day BETWEEN ? AND ?"
                               " GROUP BY f.station, COALESCE(s.interface, '')")
                        .arg(QLatin1String(kVerdictSums)),
                Days(since, until))) {
        error = q.lastError();
        return std::nullopt;
    }
    while (q.next()) {
        auto& s = slotOf(q);
        s.Runs = q.value(2).toLongLong();
        s.Passed = q.value(3).toLongLong();
        s.Failed = q.value(4).toLongLong();
        s.Aborted = q.value(5).toLongLong();
        s.Untested = q.value(6).toLongLong();
    }
    q = QSqlQuery(db);
    if (!Select(q,
                QStringLiteral("SELECT u.first_station, COALESCE(s.interface, ''), COUNT(*),"
                               " SUM(u.first_passed) FROM tolvek_units u"
                               " LEFT JOIN tolvek_run_slots s ON s.run_id = u.first_id"
                               " WHERE u.first_day BETWEEN ? AND ?"
                               " GROUP BY u.first_station, COALESCE(s.interface, '')"),
                Days(since, until))) {
        error = q.lastError();
        return std::nullopt;
    }
    while (q.next()) {
        auto& s = slotOf(q);
        s.Units = q.value(2).toLongLong();
        s.FirstPassed = q.value(3).toLongLong();
    }
    q = QSqlQuery(db);
    if (!Select(q,
                QStringLiteral("SELECT c.station, COALESCE(s.interface, ''), c.name, COUNT(*)"
                               " FROM tolvek_checks c"
                               " LEFT JOIN tolvek_run_slots s ON s.run_id = c.run_id"
                               " WHERE c.day BETWEEN ? AND ?"
                               " GROUP BY c.station, COALESCE(s.interface, ''), c.name"),
                Days(since, until))) {
        error = q.lastError();
        return std::nullopt;
    }
    while (q.next())
        slotOf(q).Checks.emplace_back(q.value(2).toString(), q.value(3).toLongLong());
    return Sorted(rows);
}

std::optional<std::vector<QStringList>> QueryRunsOfSlot(QSqlDatabase& db, const QString& bench,
                                                        const QString& slot, const QString& since,
                                                        const QString& until, int limit,
                                                        QSqlError& error)
{
    QSqlQuery q(db);
    if (!Select(q,
                QStringLiteral("SELECT r.id, r.started, r.station, r.serial, r.verdict"
                               " FROM tolvek_run_facts f JOIN tolvek_runs r ON r.id = f.id"
                               " LEFT JOIN tolvek_run_slots s ON s.run_id = f.id"
                               " WHERE f.day BETWEEN ? AND ? AND f.station = ?"
                               " AND COALESCE(s.interface, '') = ?"
                               " ORDER BY f.started_utc DESC, f.id DESC LIMIT ?"),
                Days(since, until) + QVariantList{bench, slot, limit})) {
        error = q.lastError();
        return std::nullopt;
    }
    std::vector<QStringList> runs;
    while (q.next())
        runs.push_back({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                        q.value(3).toString(), q.value(4).toString()});
    return runs;
}

} // namespace tolvek
