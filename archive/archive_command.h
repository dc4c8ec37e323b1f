// The archive's part of the command line: --history, --show, --export, --yield,
// --forward, with --archive PATH, --line, --since and --until.
#pragma once

#include "archive/run_store.h"

#include <QString>
#include <QTextStream>

#include <functional>
#include <optional>

class QCommandLineParser;

namespace tolvek {

struct TArchiveCommand
{
    enum class TKind { History, Show, Export, Yield, Forward };
    TKind Kind = TKind::History;
    QString RunId;              // --show
    QString Format;             // --export: "json" or "csv"
    TRunFilter Filter;          // serial (--history), --since, --until
    bool Line = false;          // query the line database instead of the bench's archive
    bool Status = false;        // --forward --status: what is unsent and the last error
    bool Follow = false;        // --forward --follow: keep forwarding until stopped
    bool BySlot = false;        // --yield --by slot: per bench and network port, not per day
    bool ByMeasurement = false; // --yield --by measurement: the measurements' figures
    QString ArchivePath;        // --archive, else the default
};

// The archive command the parsed line asks for (options history, show, export, yield,
// forward, since, until, line, archive, status, follow, by; the serial number of --history as the
// positional argument); nullopt when it asks for none, or when it is wrong, then with `error` set.
std::optional<TArchiveCommand> ArchiveCommandFromParser(const QCommandLineParser& parser,
                                                        QString& error);

// Runs it; the exit status (0 done, 1 failed or nothing found). `stop` ends --follow.
int RunArchiveCommand(const TArchiveCommand& command, QTextStream& out, QTextStream& err,
                      const std::function<bool()>& stop = {});

// The archive path --archive names, else the default.
QString ArchivePathOption(const QCommandLineParser& parser);

} // namespace tolvek
