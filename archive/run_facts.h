// What the line view reads instead of whole records: facts derived from each run as it is
// stored (bench, day, hour, verdict, failing checks, step times, measurements, each unit's
// first run) and per bench and day the sums and medians over them, brought up to date in
// the storing transaction. The same tables in the bench's archive and the line database.
#pragma once

#include "archive/measure_facts.h"
#include "core/run_record.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <map>
#include <set>
#include <utility>
#include <vector>

namespace tolvek {

// The schema version that brought the facts, and the one that brought the trends (each
// unit's outcome, final yield, percentiles of the durations).
constexpr int kRunFactsSchema = 2;
// The version whose units are serial numbers in any letter case, first by the millisecond.
constexpr int kRunUnitsSchema = 3;
// The version that brought the trends; the slots' table came after it (run_slots.h).
constexpr int kRunTrendsSchema = kRunUnitsSchema + 1;

// The facts' tables and indexes, the trends' included, each statement idempotent.
QStringList RunFactsSchema();
// The trends' tables and indexes alone.
QStringList RunTrendsSchema();

// Creates the facts' tables and fills them from the runs already stored; inside the
// caller's transaction.
QSqlError AddRunFacts(QSqlDatabase& db);
// Creates the trends' tables in a store that has the facts and fills them from the facts;
// inside the caller's transaction. Without `refreshDays` every bench's day is left for the
// caller to count anew (TRunFacts::RebuildUnits does), so that is done once.
QSqlError AddRunTrends(QSqlDatabase& db, bool refreshDays = true);

// The whole run's duration among the step names: its steps' times together.
constexpr char kWholeRun[] = "run";

// A run's failing checks in the order found, each once: the counted "<FAILED>" tests of
// its report (the test's name, as the run judged it), "test file transfer" when the
// transfer test failed, the failed step's message, and each measurement outside its limits
// (under its name); a failed run with none of these (an older record whose failed line was
// cut before its marker) has kUnnamedFailure.
constexpr char kUnnamedFailure[] = "failure not named in the record";
std::vector<QString> FailingChecks(const TRunRecord& record);

// A serial number as looked up: in upper case, whatever case it was typed in.
QString SerialKey(const QString& serial);

class TRunFacts
{
public:
    explicit TRunFacts(const QSqlDatabase& db);
    // The facts of a run just inserted.
    QSqlError Add(const TRunRecord& record);
    // The sums and medians of every bench's day touched since the last call, and the
    // change mark; before the transaction commits.
    QSqlError Refresh();
    // Finds every unit's first run again (serial numbers in any letter case as one, ties
    // of the start in storing order) and counts every day anew; in the caller's transaction.
    QSqlError RebuildUnits();
    // As Refresh, for every bench's day there is.
    QSqlError RefreshAll();
    // The unit's first and last run and whether it ever passed, with this run.
    QSqlError AddOutcome(const TRunRecord& record, const QString& utc, const QString& day,
                         const QString& station, const QString& verdict);

private:
    QSqlError RefreshDay(const QString& day, const QString& station);
    QSqlError RefreshTrends(const QVariantList& key, std::map<QString, std::vector<double>> steps,
                            const std::map<QString, double>& wholeRuns);
    // Runs a statement prepared once per text; `result`, when given, points at it.
    QSqlError Prepared(const QString& sql, const QVariantList& binds, QSqlQuery** result = nullptr);

    QSqlDatabase db_;
    std::set<std::pair<QString, QString>> touched_; // (day, station)
    std::map<QString, QSqlQuery> prepared_;
    TMeasureFacts measures_;
};

} // namespace tolvek
