// A station that runs one test by itself, for the demo on a machine without a screen and for
// checks of an installed station: nobody is there to press the button or read the window.
#pragma once

#include <QString>

class TForm1;

// Once the event loop runs: presses "Тестировать", prints the journal and the outcome on the
// standard output, saves a picture of the window to `picture` and ends the event loop with
// 0 after a pass, 1 after a failure, 2 after an abort. Message boxes are printed instead of
// shown, since no one could close them.
void PressTestOnce(TForm1& form, const QString& picture);
