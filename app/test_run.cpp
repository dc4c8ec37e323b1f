#include "app/main_window.h"

#include "app/controls.h"
#include "settings/form_storage.h"
#include "core/test_run.h"
#include "app/seams.h"
#include "settings/form_storage.h"
#include "settings/station_port.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>

namespace {

QString Q(const std::string& utf8)
{
    return QString::fromStdString(utf8);
}

tolvek::TStationTime StationTime()
{
    const QDateTime now = StationNow();
    const QDate d = now.date();
    const QTime t = now.time();
    return {d.year(),   d.month(),           d.day(), t.hour(), t.minute(),
            t.second(), now.offsetFromUtc(), t.msec()};
}

// The run as the window shows it: every step reads the controls when it needs them, and
// the status operations process the window's events.
class TWindowRunHost : public tolvek::TRunHost
{
public:
    // The bench's unit port is read once a run: it has no control in the window.
    TWindowRunHost(TForm1& form, tolvek::TLimits limits)
        : form_(form)
        , limits_(std::move(limits))
        , port_(ConfiguredStationPort(form.FormStorage1->storeFileName()).toStdString())
    {}

    void Begin() override
    {
        form_.setAbortFlag(false);
        form_.BitBtn1->setEnabled(false);
        form_.BitBtn2->setEnabled(false);
        // A record must only ever be written for the unit that has just passed.
        form_.Button1->setEnabled(false);
        form_.ListBox1->clear();
        form_.ListBox2->clear();
    }

    tolvek::TRunOptions Options() override
    {
        return {form_.LabeledEdit1->text().toStdString(),
                form_.CheckBox1->isChecked(),
                form_.CheckBox2->isChecked(),
                form_.CheckBox3->isChecked(),
                form_.CheckBox4->isChecked(),
                port_};
    }

    bool AbortRequested() override { return form_.abortFlag(); }
    tolvek::TLimits Limits() override { return limits_; }
    tolvek::TStationTime Now() override { return StationTime(); }
    void Journal(const std::string& line) override { form_.JournalAppend(Q(line)); }
    void ReportLine(const std::string& line) override { form_.ListBox1->addItem(Q(line)); }

    std::string Serial(const std::string& serial) override
    {
        form_.LabeledEdit2->setText(Q(serial));
        return form_.LabeledEdit2->text().toStdString();
    }

    void Status(tolvek::TRunStatus status) override
    {
        switch (status) {
        case tolvek::TRunStatus::Testing: form_.ShowTesting(); break;
        case tolvek::TRunStatus::Passed: form_.ShowSuccess(); break;
        case tolvek::TRunStatus::Error: form_.ShowError(); break;
        case tolvek::TRunStatus::Aborted: form_.ShowAborted(); break;
        }
    }

    void ProcessEvents() override { form_.ProcessRunEvents(); }

    // The run is kept before the window is handed back; a failed write is one more
    // message and changes nothing of the run.
    void End(const tolvek::TRunRecord& record) override
    {
        const QString archiveMessage = form_.KeepRun(record);
        form_.BitBtn1->setEnabled(true);
        form_.BitBtn2->setEnabled(true);
        if (record.Message)
            StationMessage(Q(*record.Message));
        if (!archiveMessage.isEmpty())
            StationMessage(archiveMessage);
    }

private:
    TForm1& form_;
    tolvek::TLimits limits_;
    std::string port_;
};

// The [Limits] section of the station's settings file, read at each press so a line
// engineer's change counts from the next run. A file that cannot be read has none.
tolvek::TLimitsText StoredLimits(const QString& settingsFile)
{
    // The settings file is a few lines; past this it is not read for limits.
    constexpr qint64 kMaxSettingsFile = qint64{1024} * 1024;
    QFile file(settingsFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.read(kMaxSettingsFile);
    return tolvek::ParseLimits(std::string_view(text.constData(), size_t(text.size())),
                               QFileInfo(settingsFile).fileName().toStdString() + " [Limits]",
                               /*sectionOnly=*/true);
}

} // namespace

// "Тестировать": one complete test of one unit.
void TForm1::BitBtn1Click()
{
    GuardHandler([this] {
        auto limits = StoredLimits(FormStorage1->storeFileName());
        if (!limits.Error.empty()) {
            ShowLimitsRefused(Q(limits.Error));
            return;
        }
        TWindowRunHost host(*this, std::move(limits.Limits));
        // The host's End keeps the record, stamped with its id, in lastRun_.
        tolvek::ExecuteTestRun(host);
    });
}
