// The line page's downloads: /csv/NAME?since=&until= in the CSV form of `--export csv`
// (archive/run_csv.h), each a job for the view's pool.
//   runs               every run of the period, exactly as `tolvek --export csv` prints it,
//                      made piece by piece (the job, run again, makes the next piece)
//   first-pass-yield   per bench and day, as /api/bench-yield
//   failing-checks     per check: runs, and the runs per bench ("bench: runs, ...")
//   never-passed       the units that never passed, as /api/never-passed
//   runs-of-check      the runs behind check=NAME, newest first, at most limit= (1 000)
#pragma once

#include "serve/view_pool.h"

#include <QUrlQuery>

namespace tolvek {

struct TCsvPlan
{
    TViewPool::TJob Job; // empty: Status and Error say why not
    int Status = 200;
    QString Error{};
};

TCsvPlan CsvPlan(const QString& name, const TViewPeriod& period, const QUrlQuery& query);

} // namespace tolvek
