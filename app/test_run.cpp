#include "app/main_window.h"

// "Тестировать": the whole test run of one unit. Not built yet: the press does nothing,
// so no status, verdict or record is ever shown for a run that did not happen.
void TForm1::BitBtn1Click() {}
