#include "app/window_program.h"

#include "app/seams.h"
#include "cli/command_line.h"
#include "net/block_socket.h"
#include "net/ping_client.h"

int RunWindowProgram(int& argc, char** argv, const std::function<std::unique_ptr<QWidget>()>& open)
{
    if (tolvek::cli::WindowHasNoDisplay())
        return tolvek::cli::kExitNoDisplay;
    TStationApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tolvek"));
    QApplication::setApplicationDisplayName(StationTitle());
    // The socket layer starts before anything can reach the unit; without it the station
    // is of no use, so the program stops.
    if (!LoadSocketLibrary()) {
        StationMessage(QStringLiteral("Error loading Socket interface (ws2_32.dll)!"));
        return 1;
    }
    LoadEchoService();
    int rc = 0;
    {
        const std::unique_ptr<QWidget> window = open();
        rc = app.exec();
    }
    UnloadEchoService();
    UnloadSocketLibrary();
    return rc;
}
