// What the station window and the rack window share of the program's start and end.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>

// Runs a window program around `open`, which makes and shows its window: without a display
// kExitNoDisplay at once; else the application named, the socket layer (without it the
// station is of no use: a message and 1) and the echo service loaded before the window,
// the event loop run, and both unloaded once the window is gone. The loop's exit status.
int RunWindowProgram(int& argc, char** argv, const std::function<std::unique_ptr<QWidget>()>& open);
