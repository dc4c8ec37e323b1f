#include "archive/run_store.h"

#include "archive/archive_sql.h"
#include "archive/run_facts.h"
#include "archive/run_record_json.h"

#include <QDate>
#include <QDateTime>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QVariant>

#include <map>

namespace tolvek {
namespace {

QString Where(const TRunFilter& f, QVariantList& binds)
{
    QStringList terms;
    if (!f.Serial.isEmpty()) {
        // In any letter case, as the unit page finds a unit.
        terms << QStringLiteral("id IN (SELECT id FROM tolvek_run_facts WHERE serial_key = ?)");
        binds << SerialKey(f.Serial);
    }
    if (!f.Since.isEmpty()) {
        terms << QStringLiteral("day >= ?");
        binds << f.Since;
    }
    if (!f.Until.isEmpty()) {
        terms << QStringLiteral("day <= ?");
        binds << f.Until;
    }
    return terms.isEmpty() ? QString()
                           : QStringLiteral(" WHERE ") + terms.join(QStringLiteral(" AND "));
}

// Brings a store of an earlier schema up to this one, once, whoever gets there first: the
// guarded update keeps a second bench that opens the line database meanwhile from doing it
// again. Schema 1 gains the facts (the trends and the measurements with them, run by run);
// schema 2 counts its units again; up to 3 gain the trends; up to 5 the (empty) slots'
// table and the measurement facts; up to 6 the sums per slot; 6 and 7 their measurement
// facts in their new shape.
QSqlError Migrate(QSqlDatabase& db, int version)
{
    if (!db.transaction())
        return db.lastError();
    QSqlQuery q(db);
    QSqlError e;
    if (!q.exec(QStringLiteral("UPDATE tolvek_meta SET value = '%1' WHERE key = 'schema' AND"
                               " value = '%2'")
                        .arg(kRunStoreSchema)
                        .arg(version)))
        e = q.lastError();
    else if (q.numRowsAffected() == 1) {
        e = DropOlderMeasureFacts(db, version);
        // The tables every later step fills or reads, before any of them runs. Runs stored
        // before the slots' table had no port: it starts empty.
        for (const QString& sql : MeasureFactsSchema() + RunSlotsSchema() + SlotStatsSchema()) {
            QSqlQuery create(db);
            if (!e.isValid() && !create.exec(sql))
                e = create.lastError();
        }
        // The trends' tables first: counting the units again refreshes them too, so every
        // day is counted once.
        const bool rebuildUnits = version >= kRunFactsSchema && version < kRunUnitsSchema;
        if (!e.isValid() && version < kRunFactsSchema)
            e = AddRunFacts(db);
        else if (!e.isValid() && version < kRunTrendsSchema)
            e = AddRunTrends(db, !rebuildUnits);
        if (!e.isValid() && rebuildUnits)
            e = TRunFacts(db).RebuildUnits();
        if (!e.isValid() && version >= kRunFactsSchema && version < kMeasureWeeksSchema)
            e = AddMeasureFacts(db);
        // The sums per slot from the facts as they now are, in one pass over them.
        if (!e.isValid() && version >= kRunFactsSchema)
            e = RefreshSlotStats(db);
    }
    if (!e.isValid() && !db.commit())
        e = db.lastError();
    if (e.isValid())
        db.rollback();
    return e;
}

QSqlError SchemaVersion(QSqlDatabase& db, int& version)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT value FROM tolvek_meta WHERE key = 'schema'")))
        return q.lastError();
    version = q.next() ? q.value(0).toInt() : 0;
    return {};
}

} // namespace

QStringList RunStoreSchema()
{
    QStringList statements{
            QStringLiteral("CREATE TABLE IF NOT EXISTS tolvek_meta (key TEXT PRIMARY KEY, value "
                           "TEXT NOT NULL)"),
            QStringLiteral(
                    "CREATE TABLE IF NOT EXISTS tolvek_runs (id TEXT PRIMARY KEY, started TEXT NOT "
                    "NULL, started_utc TEXT NOT NULL, day TEXT NOT NULL, station TEXT NOT NULL,"
                    " version TEXT NOT NULL, address TEXT NOT NULL, serial TEXT NOT NULL,"
                    " verdict TEXT NOT NULL, failures INTEGER NOT NULL, message TEXT, record TEXT "
                    "NOT NULL)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS tolvek_runs_started ON tolvek_runs "
                           "(started_utc)"),
            QStringLiteral("CREATE INDEX IF NOT EXISTS tolvek_runs_serial ON tolvek_runs (serial)"),
    };
    statements << RunFactsSchema();
    statements << RunSlotsSchema();
    statements << MeasureFactsSchema();
    statements << SlotStatsSchema();
    statements << QStringLiteral("INSERT INTO tolvek_meta (key, value) VALUES ('schema', '%1') ON "
                                 "CONFLICT (key) DO NOTHING")
                          .arg(kRunStoreSchema);
    return statements;
}

