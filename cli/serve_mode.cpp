#include "archive/archive_command.h"
#include "archive/line_database.h"
#include "cli/command_line.h"
#include "serve/view_server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvek::cli {
namespace {

int gStopPipe[2] = {-1, -1};

// A signal handler may do next to nothing: it writes a byte that the event loop reads
// to stop the server as any other event, between two requests.
void OnStopSignal(int)
{
    const char byte = 0;
    [[maybe_unused]] const auto written = write(gStopPipe[1], &byte, 1);
}

void QuitOnStopSignals()
{
    // Without the pipe the signals keep their default action: they end the program.
    if (pipe(gStopPipe) != 0)
        return;
    auto* notifier =
            new QSocketNotifier(gStopPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(),
                     &QCoreApplication::quit);
    HandleStopSignals(OnStopSignal, SA_RESTART);
}

// HOST:PORT, HOST an IPv4 or [IPv6] address; false when the text is no such thing.
bool ParseListen(const QString& text, QHostAddress& address, quint16& port)
{
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    port = static_cast<quint16>(number);
    return colon > 0 && ok && number <= 65535 && address.setAddress(host);
}

// The archive file's identity: it changes when another file is renamed over it.
QString FileIdentity(const QString& path)
{
    struct stat st
    {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino);
}

// Where the view reads, opened once now so that a wrong path or login is said at start.
std::optional<TViewSource> ViewSource(const QCommandLineParser& args)
{
    TViewSource source;
    if (!args.isSet(QStringLiteral("line"))) {
        const QString path = ArchivePathOption(args);
        source.Open = [path] { return TLineView::OpenArchive(path); };
        source.Identity = [path] { return FileIdentity(path); };
        source.Name = QStringLiteral("the archive ") + path;
    } else {
        const QString uri = ConfiguredLineUri();
        if (uri.isEmpty())
            throw std::runtime_error("no line database is set (TOLVEK_LINE_DATABASE or "
                                     "[Line] Database in the station's settings)");
        QString error;
        const auto target = ParseLineUri(uri, error);
        if (!target)
            throw std::runtime_error(error.toStdString());
        source.Open = [uri] { return TLineView::OpenLine(uri); };
        source.Name = target->Describe();
    }
    source.Open();
    return source;
}

// HTTPS and logins as the options ask; beyond loopback both are required unless --insecure.
bool SetUpAccess(const QCommandLineParser& args, const QHostAddress& address, TViewServer& server,
                 int& exitCode)
{
    const QString cert = args.value(QStringLiteral("tls-cert")),
                  key = args.value(QStringLiteral("tls-key")),
                  passwords = args.value(QStringLiteral("passwords"));
    if (cert.isEmpty() != key.isEmpty()) {
        exitCode = UsageError(QStringLiteral("--tls-cert and --tls-key go together"));
        return false;
    }
    const bool loopback = address.isLoopback();
    if (!loopback && (cert.isEmpty() || passwords.isEmpty())
        && !args.isSet(QStringLiteral("insecure"))) {
        exitCode = UsageError(
                QStringLiteral("%1 is reachable from other machines: give --tls-cert, --tls-key "
                               "and --passwords (or --insecure to serve it open)")
                        .arg(address.toString()));
        return false;
    }
    QString error;
    if (!cert.isEmpty()) {
        auto tls = LoadTls(cert, key, error);
        if (!tls) {
            std::fprintf(stderr, "tolvek: %s\n", error.toLocal8Bit().constData());
            exitCode = kExitFailed;
            return false;
        }
        server.SetTls(*tls);
    }
    if (!passwords.isEmpty()) {
        auto access = TViewAccess::Load(passwords, error);
        if (!access) {
            std::fprintf(stderr, "tolvek: %s\n", error.toLocal8Bit().constData());
            exitCode = kExitFailed;
            return false;
        }
        server.SetAccess(std::move(*access));
    }
    return true;
}

} // namespace

// The line view in a browser, read-only, until SIGINT or SIGTERM.
int ServeMode(const QCommandLineParser& args)
{
    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = kDefaultServePort;
    if (args.isSet(QStringLiteral("listen"))
        && !ParseListen(args.value(QStringLiteral("listen")), address, port))
        return UsageError(QStringLiteral("--listen needs HOST:PORT, e.g. 127.0.0.1:%1")
                                  .arg(kDefaultServePort));
    if (args.isSet(QStringLiteral("line")) && args.isSet(QStringLiteral("archive")))
        return UsageError(QStringLiteral("--line and --archive do not go together"));

    std::optional<TViewSource> source;
    try {
        source = ViewSource(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tolvek: %s\n", e.what());
        return kExitFailed;
    }
    TViewServer server(std::move(*source));
    int exitCode = kExitPassed;
    if (!SetUpAccess(args, address, server, exitCode))
        return exitCode;
    QString error;
    port = server.Listen(address, port, error);
    if (port == 0) {
        std::fprintf(stderr, "tolvek: cannot listen on %s: %s\n",
                     address.toString().toLocal8Bit().constData(), error.toLocal8Bit().constData());
        return kExitFailed;
    }
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                                 : address.toString();
    std::printf("tolvek: serving the line view on %s://%s:%u/\n",
                args.isSet(QStringLiteral("tls-cert")) ? "https" : "http",
                host.toLocal8Bit().constData(), port);
    std::fflush(stdout);
    QuitOnStopSignals();
    QCoreApplication::exec();
    return kExitPassed;
}

} // namespace tolvek::cli
