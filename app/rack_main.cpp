#include "app/rack_window.h"

#include "app/window_program.h"
#include "cli/command_line.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>

#include <cstdio>
#include <cstring>

namespace {

// Exit statuses of a rack file that cannot be used (sysexits' data error and no input).
constexpr int kExitBadRackFile = 65;
constexpr int kExitNoRackFile = 66;

// Beside the station's stored settings (tolvek.ini).
QString DefaultRackFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/rack.ini");
}

int RackUsage(const char* reason)
{
    std::fprintf(stderr, "tolvek: %s\nUsage: tolvek --rack [FILE]   (default FILE: %s)\n", reason,
                 QFile::encodeName(DefaultRackFile()).constData());
    return tolvek::cli::kExitUsage;
}

} // namespace

bool WantsRackWindow(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--rack") == 0)
            return true;
    return false;
}

int RackMain(int argc, char** argv)
{
    if (std::strcmp(argv[1], "--rack") != 0 || argc > 3
        || (argc == 3 && std::strncmp(argv[2], "-", 1) == 0))
        return RackUsage("--rack takes one rack file and no other option");
    const QString path = argc == 3 ? QFile::decodeName(argv[2]) : DefaultRackFile();
    const QByteArray shownPath = QFile::encodeName(path);
    // The file is read whole and judged before any window (or display) is needed.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "tolvek: cannot read the rack file %s: %s\n", shownPath.constData(),
                     file.errorString().toLocal8Bit().constData());
        return kExitNoRackFile;
    }
    const QByteArray text = file.read(tolvek::kMaxRackFileBytes + 1);
    const tolvek::TRackFileResult rack = tolvek::ParseRackFile(text.toStdString());
    if (!rack.Rack) {
        std::fprintf(stderr, "tolvek: %s: %s\n", shownPath.constData(), rack.Error.c_str());
        return kExitBadRackFile;
    }
    return RunWindowProgram(argc, argv, [&] {
        auto window =
                std::make_unique<TRackWindow>(*rack.Rack, QCoreApplication::applicationFilePath());
        window->show();
        return window;
    });
}
