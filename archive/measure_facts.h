// The measurements over a period, for the line view and --yield: each run's value of every
// measurement limits may be set on (echo_ms, upload_mib_s, ..., step_ms.report) with the
// limits and marginal band it was judged by and its slot, and per bench, day and
// measurement the count, mean and spread and a histogram in fine bins per slot, kept up to
// date when runs are stored, and the same per ISO week. A period is answered from the rows
// of its whole weeks and of the days at its ends, so a year reads about 60 rows a bench.
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
#include <set>
#include <utility>

namespace tolvek {

// The schema version that brought the measurement facts.
constexpr int kMeasureFactsSchema = 6; // after the slots' schema (archive/run_slots.h)
// The one that gave them slots, marginal bands and weeks: a store of schema 6 or 7 has
// its measurement tables made anew and filled from its runs.
constexpr int kMeasureWeeksSchema = kMeasureFactsSchema + 2; // after the sums per slot

// Their tables and indexes, each statement idempotent.
QStringList MeasureFactsSchema();

// Drops the tables of a store of schema `version` whose measurement facts had an earlier
// shape; first thing in its migration, before anything refreshes them.
QSqlError DropOlderMeasureFacts(QSqlDatabase& db, int version);

// Creates them and fills them from the runs already stored; inside the caller's
// transaction (a store of the version before).
QSqlError AddMeasureFacts(QSqlDatabase& db);

class TMeasureFacts
{
public:
    explicit TMeasureFacts(const QSqlDatabase& db);
    // The values of a run just inserted.
    QSqlError Add(const TRunRecord& record);
    // The sums and bins of one bench's day, anew; its week is refreshed by RefreshWeeks.
    QSqlError RefreshDay(const QString& day, const QString& station);
    // The weeks of the days refreshed since the last call, summed anew from their days.
    QSqlError RefreshWeeks();

private:
    struct TFigures;
    QSqlError Prepared(const QString& sql, const QVariantList& binds);
    QSqlError Replace(const char* key, const QString& when, const QString& station,
                      const std::map<QString, TFigures>& measures);
    QSqlError RefreshWeek(const QString& monday, const QString& station);

    QSqlDatabase db_;
    std::map<QString, QSqlQuery> prepared_;
    std::set<std::pair<QString, QString>> weeks_; // (Monday, station) to refresh
};

// The queries; days "YYYY-MM-DD", both included. A failing query throws std::runtime_error.
// Per bench, ISO week and measurement, by bench, week, measurement: {bench, week
// ("2026-W50"), measurement, runs, mean, sd, cpk, low, high, marginal_low, marginal_high}
// (absent figures null; the limits and band are those Cpk is taken against).
QJsonArray MeasureStats(const QSqlDatabase& db, const QString& since, const QString& until);
// One measurement's histogram: {measurement, edges: [N+1 values], low, high, marginal_low,
// marginal_high (the latest judged run's limits and band, or null), benches: [{bench,
// counts: [N], slots: [{slot, counts: [N]}]}]} (slot "" for runs without a network port);
// no edges without runs.
QJsonObject MeasureHistogram(const QSqlDatabase& db, const QString& measurement,
                             const QString& since, const QString& until);
// The latest `limit` runs that took the measurement, oldest first: {id, started, bench,
// slot, value, low, high, marginal_low, marginal_high} (the limits and band it was judged
// by, null when none).
QJsonArray MeasureRunChart(const QSqlDatabase& db, const QString& measurement, const QString& since,
                           const QString& until, int limit = 2000);

} // namespace tolvek
