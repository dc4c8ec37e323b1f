#include "app/main_window.h"

#include "settings/form_storage.h"

#include <QDebug>

// The archive file is opened at the first run; the line database, when one is set, gets
// the runs a previous session left unsent at once. The operator gets the buttons back
// within a second even while another program holds the archive: the run is then kept
// in the pending folder.
void TForm1::StartArchive()
{
    archive_ = std::make_unique<tolvek::TRunArchive>(tolvek::DefaultArchivePath(), 700);
    const QString uri = tolvek::ConfiguredLineUri(FormStorage1->storeFileName());
    if (uri.isEmpty())
        return;
    QString error;
    if (auto target = tolvek::ParseLineUri(uri, error)) {
        // A refusal is a setting to mend: said on standard error after every run it stops.
        forwarder_ = std::make_unique<tolvek::TLineForwarder>(
                archive_->Path(), *target,
                [](const QString& message) { qWarning().noquote() << "tolvek:" << message; });
        forwarder_->Kick();
    } else {
        // A line engineer's setting: `tolvek --forward` says the same on the terminal.
        qWarning().noquote() << "tolvek:" << error;
    }
}

QString TForm1::KeepRun(const tolvek::TRunRecord& record)
{
    lastRun_ = record;
    const auto outcome = archive_->Store(lastRun_);
    if (!outcome.Detail.isEmpty()) // the operator reads the station's words, the log SQLite's
        qWarning().noquote() << "tolvek: run archive:" << outcome.Detail;
    if (outcome.Stored && forwarder_)
        forwarder_->Kick();
    return outcome.Message;
}