QString LineSchemaScript()
{
    QString sql =
            QStringLiteral(
                    "-- The tolvek line database, schema %1. Run once by the owner of the tables:\n"
                    "--   tolvek --line-schema | psql -v ON_ERROR_STOP=1 -d DATABASE\n"
                    "-- Benches log in as members of tolvek_bench, the line view as members of\n"
                    "-- tolvek_viewer, for example:\n"
                    "--   CREATE ROLE bench07 LOGIN PASSWORD '...' IN ROLE tolvek_bench;\n"
                    "-- tolvek_bench: SELECT, INSERT on the runs; SELECT, INSERT, UPDATE, DELETE "
                    "on\n"
                    "-- the view's facts and sums; SELECT on tolvek_meta and UPDATE of its change\n"
                    "-- counter only (row policy), never of the schema version. tolvek_viewer:\n"
                    "-- SELECT only.\n"
                    "BEGIN;\n"
                    "DO $$ BEGIN CREATE ROLE tolvek_bench NOLOGIN; EXCEPTION WHEN duplicate_object "
                    "THEN NULL; END $$;\n"
                    "DO $$ BEGIN CREATE ROLE tolvek_viewer NOLOGIN; EXCEPTION WHEN "
                    "duplicate_object THEN NULL; END $$;\n")
                    .arg(kRunStoreSchema);
    QStringList facts;
    static const QRegularExpression table(QStringLiteral("^CREATE TABLE IF NOT EXISTS (\\w+)"));
    for (const QString& statement : RunStoreSchema()) {
        sql += statement + QStringLiteral(";\n");
        if (const auto m = table.match(statement); m.hasMatch()
                                                   && m.captured(1) != QLatin1String("tolvek_meta")
                                                   && m.captured(1) != QLatin1String("tolvek_runs"))
            facts << m.captured(1);
    }
    // A bench checks the version, sends runs (INSERT ... ON CONFLICT DO NOTHING needs no
    // more), keeps the view's facts and sums up to date with each batch and answers --line
    // queries; the view only reads.
    // Of the version table a bench may change the change counter alone: a bench that set
    // the schema version would lock every bench out.
    sql += QStringLiteral("GRANT SELECT, UPDATE ON tolvek_meta TO tolvek_bench;\n"
                          "GRANT SELECT ON tolvek_meta TO tolvek_viewer;\n"
                          "ALTER TABLE tolvek_meta ENABLE ROW LEVEL SECURITY;\n"
                          "DROP POLICY IF EXISTS tolvek_meta_read ON tolvek_meta;\n"
                          "CREATE POLICY tolvek_meta_read ON tolvek_meta FOR SELECT USING (true);\n"
                          "DROP POLICY IF EXISTS tolvek_meta_changes ON tolvek_meta;\n"
                          "CREATE POLICY tolvek_meta_changes ON tolvek_meta FOR UPDATE TO "
                          "tolvek_bench\n"
                          "    USING (key = 'changes') WITH CHECK (key = 'changes');\n"
                          "GRANT SELECT, INSERT ON tolvek_runs TO tolvek_bench;\n"
                          "GRANT SELECT ON tolvek_runs TO tolvek_viewer;\n");
    const QString list = facts.join(QStringLiteral(", "));
    sql += QStringLiteral("GRANT SELECT, INSERT, UPDATE, DELETE ON %1 TO tolvek_bench;\n"
                          "GRANT SELECT ON %1 TO tolvek_viewer;\n"
                          "COMMIT;\n")
                   .arg(list);
    return sql;
}

QString UtcKey(const std::string& iso)
{
    const auto t = QDateTime::fromString(QString::fromStdString(iso), Qt::ISODateWithMs);
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : QString::fromStdString(iso);
}

