#include "app/main_window.h"

#include "app/controls.h"
#include "app/core/echo_permission.h"
#include "app/core/record.h"
#include "app/core/report.h"
#include "app/seams.h"
#include "net/ping_client.h"
#include "net/telnet_client.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QPushButton>

#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>

namespace {

// Longest report line taken from the unit. A unit writing more without a line end is
// broken: the run ends instead of buffering without limit.
constexpr int kMaxReportLine = 64 * 1024;

const QString kTimeFormat = QStringLiteral("dd-MM-yyyy hh:mm:ss");

[[noreturn]] void Fail(const char* message) { throw std::runtime_error(message); }

// The unit writes ASCII; anything else is shown as the station's code page has it.
QString FromUnit(const std::string& bytes) { return QString::fromStdString(tolvek::Cp1251ToUtf8(bytes)); }

// One press of "Тестировать": the run's own state and its steps.
class TTestRun {
public:
    explicit TTestRun(TForm1& form) : form_(form) {}

    void Execute()
    {
        bool failed = false;
        QString message;
        try {
            Prepare();
            Steps();
        } catch (const std::exception& e) {
            failed = true;
            message = QString::fromUtf8(e.what());
        }
        CleanUp(failed, message);
    }

private:
    std::string Address() const { return form_.LabeledEdit1->text().toStdString(); }

    void Prepare()
    {
        form_.setAbortFlag(false);
        form_.BitBtn1->setEnabled(false);
        form_.BitBtn2->setEnabled(false);
        // A record must only ever be written for the unit that has just passed.
        form_.Button1->setEnabled(false);
        form_.ListBox1->clear();
        form_.ListBox2->clear();
        form_.JournalAppend(QStringLiteral("date: ") + StationNow().toString(kTimeFormat));
        form_.LabeledEdit2->setText(QString());
        failures_ = 0;
        form_.ShowTesting();
        telnet_ = std::make_unique<TTelnetSend>();
    }

    void Steps()
    {
        bool noEchoSocket = false;
        if (EchoRoundTrip(Address(), &noEchoSocket) == -1)
            throw std::runtime_error(noEchoSocket ? tolvek::NoEchoPermissionMessage() : "Блок не отвечает");
        if (form_.CheckBox2->isChecked())
            form_.EthernetTransferTest(failures_);
        if (form_.abortFlag())
            return;

        telnet_->TargetHost = Address();
        telnet_->TargetPort = "23";
        telnet_->Timeout = 1000;
        telnet_->Sock.MaxLineLength = kMaxReportLine;
        if (!telnet_->Login())
            Fail("Не могу подключиться к ЦФН-ЛР");
        // Short commands and negotiation answers go out at once instead of waiting for
        // the unit's delayed acknowledgement (40 ms per exchange on Linux).
        const int one = 1;
        ::setsockopt(telnet_->Sock.Socket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        form_.JournalAppend(QStringLiteral("IP:") + form_.LabeledEdit1->text());
        if (!telnet_->WaitForText("login:"))
            Fail("Нет приглашения 'login:'");
        telnet_->Send("root\n");
        if (!telnet_->WaitForText("$"))
            Fail("Нет приглашения '$'");
        if (form_.CheckBox1->isChecked()) {
            telnet_->Send("date -s " + StationNow().toString(QStringLiteral("MMddhhmmyyyy")).toStdString() + "\n");
            if (!telnet_->WaitForText("$"))
                Fail("Нет приглашения после вызова date");
            telnet_->Send("hwclock -w\n");
            if (!telnet_->WaitForText("$"))
                Fail("Нет приглашения после вызова hwclock");
        }
        telnet_->Send("tolvek\n");
        telnet_->Timeout = 5000;
        ReadReport();
    }

    void ReadReport()
    {
        for (;;) {
            if (form_.abortFlag())
                return;
            const std::string received = telnet_->ReadLine();
            // Silence only gives an empty line and the run waits on; a closed connection
            // or an endless line would otherwise spin here or eat memory.
            const int error = telnet_->Sock.LastError();
            if (error == WSAENOBUFS)
                Fail("ЦФН-ЛР прислал слишком длинную строку (нет конца строки)");
            if (error != 0 && error != WSAETIMEDOUT)
                Fail("Потеряна связь с ЦФН-ЛР");
            const std::string line = tolvek::StripEscapeSequences(received);
            form_.ListBox1->addItem(FromUnit(line));
            QCoreApplication::processEvents();

            const auto r = tolvek::EvaluateReportLine(line, form_.CheckBox3->isChecked(), form_.CheckBox4->isChecked());
            switch (r.kind) {
            case tolvek::TReportLineKind::Completion:
                telnet_->Send("exit\n");
                telnet_->Logout();
                if (failures_ > 0)
                    form_.ShowError();
                else
                    form_.ShowSuccess();
                return;
            case tolvek::TReportLineKind::Serial:
                form_.LabeledEdit2->setText(FromUnit(r.serial));
                form_.JournalAppend(QStringLiteral("serial number: ") + form_.LabeledEdit2->text());
                break;
            case tolvek::TReportLineKind::Failed:
                if (r.counted)
                    ++failures_;
                form_.JournalAppend(FromUnit(r.journal));
                break;
            case tolvek::TReportLineKind::Passed:
                form_.JournalAppend(FromUnit(r.journal));
                break;
            case tolvek::TReportLineKind::Strange:
                Fail("Странный ответ ЦФН-ЛР");
            case tolvek::TReportLineKind::Other:
                break;
            }
        }
    }

    // The buttons come back only after the final status has been shown (and its events
    // processed), so a click queued during a frozen wait cannot start a second run or a
    // print inside this one.
    void CleanUp(bool failed, const QString& message)
    {
        telnet_.reset();
        if (form_.abortFlag())
            form_.ShowAborted();
        if (failed)
            form_.ShowError();
        form_.BitBtn1->setEnabled(true);
        form_.BitBtn2->setEnabled(true);
        if (failed)
            StationMessage(message);
    }

    TForm1& form_;
    int failures_ = 0;
    std::unique_ptr<TTelnetSend> telnet_;
};

}  // namespace

// "Тестировать": one complete test of one unit.
void TForm1::BitBtn1Click()
{
    GuardHandler([this] { TTestRun(*this).Execute(); });
}
