#include "app/seams.h"

#include <QAbstractPrintDialog>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>

#include <memory>

std::function<QDateTime()> StationNowHook;
std::function<void(const QString&)> StationMessageHook;
std::function<void(const QString&)> GeneralErrorBoxHook;
std::function<PrintDialogOutcome(QPrinter&)> StationPrintDialogHook;

QString StationTitle()
{
    return QStringLiteral("Тестирование ЦФН-ЛР");
}

QDateTime StationNow()
{
    if (StationNowHook)
        return StationNowHook();
    return QDateTime::currentDateTime();
}

void StationMessage(const QString& text)
{
    if (StationMessageHook) {
        StationMessageHook(text);
        return;
    }
    // No parent: the box is centred on the screen, not on the window.
    QMessageBox box(QMessageBox::NoIcon, StationTitle(), text, QMessageBox::Ok);
    box.exec();
}

QString GeneralErrorText(const QString& text)
{
    if (!text.isEmpty() && text.back() > QLatin1Char('.'))
        return text + QLatin1Char('.');
    return text;
}

void GeneralErrorBox(const QString& text)
{
    const QString shown = GeneralErrorText(text);
    if (GeneralErrorBoxHook) {
        GeneralErrorBoxHook(shown);
        return;
    }
    QMessageBox box(QMessageBox::Critical, StationTitle(), shown, QMessageBox::Ok);
    box.exec();
}

void ReportUnhandled(const std::exception& e)
{
    GeneralErrorBox(QString::fromUtf8(e.what()));
}

void ReportUnhandledUnknown()
{
    GeneralErrorBox(QStringLiteral("Unknown error"));
}

bool TStationApplication::notify(QObject* receiver, QEvent* event)
{
    bool handled = false;
    GuardHandler([&] { handled = QApplication::notify(receiver, event); });
    return handled;
}

namespace {
std::unique_ptr<QPrinter> g_printer;
}

QPrinter& StationPrinter()
{
    if (!g_printer) {
        g_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        // The printer must go before the application object it depends on.
        qAddPostRoutine([] { g_printer.reset(); });
    }
    return *g_printer;
}

PrintDialogOutcome StationPrintDialog(QWidget* parent)
{
    QPrinter& printer = StationPrinter();
    if (StationPrintDialogHook)
        return StationPrintDialogHook(printer);
    QPrintDialog dialog(&printer, parent);
    // Print-to-file offered; neither a page range, the current page nor a selection.
    // Copies and collation stay, as does the paper page (the driver settings).
    dialog.setOptions(QAbstractPrintDialog::PrintToFile | QAbstractPrintDialog::PrintShowPageSize
                      | QAbstractPrintDialog::PrintCollateCopies);
    PrintDialogOutcome outcome;
    outcome.accepted = dialog.exec() == QDialog::Accepted;
    if (outcome.accepted)
        outcome.copies = printer.copyCount();
    return outcome;
}
