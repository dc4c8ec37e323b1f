// One complete test of one unit, whoever drives it: the window or the command line.
// The run talks to its driver through TRunHost and fills a run record as it goes.
#pragma once

#include "core/limits.h"
#include "core/run_record.h"

#include <string>

namespace tolvek {

// Local date and time as the station's clock gives it, with its offset from UTC.
struct TStationTime
{
    int Year = 1970, Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0;
    int UtcOffsetSeconds = 0;
    int Millisecond = -1; // -1: not known, and not written
};

// The machine's local time now.
TStationTime LocalTimeNow();
// "08-12-2026 04:46:57": the journal's date line and the record file.
std::string JournalTime(const TStationTime& t);
// "120804462026": the argument of the unit's "date -s".
std::string UnitClockTime(const TStationTime& t);
// "2026-12-08T04:46:57+01:00", or "2026-12-08T04:46:57.250+01:00" with the millisecond, which
// orders two runs started within one second.
std::string IsoTime(const TStationTime& t);

enum class TRunStatus { Testing, Passed, Error, Aborted };

// What a run needs from its driver. Texts are UTF-8. Every call may throw; an exception
// inside the run takes its failure path with the exception's text as the message.
class TRunHost
{
public:
    virtual ~TRunHost() = default;
    // The run starts: the window clears its abort flag and the previous run's results; a
    // command-line run keeps a stop asked for before it began.
    virtual void Begin() = 0;
    // Options are read at each point of use, so a change during the run takes effect at
    // the next step that reads it.
    virtual TRunOptions Options() = 0;
    virtual bool AbortRequested() = 0;
    // The bound of the whole run in seconds, 0 for none: past it every wait ends and the run
    // fails as the unit's fault. The window has none; its operator can abort.
    virtual int MaxSeconds() { return 0; }
    // The limits the run's measurements are judged by once the report is complete; none by
    // default, and then the verdict is the run's own.
    virtual TLimits Limits() { return {}; }
    virtual TStationTime Now() = 0;
    virtual void Journal(const std::string& line) = 0;
    virtual void ReportLine(const std::string& line) = 0;
    // Shows the serial number; returns it as the station now holds it.
    virtual std::string Serial(const std::string& serial) = 0;
    // Testing, Passed, Error and Aborted are event-processing points of the run.
    virtual void Status(TRunStatus status) = 0;
    // The event-processing point after each report line.
    virtual void ProcessEvents() = 0;
    // The run is over and its record complete; message is the failed step's text.
    virtual void End(const TRunRecord& record) = 0;
};

// The unit's text kept in one record line: the first this many bytes, then a note of the rest.
constexpr size_t kMaxKeptLine = 1024;
// All of the unit's text one record keeps, journal and report together; past it the lines
// are counted, not kept. A real report is a few kilobytes.
constexpr size_t kMaxKeptText = 256 * 1024;

// Runs the whole procedure and returns its record (Id, Station and Version left empty).
TRunRecord ExecuteTestRun(TRunHost& host);

} // namespace tolvek
