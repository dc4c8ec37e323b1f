#include "files/atomic_file.h"
#include "core/test_run.h"
#include "core/visible_text.h"
#include "archive/archive_command.h"
#include "archive/line_database.h"
#include "archive/run_record_json.h"
#include "settings/station_port.h"
#include "cli/command_line.h"
#include "net/block_socket.h"
#include "net/ping_client.h"
#include "net/run_stop.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <arpa/inet.h>

namespace tolvek::cli {
namespace {

std::atomic<bool> gStopAsked{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read and set from a signal handler");

// The first SIGINT or SIGTERM is the operator's "Прервать": the wait going on ends at once
// and the run ends aborted. The handlers then step aside: a second signal ends the program.
void OnStopSignal(int)
{
    gStopAsked.store(true);
    RaiseRunStop(); // wakes the wait that is going on
    struct sigaction fallback
    {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGINT, &fallback, nullptr);
    sigaction(SIGTERM, &fallback, nullptr);
}

void CatchStopSignals()
{
    // Once only: installed again after a first signal, the handler would swallow the second.
    static bool installed = false;
    if (std::exchange(installed, true))
        return;
    PrepareRunStop();
    // A reader that went away (tolvek --run ... | head) must not kill the run before its
    // record is written: SIGPIPE is ignored with them.
    HandleStopSignals(OnStopSignal, SA_RESTART);
    // Stops blocked by whoever started the program (one sent at its start waits so) are taken.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

// The run on a terminal or in a script: the journal on standard output as it grows, the
// failed step's message on standard error.
class TConsoleRunHost : public TRunHost
{
public:
    TConsoleRunHost(TRunOptions options, bool printJournal, int maxSeconds, TLimits limits)
        : options_(std::move(options))
        , print_(printJournal)
        , maxSeconds_(maxSeconds)
        , limits_(std::move(limits))
    {}

    void Begin() override {}
    TRunOptions Options() override { return options_; }
    bool AbortRequested() override { return gStopAsked.load(); }
    int MaxSeconds() override { return maxSeconds_; }
    TLimits Limits() override { return limits_; }
    TStationTime Now() override { return LocalTimeNow(); }
    void ReportLine(const std::string&) override {}
    std::string Serial(const std::string& serial) override { return serial; }
    void Status(TRunStatus) override {}
    void ProcessEvents() override {}

    void Journal(const std::string& line) override
    {
        if (!print_)
            return;
        const std::string shown = VisibleText(line);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    void End(const TRunRecord& record) override
    {
        if (!record.Message)
            return;
        // The station's own messages may run over several lines.
        for (size_t start = 0; start <= record.Message->size();) {
            const size_t end = std::min(record.Message->find('\n', start), record.Message->size());
            std::fprintf(stderr, "%s\n",
                         VisibleText(record.Message->substr(start, end - start)).c_str());
            start = end + 1;
        }
    }

private:
    TRunOptions options_;
    bool print_;
    int maxSeconds_;
    TLimits limits_;
};

void WriteStandardOutput(const QByteArray& text)
{
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw std::runtime_error("cannot write the run record to standard output");
}

int ExitStatus(TRunVerdict verdict)
{
    switch (verdict) {
    case TRunVerdict::Passed: return kExitPassed;
    case TRunVerdict::Aborted: return kExitAborted;
    case TRunVerdict::Untested: return kExitUntested;
    case TRunVerdict::Failed: break;
    }
    return kExitFailed;
}

// A forwarding thread still waiting on a hanging line server must not see static
// destructors run under it: the program ends at once. Its runs stay marked unsent.
int Finish(const TKeepOutcome& kept, int status)
{
    if (kept.LeftBehind) {
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}

// A numeric IPv4 (dotted decimal) or IPv6 address, or a host name; the name is looked up
// in the run. A blank, a port, a number out of range or one of the resolver's other numeric
// forms (0x7f.1, 127.1) is the script's mistake: refused before the unit is contacted.
bool IsUnitAddress(const std::string& address)
{
    in6_addr numeric{};
    if (inet_pton(AF_INET, address.c_str(), &numeric) == 1
        || inet_pton(AF_INET6, address.c_str(), &numeric) == 1)
        return true;
    in_addr other{};
    if (address.empty() || address.size() > 253 || inet_aton(address.c_str(), &other) != 0)
        return false;
    // A top-level label is never all digits: such a name is a mistyped number.
    const std::string last = address.substr(address.rfind('.') + 1);
    if (last.find_first_not_of("0123456789") == std::string::npos)
        return false;
    for (size_t start = 0; start <= address.size();) {
        const size_t end = std::min(address.find('.', start), address.size());
        const std::string label = address.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-'
            || label.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789-")
                       != std::string::npos)
            return false;
        start = end + 1;
    }
    return true;
}

// The limits file of --limits: a file that cannot be read or has a bad line is the
// script's mistake, found before the unit is contacted. Empty `error` when it is good.
TLimits ReadLimitsFile(const QString& path, QString& error)
{
    // A limits file is a few lines; a bigger one is not one.
    constexpr qint64 kMaxLimitsFile = qint64{64} * 1024;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read the limits file %1: %2").arg(path, file.errorString());
        return {};
    }
    const QByteArray text = file.read(kMaxLimitsFile + 1);
    if (text.size() > kMaxLimitsFile) {
        error = QStringLiteral("the limits file %1 is larger than 64 KiB").arg(path);
        return {};
    }
    auto parsed = ParseLimits(std::string_view(text.constData(), size_t(text.size())),
                              path.toStdString());
    error = QString::fromStdString(parsed.Error);
    return std::move(parsed.Limits);
}

} // namespace

void CatchStopEarly(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (const std::string_view arg(argv[i]); arg == "--run" || arg.starts_with("--run="))
            return CatchStopSignals();
}

// One test run without the window. The options start from the window's design values,
// never from the operator's stored settings, so a script does the same on every bench.
int RunMode(const QCommandLineParser& args)
{
    TRunOptions options;
    options.Address = args.value(QStringLiteral("run")).toStdString();
    options.SetClock = !args.isSet(QStringLiteral("no-set-clock"));
    options.Ethernet = !args.isSet(QStringLiteral("no-ethernet"));
    options.Tamper = args.isSet(QStringLiteral("tamper"));
    options.Vac = args.isSet(QStringLiteral("vac"));
    if (options.Address.empty())
        return UsageError(QStringLiteral("--run needs the unit's address"));
    if (!IsUnitAddress(options.Address))
        return UsageError(QStringLiteral("not an address: \"%1\"")
                                  .arg(QString::fromStdString(VisibleText(options.Address))));
    // A bench's own unit port comes from its settings; a rack names each slot's port.
    const bool portGiven = args.isSet(QStringLiteral("interface"));
    options.Interface = (portGiven ? args.value(QStringLiteral("interface"))
                                   : ConfiguredStationPort(StationSettingsFile()))
                                .toStdString();
    if (portGiven && options.Interface.empty())
        return UsageError(QStringLiteral("--interface needs the name of a network port"));
    bool numeric = false;
    const int maxSeconds = args.value(QStringLiteral("max-time")).toInt(&numeric);
    if (args.isSet(QStringLiteral("max-time")) && (!numeric || maxSeconds < 0))
        return UsageError(QStringLiteral("--max-time needs a whole number of seconds, 0 for none"));
    TLimits limits;
    if (args.isSet(QStringLiteral("limits"))) {
        QString error;
        limits = ReadLimitsFile(args.value(QStringLiteral("limits")), error);
        if (!error.isEmpty())
            return UsageError(error);
    }
    const bool json = args.isSet(QStringLiteral("json"));
    const QString jsonPath = args.value(QStringLiteral("json"));
    const bool jsonToStdout = jsonPath == QLatin1String("-");
    if (json && jsonPath.isEmpty())
        return UsageError(QStringLiteral("--json needs a path, or - for standard output"));

    // Taken before the run moves to its own folder.
    const std::string recordPath =
            QFile::encodeName(QFileInfo(jsonPath).absoluteFilePath()).toStdString();
    try {
        if (json && !jsonToStdout)
            CheckWritable(recordPath);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tolvek: %s\n", e.what());
        return kExitNoRecord;
    }
    if (!LoadSocketLibrary()) {
        std::fprintf(stderr, "Error loading Socket interface (ws2_32.dll)!\n");
        return kExitFailed;
    }
    LoadEchoService();
    CatchStopSignals();

    // The transfer test's pattern file goes to a folder of this run alone: runs of a rack
    // side by side would otherwise delete each other's file, and the rack's folder stays clean.
    const QString oldFolder = QDir::currentPath();
    QTemporaryDir runFolder;
    if (runFolder.isValid())
        QDir::setCurrent(runFolder.path());
    TConsoleRunHost host(options, !args.isSet(QStringLiteral("quiet")) && !jsonToStdout,
                         args.isSet(QStringLiteral("max-time")) ? maxSeconds : kDefaultMaxSeconds,
                         std::move(limits));
    TRunRecord record = ExecuteTestRun(host);
    QDir::setCurrent(oldFolder);
    UnloadEchoService();
    UnloadSocketLibrary();

    // Kept (and stamped with its id, station and version) before the outcome is reported. A
    // run kept neither in the archive nor in its pending folder is lost: a rack must notice.
    const auto kept = KeepRun(record, ArchivePathOption(args));
    const int status = kept.Kept ? ExitStatus(record.Verdict) : kExitNoRecord;
    for (const QString& message : kept.Messages)
        std::fprintf(stderr, "tolvek: %s\n", message.toLocal8Bit().constData());
    if (json) {
        const QByteArray text = QJsonDocument(RunRecordToJson(record)).toJson();
        try {
            if (jsonToStdout)
                WriteStandardOutput(text);
            else
                WriteFileAtomically(recordPath, text.toStdString());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tolvek: %s\n", e.what());
            return Finish(kept, kExitNoRecord);
        }
    }
    return Finish(kept, status);
}

} // namespace tolvek::cli
