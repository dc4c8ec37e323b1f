// The measurements over a period, for the line view and --yield: each run's value of every
// measurement limits may be set on (echo_ms, upload_mib_s, ..., step_ms.report) with the
// limits it was judged by, and per bench, day and measurement the count, mean and spread
// and a histogram in fine bins, kept up to date when runs are stored. The answers are
// summed from the per-day rows, so a year of a line answers as fast as a week.
//
// Figures: mean and sample standard deviation of the runs that took the measurement; Cpk
// against the limits of the latest judged run of that bench and week, min(HIGH - mean,
// mean - LOW) / 3 sd with the one side there is when only one is, null without limits or
// spread. Histogram bins are equal, 1, 2 or 5 times a power of ten wide, at most about 20
// over the values and the limits; a value on an edge counts in the bin above it.
#pragma once

#include "core/run_record.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <map>

namespace tolvek {

// The schema version that brought the measurement facts.
constexpr int kMeasureFactsSchema = 6; // after the slots' schema (archive/run_slots.h)

// Their tables and indexes, each statement idempotent.
QStringList MeasureFactsSchema();

// Creates them and fills them from the runs already stored; inside the caller's
// transaction (a store of the version before).
QSqlError AddMeasureFacts(QSqlDatabase& db);

class TMeasureFacts
{
public:
    explicit TMeasureFacts(const QSqlDatabase& db);
    // The values of a run just inserted.
    QSqlError Add(const TRunRecord& record);
    // The sums and bins of one bench's day, anew.
    QSqlError RefreshDay(const QString& day, const QString& station);

private:
    QSqlError Prepared(const QString& sql, const QVariantList& binds);

    QSqlDatabase db_;
    std::map<QString, QSqlQuery> prepared_;
};

// The queries; days "YYYY-MM-DD", both included. A failing query throws std::runtime_error.
// Per bench, ISO week and measurement, by bench, week, measurement: {bench, week
// ("2026-W50"), measurement, runs, mean, sd, cpk, low, high} (absent figures null).
QJsonArray MeasureStats(const QSqlDatabase& db, const QString& since, const QString& until);
// One measurement's histogram: {measurement, edges: [N+1 values], low, high (the latest
// judged run's limits, or null), benches: [{bench, counts: [N]}]}; no edges without runs.
QJsonObject MeasureHistogram(const QSqlDatabase& db, const QString& measurement,
                             const QString& since, const QString& until);
// The latest `limit` runs that took the measurement, oldest first: {id, started, bench,
// value, low, high} (the limits it was judged by, null when none).
QJsonArray MeasureRunChart(const QSqlDatabase& db, const QString& measurement, const QString& since,
                           const QString& until, int limit = 2000);

} // namespace tolvek
