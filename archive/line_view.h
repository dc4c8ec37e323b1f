// The data behind the line view, read-only, from the bench's archive or the line
// database. Every call returns what the JSON API sends as it is; a failing query throws
// std::runtime_error with an operator-readable reason.
//
// Figures (a period is whole local days of the runs' start, both ends included):
// - runs, passed, failed, aborted, untested: runs by verdict;
// - units: serial numbers whose first run ever (in the whole archive or database, so a
//   narrower period never turns a retest into a first run) falls in the period;
//   first_passed: of those, how many passed that first run; first_pass_yield:
//   first_passed / units as a fraction (0..1; `--yield` prints it as a percentage), null
//   when no unit was first tested in the period. The same figures `--yield` prints.
// - a failing check of a run: each counted "<FAILED>" test of its report (the test's
//   name), "test file transfer" when the transfer test failed, and the failed step's
//   message (e.g. "Блок не отвечает"); a run counts once per check.
// - medians: of the runs that have the value; of an even count, the mean of the middle two.
// - bench: the station's host name; day "YYYY-MM-DD", hour "YYYY-MM-DDTHH" (local time).
// An invalid Since or Until leaves that end of the period open. The answers come from
// facts written when each run was stored (archive/run_facts.h), not from whole records.
#pragma once

#include "archive/run_csv.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <memory>
#include <optional>

namespace tolvek {

struct TViewPeriod
{
    QDate Since, Until; // whole local days, both included
};

// Used by the thread that opened it (a Qt SQL connection).
class TLineView
{
public:
    virtual ~TLineView() = default;

    // Open read-only; throw std::runtime_error with an operator-readable reason. An
    // archive made by an older tolvek is brought up to date first (its derived data).
    static std::unique_ptr<TLineView> OpenArchive(const QString& path);
    // A role that may only SELECT is enough.
    static std::unique_ptr<TLineView> OpenLine(const QString& uri);

    // {runs, passed, failed, aborted, untested, units, first_passed, first_pass_yield,
    //  final_passed, final_yield, never_passed}: of the units first tested in the period,
    // final_passed passed their last run so far and never_passed passed none of their runs.
    virtual QJsonObject Summary(const TViewPeriod& period) = 0;
    // As YieldPerDay per bench and day, by bench then day, with {bench}.
    virtual QJsonArray YieldPerBenchDay(const TViewPeriod& period) = 0;
    // Per bench and day that has runs, by day then bench: {bench, day, runs}.
    virtual QJsonArray RunsPerDay(const TViewPeriod& period) = 0;
    // Pareto split by bench, in the Pareto's order of checks, then by bench:
    // {check, bench, runs}.
    virtual QJsonArray ParetoPerBench(const TViewPeriod& period) = 0;
    // Per bench, day and step, the whole run ("run": its steps together) among them, by
    // bench, day, step: {bench, day, step, median_ms, p90_ms, runs}; p90 is the nearest rank.
    // `step`, when given, keeps that step's rows alone.
    virtual QJsonArray Durations(const TViewPeriod& period, const QString& step = {}) = 0;
    // The units first tested in the period that passed none of their runs, newest first, at
    // most `limit`: {serial, first, last (UTC times), last_id, last_verdict, runs}.
    virtual QJsonArray NeverPassed(const TViewPeriod& period, int limit = 1000) = 0;
    // Per day that has runs, oldest first: {day, runs, passed, failed, aborted, untested,
    // units, first_passed, first_pass_yield}.
    virtual QJsonArray YieldPerDay(const TViewPeriod& period) = 0;
    // Per bench and hour that has runs, by hour then bench: {bench, hour, runs}.
    virtual QJsonArray RunsPerHour(const TViewPeriod& period) = 0;
    // Per failing check, most runs first (then by name): {check, runs}.
    virtual QJsonArray Pareto(const TViewPeriod& period) = 0;
    // The runs behind one Pareto bar, newest first (by the moment, benches in any zone), at
    // most `limit`:
    // {id, started, bench, serial, verdict}.
    virtual QJsonArray RunsOfCheck(const TViewPeriod& period, const QString& check,
                                   int limit = 1000) = 0;
    // Per bench, day and step, by bench, day, step: {bench, day, step, median_ms, runs}.
    virtual QJsonArray StepMedians(const TViewPeriod& period) = 0;
    // Per bench and day, by bench then day, medians (null when none measured):
    // {bench, day, upload_mib_s, download_mib_s, echo_ms}.
    virtual QJsonArray TransferRates(const TViewPeriod& period) = 0;
    // The measurements' figures (archive/measure_facts.h): per bench, week and measurement
    // {bench, week, measurement, runs, mean, sd, cpk, low, high}; one measurement's
    // histogram per bench {measurement, edges, low, high, benches: [{bench, counts}]}; its
    // latest runs, oldest first {id, started, bench, value, low, high}.
    virtual QJsonArray MeasureStats(const TViewPeriod& period) = 0;
    virtual QJsonObject MeasureHistogram(const TViewPeriod& period, const QString& measurement) = 0;
    virtual QJsonArray MeasureRunChart(const TViewPeriod& period, const QString& measurement) = 0;
    // Every run of a serial number in any letter case, newest first, at most `limit`:
    // {id, started, bench, serial, verdict, failures:[check...], message (or null)}.
    virtual QJsonArray UnitRuns(const QString& serial, int limit = 1000) = 0;
    // One run's record in its `--json` form (with "id"); nullopt when there is none.
    virtual std::optional<QJsonObject> Run(const QString& id) = 0;
    // Per bench and network port (fixture slot), by bench then slot; slot null for runs
    // made without a port: {bench, slot, runs, passed, failed, aborted, untested, units,
    // first_passed, first_pass_yield, checks: [{check, runs}] (most runs first)}. Units are
    // those whose first run ever was in that slot within the period.
    virtual QJsonArray YieldPerSlot(const TViewPeriod&) { return {}; }
    // One slot's runs (slot empty: the bench's runs without a port), newest first, at most
    // `limit`: {id, started, bench, serial, verdict}.
    virtual QJsonArray RunsOfSlot(const TViewPeriod&, const QString& /*bench*/,
                                  const QString& /*slot*/, int /*limit*/ = 1000)
    {
        return {};
    }
    // A piece of the period's runs in `--export csv`'s form (archive/run_csv.h): the runs
    // after `after`, about `budget` characters of records; an empty piece ends them.
    virtual TRunCsvPiece RunsCsv(const TViewPeriod&, const std::optional<TRunKey>& /*after*/,
                                 qint64 /*budget*/)
    {
        return {};
    }
    // An opaque text that differs as soon as a run is added.
    virtual QString LatestChange() = 0;
};

} // namespace tolvek