QSqlError EnsureRunStore(QSqlDatabase& db)
{
    // Tables in this version (made by a DBA, or before) are used as they are: a bench role
    // with only the rights it needs may create nothing.
    int version = 0;
    if (!SchemaVersion(db, version).isValid() && version > 0) {
        if (version == kRunStoreSchema)
            return {};
        if (version > kRunStoreSchema)
            return QSqlError(QStringLiteral("made by a newer tolvek (schema %1)").arg(version), {},
                             QSqlError::UnknownError, QStringLiteral("schema"));
        if (auto e = Migrate(db, version); e.isValid())
            return e;
        // A role that may not raise the version (a bench on a line database) leaves it.
        if (auto e = SchemaVersion(db, version); e.isValid())
            return e;
        if (version != kRunStoreSchema)
            return QSqlError(QStringLiteral("made by an older tolvek (schema %1): its owner "
                                            "brings it up with tolvek --yield --line")
                                     .arg(version),
                             {}, QSqlError::UnknownError, QStringLiteral("schema"));
        return {};
    }
    for (const QString& sql : RunStoreSchema())
        if (auto e = Run(db, sql); e.isValid())
            return e;
    return {};
}

TRunInserter::TRunInserter(const QSqlDatabase& db)
    : query_(db)
    , facts_(db)
    , slots_(db)
{}

QSqlError TRunInserter::Finish()
{
    return facts_.Refresh();
}

