#include <QApplication>

#include "app/main_window.h"
#include "app/seams.h"

namespace {

// Start-up and clean-up of the socket library. Nothing to load on Linux; kept as the one
// place where a failed start stops the program with the message the operator knows.
bool SocketLibraryStartUp()
{
    return true;
}

void SocketLibraryCleanUp() {}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tolvek"));
    QApplication::setApplicationDisplayName(StationTitle());
    if (!SocketLibraryStartUp()) {
        StationMessage(QStringLiteral("Error loading Socket interface (ws2_32.dll)!"));
        return 1;
    }
    int rc = 0;
    {
        TForm1 form;
        form.show();
        rc = app.exec();
    }
    SocketLibraryCleanUp();
    return rc;
}
