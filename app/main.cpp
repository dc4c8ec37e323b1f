#include <QApplication>

#include "app/main_window.h"
#include "app/rack_window.h"
#include "app/self_press.h"
#include "app/window_program.h"
#include "cli/command_line.h"
#include "net/ping_client.h"

int main(int argc, char** argv)
{
    tolvek::cli::CatchStopEarly(argc, argv);
    // Before anything reads the environment or loads a plugin.
    ReserveRawEchoSockets();
    if (WantsRackWindow(argc, argv))
        return RackMain(argc, argv);
    // A run from a script needs no display: no QApplication, no platform plugin.
    if (tolvek::cli::WantsCommandLine(argc, argv))
        return tolvek::cli::CommandLineMain(argc, argv);
    return RunWindowProgram(argc, argv, [] {
        auto form = std::make_unique<TForm1>();
        form->show();
        // Set by the demo without a screen and by the installed-package check.
        if (qEnvironmentVariableIsSet("TOLVEK_DEMO_PICTURE"))
            PressTestOnce(*form, qEnvironmentVariable("TOLVEK_DEMO_PICTURE"));
        return form;
    });
}
