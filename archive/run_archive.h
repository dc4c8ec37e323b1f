// The bench's run archive: every run, whatever its verdict, as one row of a SQLite file,
// with a mark on the runs the line database has not received yet.
#pragma once

#include "core/run_record.h"

#include <QSqlDatabase>
#include <QString>
#include <vector>

namespace tolvek {

// $XDG_DATA_HOME/tolvek/runs.sqlite, by default ~/.local/share/tolvek/runs.sqlite.
QString DefaultArchivePath();

// A new run id (UUID without braces).
std::string NewRunId();

// Fills the id, the station's host name and the program version where they are empty.
void StampRun(TRunRecord& record);

struct TArchiveOutcome
{
    bool Stored = false;
    QString Message; // for the operator when not empty: a failure or a damaged file set aside
};

class TRunArchive
{
public:
    explicit TRunArchive(QString path = DefaultArchivePath());
    ~TRunArchive();
    TRunArchive(const TRunArchive&) = delete;
    TRunArchive& operator=(const TRunArchive&) = delete;

    const QString& Path() const { return path_; }

    // Stamps the record and stores it with its unsent mark in one transaction. Never
    // throws; a failure leaves the run as it was and says why.
    TArchiveOutcome Store(TRunRecord& record);

    // Opens the file for reading and queries (no damaged-file handling, nothing created).
    // Empty on success, else the reason.
    QString OpenExisting();
    QSqlDatabase Database() const;

    // Runs not yet on the line database, oldest first, at most `limit`.
    std::vector<TRunRecord> Unsent(int limit, QString& error);
    int UnsentCount(); // -1 when the archive cannot say
    // Takes the unsent mark off them, all or none; empty on success, else the reason.
    QString MarkSent(const std::vector<TRunRecord>& runs);

    // Opens (and creates) the archive for writing; empty on success, else the message.
    QString Open();

private:
    QSqlError OpenDb();
    QSqlError Write(const TRunRecord& record);
    bool SetAside(QString& message);
    void Close();

    QString path_;
    QString connection_;
    bool open_ = false;
};

} // namespace tolvek
