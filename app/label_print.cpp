#include <QCheckBox>
#include <QLineEdit>
#include <QPrinter>

#include "app/controls.h"
#include "app/label_layout.h"
#include "app/main_window.h"
#include "app/seams.h"

// "Распечатать": the result label of the unit just tested.
void TForm1::BitBtn2Click()
{
    LabelData data;
    data.printTime = StationNow();
    // An empty field becomes the default serial and stays so, also if printing is cancelled.
    if (LabeledEdit2->text().isEmpty())
        LabeledEdit2->setText(kDefaultSerial);
    data.serial = LabeledEdit2->text();
    data.surname = Name->text();
    data.ip = LabeledEdit1->text();
    data.runResultState = runResultState();

    try {
        if (!printSetupDone()) {
            const PrintDialogOutcome outcome = StationPrintDialog(this);
            if (!outcome.accepted)
                return;
            setPrintCopies(outcome.copies);
        }
        setPrintSetupDone(true);
        PrintLabel(StationPrinter(), data, CheckBox5->isChecked(), printCopies());
    } catch (const std::exception& e) {
        StationMessage(QStringLiteral("не могу распечатать:") + QString::fromUtf8(e.what()));
    }
}
