#include "cli/run_events.h"

#include "archive/run_record_json.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <thread>

#include <poll.h>

namespace tolvek::cli {
namespace {

// One object, one line, flushed at once: a reader acts on each line as it comes. A failed
// write (the reader went away) is not the run's business.
void Emit(const QJsonObject& event)
{
    const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

QString Text(const std::string& text)
{
    return QString::fromStdString(text);
}

} // namespace

void TRunEvents::StepStarted(const std::string& name)
{
    Emit({{"event", "step-started"}, {"step", Text(name)}});
}

void TRunEvents::StepEnded(const TStepRecord& step)
{
    Emit({{"event", "step-ended"},
          {"step", Text(step.Name)},
          {"ms", static_cast<double>(step.Milliseconds)},
          {"passed", step.Passed}});
}

void TRunEvents::Journal(const std::string& line)
{
    Emit({{"event", "journal"}, {"line", Text(line)}});
}

void TRunEvents::Serial(const std::string& serial)
{
    if (!serial.empty())
        Emit({{"event", "serial"}, {"serial", Text(serial)}});
}

void TRunEvents::Verdict(const TRunRecord& record)
{
    Emit({{"event", "verdict"},
          {"verdict", QLatin1String(VerdictName(record.Verdict))},
          {"record", RunRecordToJson(record)}});
}

void StopWhenEventReaderGoes(void (*stop)())
{
    // A pipe's writing end reports POLLERR once its last reader has closed; a file or a
    // terminal never does, so a run written to a file is left alone.
    std::thread([stop] {
        pollfd out{1, 0, 0};
        int ready = 0;
        while ((ready = ::poll(&out, 1, -1)) < 0 && errno == EINTR) {}
        if (ready > 0 && (out.revents & (POLLERR | POLLHUP)) != 0)
            stop();
    }).detach();
}

} // namespace tolvek::cli
