// Runs for the archive tests.
#pragma once

#include "core/run_record.h"
#include "archive/run_record_json.h"

#include <QJsonObject>
#include <string>

namespace archivetest {

inline tolvek::TRunRecord MakeRun(const std::string& started, const std::string& serial,
                                  tolvek::TRunVerdict verdict)
{
    tolvek::TRunRecord r;
    r.Started = started;
    r.Finished = started;
    r.Serial = serial;
    r.Verdict = verdict;
    r.Options.Address = "192.168.1.178";
    r.Failures = verdict == tolvek::TRunVerdict::Passed ? 0 : 1;
    r.Journal = {"date: " + started, "IP: 192.168.1.178"};
    r.Report = {"SN" + serial};
    return r;
}

} // namespace archivetest
