#pragma once
// Points where the station meets the outside world (clock, modal boxes, print dialog,
// printer). Each has a hook that tests set; in the program the hooks stay empty.
#include <QApplication>
#include <QDateTime>
#include <QString>
#include <exception>
#include <functional>

class QPrinter;
class QWidget;

// Application title: window caption, task bar name and caption of every message box.
QString StationTitle();

// Local date and time as the station sees it.
QDateTime StationNow();
extern std::function<QDateTime()> StationNowHook;

// Modal box centred on the screen, station title, the text, OK, no icon.
void StationMessage(const QString& text);
extern std::function<void(const QString&)> StationMessageHook;

// Modal box with an error icon for errors no handler caught; adds a full stop when the
// last character sorts after ".".
void GeneralErrorBox(const QString& text);
extern std::function<void(const QString&)> GeneralErrorBoxHook;
QString GeneralErrorText(const QString& text);

// The print dialog with the station's options on StationPrinter(). On confirm the chosen
// printer and its settings stay in StationPrinter() and copies holds the chosen count.
struct PrintDialogOutcome
{
    bool accepted = false;
    int copies = 0;
};
PrintDialogOutcome StationPrintDialog(QWidget* parent);
extern std::function<PrintDialogOutcome(QPrinter&)> StationPrintDialogHook;

// The one printer of the program run; tests point it at a PDF file.
QPrinter& StationPrinter();

// Handler bodies run through this: an exception must not leave a Qt slot, so its text goes
// to the general error box and the event loop carries on.
void ReportUnhandled(const std::exception& e);
void ReportUnhandledUnknown();

template<class F>
void GuardHandler(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        ReportUnhandled(e);
    } catch (...) {
        ReportUnhandledUnknown();
    }
}

// The application object: an exception that leaves any event handler ends in the general
// error box, and the event loop carries on.
class TStationApplication : public QApplication
{
public:
    TStationApplication(int& argc, char** argv)
        : QApplication(argc, argv)
    {}
    bool notify(QObject* receiver, QEvent* event) override;
};
