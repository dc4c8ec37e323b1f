#include "app/main_window.h"

// "Сохранить результат": appends the result record. Not built yet: nothing is written
// and the button keeps its state, so no save is ever reported.
void TForm1::Button1Click() {}
