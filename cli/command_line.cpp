#include "cli/command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tolvek::cli {
namespace {

const char kSynopsis[] =
        "Usage: tolvek                 the station window\n"
        "       tolvek --run ADDRESS [--no-set-clock] [--no-ethernet] [--tamper] "
        "[--vac] [--json PATH|-] [--quiet]\n"
        "                     [--interface PORT] [--events] [--max-time SECONDS] [--limits PATH]\n"
        "                     [--archive PATH]\n"
        "       tolvek --history [SERIAL] | --export json|csv | --yield [--by slot|measurement]  "
        "[--since "
        "DAY] [--until DAY] [--line] [--archive PATH]\n"
        "       tolvek --show RUN_ID | --forward [--status|--follow]  [--archive PATH]\n"
        "       tolvek --serve [--listen HOST:PORT] [--archive PATH | --line]\n"
        "                      [--tls-cert FILE --tls-key FILE] [--passwords FILE] [--insecure]\n"
        "       tolvek --rack [FILE]   the rack window: one run per slot of FILE\n"
        "       tolvek --line-schema | --help | --version\n";

// A mode is chosen by its option; exactly one is given. A new mode is one more entry
// here and in the synopsis, its own options go to kModeOptions.
struct TMode
{
    const char* shortName; // may be null
    const char* name;
    const char* valueName; // null for a switch
    const char* description;
    int (*run)(const QCommandLineParser&);
};

// An option that goes only with the modes it names.
struct TModeOption
{
    const char* name;
    const char* valueName;
    const char* description;
    std::vector<std::string_view> modes;
};

QString UsageText();

int HelpMode(const QCommandLineParser&)
{
    std::fputs(UsageText().toLocal8Bit().constData(), stdout);
    return kExitPassed;
}

int VersionMode(const QCommandLineParser&)
{
    std::printf("tolvek %s\n", TOLVEK_VERSION);
    return kExitPassed;
}

const TMode kModes[] = {
        {nullptr, "run", "ADDRESS", "Test the unit at ADDRESS without the window.", RunMode},
        {nullptr, "history", nullptr,
         "List the archived runs, newest first (all, or those of SERIAL).", ArchiveMode},
        {nullptr, "show", "RUN_ID", "Print an archived run's journal and raw report.", ArchiveMode},
        {nullptr, "export", "json|csv",
         "Write the archived runs to standard output as JSON Lines or CSV.", ArchiveMode},
        {nullptr, "yield", nullptr,
         "Print runs, passed, failed, aborted and first-pass yield per day.", ArchiveMode},
        {nullptr, "forward", nullptr, "Send the runs the line database has not received yet.",
         ArchiveMode},
        {nullptr, "line-schema", nullptr,
         "Print the line database's tables, roles and grants as SQL for its DBA.", LineSchemaMode},
        {nullptr, "serve", nullptr,
         "Serve the line view to browsers until SIGINT or SIGTERM (read-only).", ServeMode},
        {"h", "help", nullptr, "Show this help.", HelpMode},
        {"v", "version", nullptr, "Show the program version.", VersionMode},
};

const TModeOption kModeOptions[] = {
        {"no-set-clock", nullptr, "Do not set the unit's clock.", {"run"}},
        {"no-ethernet", nullptr, "Leave out the Ethernet file-transfer test.", {"run"}},
        {"tamper", nullptr, "TAMPER failures count.", {"run"}},
        {"vac", nullptr, "AC voltage failures count.", {"run"}},
        {"json",
         "PATH",
         "Write the run record as JSON to PATH, or to standard output with -.",
         {"run"}},
        {"quiet", nullptr, "Print nothing but the message of a failed step.", {"run"}},
        {"events",
         nullptr,
         "Print the run as JSON events, one a line, ending with the verdict and the record.",
         {"run"}},
        {"interface",
         "PORT",
         "Go through the network port PORT only (the fixture slot's; default: [Network] "
         "Interface in the settings file, else any).",
         {"run"}},
        {"max-time",
         "SECONDS",
         "End the run as failed after SECONDS (default 600, 0 for no bound).",
         {"run"}},
        {"limits",
         "PATH",
         "Judge the run's measurements by the limits in PATH (a [Limits] section).",
         {"run"}},
        {"since",
         "DAY",
         "Only runs started on or after DAY (yyyy-mm-dd).",
         {"history", "export", "yield"}},
        {"until",
         "DAY",
         "Only runs started on or before DAY (yyyy-mm-dd).",
         {"history", "export", "yield"}},
        {"line",
         nullptr,
         "Ask the line database instead of the bench's run archive.",
         {"history", "export", "yield", "serve"}},
        {"by",
         "slot|measurement",
         "With --yield, instead of the day table: slot, per bench and slot (network port) with "
         "its failing checks; measurement, per measurement, bench and ISO week the mean, "
         "standard deviation and Cpk, then histograms per bench and slot.",
         {"yield"}},
        {"listen", "HOST:PORT", "Where --serve listens (default 127.0.0.1:8470).", {"serve"}},
        {"tls-cert", "FILE", "Serve HTTPS with this PEM certificate (chain).", {"serve"}},
        {"tls-key", "FILE", "The PEM private key of --tls-cert.", {"serve"}},
        {"passwords",
         "FILE",
         "Admit only the logins of FILE (NAME:HASH lines, crypt(3) hashes).",
         {"serve"}},
        {"insecure",
         nullptr,
         "Serve beyond loopback without HTTPS and logins all the same.",
         {"serve"}},
        {"status",
         nullptr,
         "With --forward: print the unsent runs, the oldest one's age and the last error.",
         {"forward"}},
        {"follow",
         nullptr,
         "With --forward: keep sending new runs as they are archived, until SIGTERM or SIGINT.",
         {"forward"}},
        {"archive",
         "PATH",
         "The bench's run archive (default ~/.local/share/tolvek/runs.sqlite).",
         {"run", "history", "show", "export", "yield", "forward", "serve"}},
};

QCommandLineOption MakeOption(const char* shortName, const char* name, const char* valueName,
                              const char* description)
{
    QStringList names;
    if (shortName)
        names << QLatin1String(shortName);
    names << QLatin1String(name);
    return valueName ? QCommandLineOption(names, QString::fromUtf8(description),
                                          QLatin1String(valueName))
                     : QCommandLineOption(names, QString::fromUtf8(description));
}

void SetUp(QCommandLineParser& parser)
{
    for (const TMode& m : kModes)
        parser.addOption(MakeOption(m.shortName, m.name, m.valueName, m.description));
    for (const TModeOption& o : kModeOptions)
        parser.addOption(MakeOption(nullptr, o.name, o.valueName, o.description));
}

QString UsageText()
{
    QCommandLineParser parser;
    SetUp(parser);
    const QString help = parser.helpText();
    return QString::fromUtf8(kSynopsis) + QLatin1Char('\n')
           + help.mid(help.indexOf(QLatin1String("Options:")));
}

} // namespace

