#include "app/main_window.h"

#include "app/controls.h"
#include "core/record.h"
#include "app/seams.h"

#include <QPushButton>

// "Сохранить результат": appends one record for the unit that just passed. The line goes
// to disk whole or not at all; only then is the button disabled, so a failed save can be
// retried. Failures reach the general error box.
void TForm1::Button1Click()
{
    GuardHandler([this] {
        const QString when = StationNow().toString(QStringLiteral("dd-MM-yyyy hh:mm:ss"));
        const std::string line = tolvek::RecordLine(
                when.toStdString(), LabeledEdit2->text().toStdString(), Name->text().toStdString());
        tolvek::AppendRecord(tolvek::kRecordFileName, tolvek::Utf8ToCp1251(line));
        Button1->setEnabled(false);
    });
}
