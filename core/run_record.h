// What one test run leaves behind, whoever drove it: the window, the command line or a
// rack. The run fills it as it goes; the archive, the line database and `--json` keep it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tolvek {

// What the operator (or the script) chose for one run.
struct TRunOptions
{
    std::string Address;
    bool SetClock = true; // "date -s" and "hwclock -w" before the report
    bool Ethernet = true; // the 1 MiB FTP round trip
    bool Tamper = false;  // TAMPER failures count
    bool Vac = false;     // AC voltage failures count
    // The station's network port the run goes through (its fixture slot's); empty = any.
    std::string Interface;
};

// Untested: the station could not test the unit (no permission to send the echo, say); it
// says nothing of the unit and counts neither as passed nor as failed.
enum class TRunVerdict { Passed, Failed, Aborted, Untested };

struct TTransferRecord
{
    bool Passed = false;
    std::string Reason; // empty when passed
};

// One step of the run that was started, in the order they ran: "echo", "upload",
// "download", "login", "clock" or "report".
struct TStepRecord
{
    std::string Name;
    long long Milliseconds = 0;
    bool Passed = false;
};

// What the run measured on the way; each is absent when its step did not measure it.
struct TMeasurements
{
    std::optional<double> EchoMilliseconds;   // ICMP echo round trip
    std::optional<double> UploadMiBPerSecond; // FTP rates of the transfer test
    std::optional<double> DownloadMiBPerSecond;
};

enum class TJudgementResult { Passed, Marginal, Failed };

// One measurement judged against the limits the run had, kept with them so the run stays
// explainable after the limits change.
struct TJudgement
{
    std::string Measurement; // "upload_mib_s", "step_ms.report", ...
    double Value = 0;
    std::optional<double> Low, High;                 // the limits; absent: no bound
    std::optional<double> MarginalLow, MarginalHigh; // the good band inside them
    TJudgementResult Result = TJudgementResult::Passed;
};

struct TRunRecord
{
    std::string Id;      // UUID, given when the run is archived
    std::string Station; // host name of the bench
    std::string Version; // program version
    std::string Started; // ISO 8601 local time with UTC offset, e.g. 2026-12-09T08:20:00+01:00
    std::string Finished;
    TRunOptions Options;
    TRunVerdict Verdict = TRunVerdict::Failed;
    int Failures = 0;
    std::optional<std::string> Message; // the failed step's message
    std::string Serial;
    std::vector<std::string> Journal;        // UTF-8, as shown
    std::vector<std::string> Report;         // raw lines after escape stripping, UTF-8
    std::optional<TTransferRecord> Transfer; // absent when the transfer test did not run
    std::vector<TStepRecord> Steps;          // empty in records made before steps were kept
    TMeasurements Measurements;
    std::vector<TJudgement> Judgements; // empty when the run had no limits
};

inline const char* VerdictName(TRunVerdict v)
{
    switch (v) {
    case TRunVerdict::Passed: return "passed";
    case TRunVerdict::Aborted: return "aborted";
    case TRunVerdict::Untested: return "untested";
    case TRunVerdict::Failed: break;
    }
    return "failed";
}

} // namespace tolvek
