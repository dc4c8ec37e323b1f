// `tolvek --run … --events`: the run as a stream of JSON objects on standard output, one a
// line, for a front-end that follows many runs at once (the rack window, a fixture's panel).
// The README documents the stream; keys are added, never renamed or dropped.
#pragma once

#include "core/run_record.h"

#include <string>

namespace tolvek::cli {

class TRunEvents
{
public:
    // {"event":"step-started","step":NAME}
    void StepStarted(const std::string& name);
    // {"event":"step-ended","step":NAME,"ms":N,"passed":BOOL}
    void StepEnded(const TStepRecord& step);
    // {"event":"journal","line":TEXT}
    void Journal(const std::string& line);
    // {"event":"serial","serial":TEXT}, once the unit has named itself.
    void Serial(const std::string& serial);
    // {"event":"verdict","verdict":NAME,"record":RECORD}: the last line, RECORD as --json.
    void Verdict(const TRunRecord& record);
};

// The stream's reader going away (the window closed or killed) calls stop once, from a
// thread of its own: nobody is left to see the run, so it ends as if aborted.
void StopWhenEventReaderGoes(void (*stop)());

} // namespace tolvek::cli