void HandleStopSignals(void (*handler)(int), int flags)
{
    struct sigaction sa
    {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = flags;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int UsageError(const QString& reason)
{
    std::fprintf(stderr, "tolvek: %s\n\n%s", reason.toLocal8Bit().constData(),
                 UsageText().toLocal8Bit().constData());
    return kExitUsage;
}

bool WantsCommandLine(int argc, char**)
{
    // The window takes no arguments: anything given is a mode, or bad usage said as such.
    return argc > 1;
}

bool WindowHasNoDisplay()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    const bool needsServer =
            platform.isEmpty() || platform.startsWith("xcb") || platform.startsWith("wayland");
    if (!needsServer || qEnvironmentVariableIsSet("DISPLAY")
        || qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
        return false;
    std::fputs("tolvek: the station window needs a display (none is set); without one, test a "
               "unit with tolvek --run ADDRESS (see tolvek --help)\n",
               stderr);
    return true;
}

int CommandLineMain(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tolvek"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TOLVEK_VERSION));
    QCommandLineParser parser;
    SetUp(parser);
    if (!parser.parse(QCoreApplication::arguments()))
        return UsageError(parser.errorText());
    const TMode* chosen = nullptr;
    for (const TMode& m : kModes) {
        if (!parser.isSet(QLatin1String(m.name)))
            continue;
        if (chosen)
            return UsageError(QStringLiteral("--%1 and --%2 do not go together")
                                      .arg(QLatin1String(chosen->name), QLatin1String(m.name)));
        chosen = &m;
    }
    if (!chosen)
        return UsageError(QStringLiteral("no mode given"));
    // Only --history takes an argument of its own: the serial number.
    const QStringList extra =
            parser.positionalArguments().mid(chosen->name == std::string_view("history") ? 1 : 0);
    if (!extra.isEmpty())
        return UsageError(QStringLiteral("unexpected argument: ") + extra.first());
    for (const TModeOption& o : kModeOptions) {
        if (!parser.isSet(QLatin1String(o.name))
            || std::ranges::find(o.modes, chosen->name) != o.modes.end())
            continue;
        QStringList modes;
        for (std::string_view m : o.modes)
            modes << QStringLiteral("--") + QLatin1String(m);
        return UsageError(QStringLiteral("--%1 goes only with %2")
                                  .arg(QLatin1String(o.name), modes.join(QStringLiteral(" or "))));
    }
    return chosen->run(parser);
}

} // namespace tolvek::cli
