// The runs table as both the bench's SQLite archive and the line's PostgreSQL database
// hold it: one SQL dialect that both understand, so queries run unchanged on either.
#pragma once

#include "archive/run_facts.h"
#include "archive/run_slots.h"
#include "core/run_record.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace tolvek {

// The one description of the tables: its statements in order, idempotent, ending with the
// version row (written only where there is none: a store of an older version gets it
// raised by its migration). A change to them raises kRunStoreSchema.
static_assert(kMeasureFactsSchema == kRunSlotsSchema + 1);
static_assert(kMeasureWeeksSchema == kSlotStatsSchema + 1);
constexpr int kRunStoreSchema = kMeasureWeeksSchema;
QStringList RunStoreSchema();

// The line database's set-up for a DBA (tolvek --line-schema): the schema, the roles
// tolvek_bench (what forwarding and --line queries need) and tolvek_viewer (reads only)
// and their grants, as one PostgreSQL transaction.
QString LineSchemaScript();

// Creates nothing when the tables are there in this version; adds and fills the facts of a
// store made before them; creates a new store's tables. Error if the database cannot be
// used (made by a newer program, not writable, ...).
QSqlError EnsureRunStore(QSqlDatabase& db);

// Inserts runs with one statement prepared once, and their facts; a run whose id is
// already there is left as it is. Finish before the transaction commits.
class TRunInserter
{
public:
    explicit TRunInserter(const QSqlDatabase& db);
    QSqlError Insert(const TRunRecord& record);
    // Brings the per-day sums and medians of the runs inserted up to date.
    QSqlError Finish();

private:
    QSqlQuery query_;
    bool prepared_ = false;
    TRunFacts facts_;
    TRunSlotWriter slots_;
};

// The sorting key of an ISO 8601 time: UTC, as the text of local times would misplace
// runs around a change of UTC offset.
QString UtcKey(const std::string& iso);

// Dates are local calendar days "yyyy-mm-dd" of the run's start, both ends included.
struct TRunFilter
{
    QString Serial;
    QString Since;
    QString Until;
};

// Checks a date given on the command line; nullopt when it is no calendar day.
std::optional<QString> ParseDay(const QString& text);

// Hands each run that matches to `each` as it is read, newest first (oldest first when
// asked), so memory stays the same whatever the number of runs. Error when the query failed.
QSqlError ForEachRun(QSqlDatabase& db, const TRunFilter& filter, bool oldestFirst,
                     const std::function<void(const TRunRecord&)>& each);
// Where a run stands in ForEachRun's oldest-first order.
struct TRunKey
{
    QString StartedUtc, Id;
};
// A page of that order: the runs after `after` (from the first when nullopt), at most
// `most` runs and about `budget` characters of records (the first run always), each handed
// to `each`; `last` becomes the key of the page's last run, nullopt when it had none. Pages
// asked one after the other hand on the runs exactly as ForEachRun does, with no query held
// open between them.
QSqlError ForEachRunAfter(QSqlDatabase& db, const TRunFilter& filter,
                          const std::optional<TRunKey>& after, int most, qint64 budget,
                          std::optional<TRunKey>& last,
                          const std::function<void(const TRunRecord&)>& each);
// The same gathered in memory, for a few runs.
std::optional<std::vector<TRunRecord>> QueryRuns(QSqlDatabase& db, const TRunFilter& filter,
                                                 QSqlError& error, bool oldestFirst = false);
std::optional<TRunRecord> QueryRun(QSqlDatabase& db, const QString& id, QSqlError& error);

struct TYieldDay
{
    QString Day;
    int Runs = 0, Passed = 0, Failed = 0, Aborted = 0;
    int Units = 0;       // serial numbers first tested that day
    int FirstPassed = 0; // of those, how many passed their first run
};

// Per day of the filter. A unit's first run is its first in the whole database, so a
// narrower range does not turn a retest into a first run.
std::optional<std::vector<TYieldDay>> QueryYield(QSqlDatabase& db, const TRunFilter& filter,
                                                 QSqlError& error);

} // namespace tolvek
