#include "app/main_window.h"

// "Распечатать": prints the result label. Not built yet: nothing is printed.
void TForm1::BitBtn2Click() {}
