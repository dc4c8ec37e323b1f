#include <QApplication>

#include "app/main_window.h"
#include "app/seams.h"
#include "app/self_press.h"
#include "cli/command_line.h"
#include "net/block_socket.h"
#include "net/ping_client.h"

int main(int argc, char** argv)
{
    tolvek::cli::CatchStopEarly(argc, argv);
    // Before anything reads the environment or loads a plugin.
    ReserveRawEchoSockets();
    // A run from a script needs no display: no QApplication, no platform plugin.
    if (tolvek::cli::WantsCommandLine(argc, argv))
        return tolvek::cli::CommandLineMain(argc, argv);
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
        TForm1 form;
        form.show();
        // Set by the demo without a screen and by the installed-package check.
        if (qEnvironmentVariableIsSet("TOLVEK_DEMO_PICTURE"))
            PressTestOnce(form, qEnvironmentVariable("TOLVEK_DEMO_PICTURE"));
        rc = app.exec();
    }
    UnloadEchoService();
    UnloadSocketLibrary();
    return rc;
}
