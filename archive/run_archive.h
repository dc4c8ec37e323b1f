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

// Writers of one archive (the runs of a rack's slots) hold its lock for milliseconds each;
// a run waits this long for them before it keeps its record in the pending folder.
constexpr int kArchiveWaitMs = 10000;

// Opens the archive file at path read-only on a new SQLite connection of that name, for
// queries: nothing created or changed, also where this account cannot write. Empty on
// success, else the reason; on failure the connection is removed again.
QString OpenArchiveReadOnly(const QString& path, const QString& connection);

struct TArchiveOutcome
{
    bool Stored = false;
    bool Kept = false; // not in the archive, but in its pending folder until the next write
    QString Message;   // for the operator when not empty: a failure or a damaged file set aside
    QString Detail;    // the database's own words for a failure, for standard error
};

class TRunArchive
{
public:
    // waitMs: how long a write waits for another program that holds the archive.
    explicit TRunArchive(QString path = DefaultArchivePath(), int waitMs = kArchiveWaitMs);
    ~TRunArchive();
    TRunArchive(const TRunArchive&) = delete;
    TRunArchive& operator=(const TRunArchive&) = delete;

    const QString& Path() const { return path_; }

    // Stamps the record and stores it with its unsent mark in one transaction. Never
    // throws. When the archive cannot take it, the record goes to the pending folder as
    // a file written whole; the next write or forward takes it in.
    TArchiveOutcome Store(TRunRecord& record);

    // PATH.pending: one JSON record file per run the archive could not take at once.
    QString PendingFolder() const { return path_ + QStringLiteral(".pending"); }
    // Moves the pending records into the open archive, waiting `waitMs` (-1: the archive's
    // own wait) for another program holding it; stops at the first file refused and
    // returns the reason, empty when all went in. A file that is no record stays.
    QString TakeInPending(int waitMs = -1);
    // Records in the pending folder.
    int PendingCount() const;

    // Opens the file read-only for queries (no damaged-file handling, nothing created or
    // changed, also where this account cannot write). Empty on success, else the reason.
    QString OpenExisting();
    QSqlDatabase Database() const;

    // Runs not yet on the line database, oldest first, at most `limit`.
    std::vector<TRunRecord> Unsent(int limit, QString& error);
    int UnsentCount(); // -1 when the archive cannot say
    // Takes the unsent mark off them, all or none; empty on success, else the reason.
    QString MarkSent(const std::vector<TRunRecord>& runs);

    // What the last forward pass ended with, kept in the archive for --forward --status:
    // an empty text clears it.
    void NoteForwardError(const QString& text, bool refused);
    struct TForwardError
    {
        QString Text, At; // At: UTC, ISO 8601
        bool Refused = false;
    };
    TForwardError LastForwardError();
    // The store time (started, UTC ISO 8601) of the oldest unsent run; empty when none.
    QString OldestUnsentStart();

    // Opens (and creates) the archive for writing; empty on success, else the message.
    QString Open();
    // The same, the message being only why (for forwarding, which writes no run).
    QString OpenForWriting();

private:
    QSqlError OpenDb();
    QSqlError Write(const TRunRecord& record);
    bool SetAside(QString& message);
    bool KeepPending(const TRunRecord& record);
    void Close();

    QString path_;
    int waitMs_;
    QString connection_;
    bool open_ = false;
};

} // namespace tolvek
