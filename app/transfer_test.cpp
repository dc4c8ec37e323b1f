#include "app/main_window.h"

#include "app/controls.h"
#include "app/core/ethernet_transfer.h"

// The Ethernet file-transfer test of a run. A failure becomes one journal line and one
// counted failure; an abort found after the upload leaves no line and lets the run's
// next checkpoint end it.
void TForm1::EthernetTransferTest(int& failureCount)
{
    const auto outcome = tolvek::RunEthernetTransfer([this] { return LabeledEdit1->text().toStdString(); },
                                                     [this] { return abortFlag(); });
    switch (outcome.Result) {
    case tolvek::TTransferOutcome::Passed:
        JournalAppend(QStringLiteral("test file transfer passed"));
        break;
    case tolvek::TTransferOutcome::Failed:
        JournalAppend(QStringLiteral("test file transfer failed:") + QString::fromLocal8Bit(outcome.Message.c_str()));
        ++failureCount;
        break;
    case tolvek::TTransferOutcome::Aborted:
        break;
    }
}
