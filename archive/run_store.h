// The runs table as both the bench's SQLite archive and the line's PostgreSQL database
// hold it: one SQL dialect that both understand, so queries run unchanged on either.
#pragma once

#include "archive/run_facts.h"
#include "core/run_record.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include <optional>
#include <vector>

namespace tolvek {

constexpr int kRunStoreSchema = kRunFactsSchema;

// Creates the tables if missing, adds the facts to a store made before them, and checks
// the schema version. Error text if the database cannot be used (made by a newer
// program, not writable, ...).
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

// Runs that match, newest first (oldest first when asked).
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