QSqlError TRunInserter::Insert(const TRunRecord& r)
{
    auto& q = query_;
    if (!prepared_
        && !q.prepare(QStringLiteral(
                "INSERT INTO tolvek_runs (id, started, started_utc, day, station, version, "
                "address, serial,"
                " verdict, failures, message, record) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                " ON CONFLICT (id) DO NOTHING")))
        return q.lastError();
    prepared_ = true;
    const auto s = [](const std::string& t) { return QVariant(QString::fromStdString(t)); };
    q.addBindValue(s(r.Id));
    q.addBindValue(s(r.Started));
    q.addBindValue(UtcKey(r.Started));
    q.addBindValue(QString::fromStdString(r.Started.substr(0, 10)));
    q.addBindValue(s(r.Station));
    q.addBindValue(s(r.Version));
    q.addBindValue(s(r.Options.Address));
    q.addBindValue(s(r.Serial));
    q.addBindValue(QString::fromLatin1(VerdictName(r.Verdict)));
    q.addBindValue(r.Failures);
    q.addBindValue(r.Message ? s(*r.Message) : QVariant(QMetaType::fromType<QString>()));
    q.addBindValue(
            QString::fromUtf8(QJsonDocument(RunRecordToJson(r)).toJson(QJsonDocument::Compact)));
    if (!q.exec())
        return q.lastError();
    // A run already there has its facts already.
    if (q.numRowsAffected() != 1)
        return {};
    if (auto e = facts_.Add(r); e.isValid())
        return e;
    return slots_.Add(r);
}

std::optional<QString> ParseDay(const QString& text)
{
    const auto d = QDate::fromString(text, Qt::ISODate);
    if (!d.isValid() || text.size() != 10)
        return std::nullopt;
    return d.toString(Qt::ISODate);
}

QSqlError ForEachRun(QSqlDatabase& db, const TRunFilter& filter, bool oldestFirst,
                     const std::function<void(const TRunRecord&)>& each)
{
    QVariantList binds;
    QSqlQuery q(db);
    const QString order = oldestFirst ? QStringLiteral(" ORDER BY started_utc, id")
                                      : QStringLiteral(" ORDER BY started_utc DESC, id DESC");
    if (!Select(q, QStringLiteral("SELECT record FROM tolvek_runs") + Where(filter, binds) + order,
                binds))
        return q.lastError();
    while (q.next())
        if (auto r = RunRecordFromJson(
                    QJsonDocument::fromJson(q.value(0).toString().toUtf8()).object()))
            each(*r);
    return q.lastError().isValid() ? q.lastError() : QSqlError();
}

QSqlError ForEachRunAfter(QSqlDatabase& db, const TRunFilter& filter,
                          const std::optional<TRunKey>& after, int most, qint64 budget,
                          std::optional<TRunKey>& last,
                          const std::function<void(const TRunRecord&)>& each)
{
    QVariantList binds;
    QString where = Where(filter, binds);
    if (after) {
        where += where.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ");
        where += QStringLiteral("started_utc >= ? AND (started_utc > ? OR id > ?)");
        binds << after->StartedUtc << after->StartedUtc << after->Id;
    }
    binds << most << budget;
    // The sizes are summed over the keys alone, so no record is carried through the sum.
    QSqlQuery q(db);
    if (!Select(q,
                QStringLiteral("SELECT r.started_utc, r.id, r.record FROM tolvek_runs r JOIN"
                               " (SELECT id, SUM(size) OVER (ORDER BY started_utc, id) - size"
                               " AS before FROM (SELECT started_utc, id, LENGTH(record) AS size"
                               " FROM tolvek_runs%1 ORDER BY started_utc, id LIMIT ?) AS firsts)"
                               " AS page ON r.id = page.id WHERE page.before < ?"
                               " ORDER BY r.started_utc, r.id")
                        .arg(where),
                binds))
        return q.lastError();
    last.reset();
    while (q.next()) {
        last = TRunKey{q.value(0).toString(), q.value(1).toString()};
        if (auto r = RunRecordFromJson(
                    QJsonDocument::fromJson(q.value(2).toString().toUtf8()).object()))
            each(*r);
    }
    return q.lastError().isValid() ? q.lastError() : QSqlError();
}

std::optional<std::vector<TRunRecord>> QueryRuns(QSqlDatabase& db, const TRunFilter& filter,
                                                 QSqlError& error, bool oldestFirst)
{
    std::vector<TRunRecord> runs;
    error = ForEachRun(db, filter, oldestFirst, [&](const TRunRecord& r) { runs.push_back(r); });
    if (error.isValid())
        return std::nullopt;
    return runs;
}

std::optional<TRunRecord> QueryRun(QSqlDatabase& db, const QString& id, QSqlError& error)
{
    QSqlQuery q(db);
    if (!Select(q, QStringLiteral("SELECT record FROM tolvek_runs WHERE id = ?"), {id})) {
        error = q.lastError();
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    return RunRecordFromJson(QJsonDocument::fromJson(q.value(0).toString().toUtf8()).object());
}

std::optional<std::vector<TYieldDay>> QueryYield(QSqlDatabase& db, const TRunFilter& filter,
                                                 QSqlError& error)
{
    // The runs by verdict, and the units whose first run in the whole store (as the facts
    // keep it, the view's figures alike) falls on each day.
    QVariantList binds;
    QStringList range;
    if (!filter.Since.isEmpty()) {
        range << QStringLiteral("%1 >= ?");
        binds << filter.Since;
    }
    if (!filter.Until.isEmpty()) {
        range << QStringLiteral("%1 <= ?");
        binds << filter.Until;
    }
    const auto where = [&](const char* column) {
        return range.isEmpty()
                       ? QString()
                       : QStringLiteral(" WHERE ")
                                 + range.join(QStringLiteral(" AND ")).arg(QLatin1String(column));
    };
    std::map<QString, TYieldDay> days;
    QSqlQuery q(db);
    if (!Select(q,
                QStringLiteral("SELECT day, verdict, COUNT(*) FROM tolvek_runs%1"
                               " GROUP BY day, verdict")
                        .arg(where("day")),
                binds)) {
        error = q.lastError();
        return std::nullopt;
    }
    while (q.next()) {
        const QString day = q.value(0).toString(), verdict = q.value(1).toString();
        const int runs = q.value(2).toInt();
        auto& d = days[day];
        d.Day = day;
        d.Runs += runs;
        // An untested run is the station's fault, not the unit's.
        if (verdict == QLatin1String("passed"))
            d.Passed += runs;
        else if (verdict == QLatin1String("failed"))
            d.Failed += runs;
        else if (verdict == QLatin1String("aborted"))
            d.Aborted += runs;
    }
    if (!Select(q,
                QStringLiteral("SELECT first_day, COUNT(*), SUM(first_passed) FROM tolvek_units%1"
                               " GROUP BY first_day")
                        .arg(where("first_day")),
                binds)) {
        error = q.lastError();
        return std::nullopt;
    }
    while (q.next()) {
        auto& d = days[q.value(0).toString()];
        d.Day = q.value(0).toString();
        d.Units = q.value(1).toInt();
        d.FirstPassed = q.value(2).toInt();
    }
    std::vector<TYieldDay> out;
    out.reserve(days.size());
    for (auto& [day, d] : days)
        out.push_back(d);
    return out;
}

} // namespace tolvek
