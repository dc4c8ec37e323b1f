#include "archive/archive_command.h"
#include "archive/run_store.h"
#include "cli/command_line.h"

#include <QCommandLineParser>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace tolvek::cli {
namespace {

std::atomic<bool> gStop{false};

// SIGTERM (systemd stopping the forwarder) and SIGINT end --forward --follow after the
// batch under way: its runs are either on the server and marked, or sent again next time.
void OnStop(int)
{
    gStop.store(true);
}

} // namespace

// --history, --show, --export, --yield and --forward: the run archive's queries.
int ArchiveMode(const QCommandLineParser& args)
{
    QString error;
    const auto command = ArchiveCommandFromParser(args, error);
    if (!command)
        return UsageError(error);
    QTextStream out(stdout), err(stderr);
    if (command->Follow)
        HandleStopSignals(OnStop, 0);
    return RunArchiveCommand(*command, out, err, [] { return gStop.load(); });
}

int LineSchemaMode(const QCommandLineParser&)
{
    std::fputs(LineSchemaScript().toUtf8().constData(), stdout);
    return kExitPassed;
}

} // namespace tolvek::cli
