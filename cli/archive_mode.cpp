#include "archive/archive_command.h"
#include "archive/run_store.h"
#include "cli/command_line.h"

#include <QCommandLineParser>

#include <cstdio>

namespace tolvek::cli {

// --history, --show, --export, --yield and --forward: the run archive's queries.
int ArchiveMode(const QCommandLineParser& args)
{
    QString error;
    const auto command = ArchiveCommandFromParser(args, error);
    if (!command)
        return UsageError(error);
    QTextStream out(stdout), err(stderr);
    return RunArchiveCommand(*command, out, err);
}

int LineSchemaMode(const QCommandLineParser&)
{
    std::fputs(LineSchemaScript().toUtf8().constData(), stdout);
    return kExitPassed;
}

} // namespace tolvek::cli
