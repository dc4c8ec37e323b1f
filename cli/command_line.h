// The program's command-line modes: one test run without the window, the archive's
// queries, the line view's server, help and version.
// main() asks WantsCommandLine first, so these modes never create a QApplication and
// need no display.
#pragma once

class QCommandLineParser;
class QString;

namespace tolvek::cli {

// Exit statuses of the command-line modes.
enum TExitStatus {
    kExitPassed = 0,
    kExitFailed = 1,   // failed checks or a failed step
    kExitAborted = 2,  // SIGINT or SIGTERM
    kExitUntested = 3, // the station could not test the unit (no ICMP echo allowed)
    kExitUsage = 64,
    kExitNoDisplay = 69, // the window without a display
    kExitNoRecord = 74,  // the run record was not kept where it was asked to be
};

// The bound of a whole --run unless --max-time says otherwise: a slow good unit takes a
// minute at most.
constexpr int kDefaultMaxSeconds = 600;

// True when there are arguments: they name a command-line mode or are bad usage.
bool WantsCommandLine(int argc, char** argv);

// Without a display the window cannot start: says so and names --run (Qt would abort).
bool WindowHasNoDisplay();

// Parses the arguments, runs the one mode they name and returns the exit status.
int CommandLineMain(int argc, char** argv);

// The modes; each gets the parsed arguments.
int RunMode(const QCommandLineParser& args);
int ArchiveMode(const QCommandLineParser& args);
int LineSchemaMode(const QCommandLineParser& args);
int ServeMode(const QCommandLineParser& args);

// A bad argument found by a mode: the reason and the usage on standard error.
int UsageError(const QString& reason);

// First thing in the program: when the arguments ask for --run, a stop signal from now on
// is the run's abort (the run ends aborted, with its record), not the end of the program.
void CatchStopEarly(int argc, char** argv);

// SIGINT and SIGTERM call handler, installed with the given sigaction flags; SIGPIPE is
// ignored, so a reader that went away is a failed write, not the end of the program.
void HandleStopSignals(void (*handler)(int), int flags);

} // namespace tolvek::cli
