#include "archive/run_archive.h"

#include "archive/archive_sql.h"
#include "archive/run_record_json.h"
#include "archive/run_store.h"
#include "files/atomic_file.h"
#include "net/run_stop.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QSysInfo>
#include <QUrl>
#include <QUuid>
#include <QSqlDriver>
#include <QVariant>

#include <algorithm>

#include <sqlite3.h>
#include <unistd.h>

namespace tolvek {
namespace {

// SQLite's primary result codes that Qt passes on as the native error code.
enum {
    kBusy = 5,
    kLocked = 6,
    kReadOnly = 8,
    kIoErr = 10,
    kCorrupt = 11,
    kFull = 13,
    kCantOpen = 14,
    kNotADb = 26
};

// Another program's write lock is waited for in short turns, each of which looks at the
// run's stop: once stopped (SIGINT/SIGTERM) the run waits half a second at most, then its
// record goes to the pending folder.
constexpr int kBusyTurnMs = 10;
constexpr int kBusyAfterStopMs = 500;

int BusyTurn(void* waitMs, int turn)
{
    const int waited = turn * kBusyTurnMs;
    if (waited >= *static_cast<const int*>(waitMs)
        || (RunStopRaised() && waited >= kBusyAfterStopMs))
        return 0;
    usleep(kBusyTurnMs * 1000);
    return 1;
}

int SqliteCode(const QSqlError& e)
{
    return e.nativeErrorCode().toInt() & 0xff;
}

bool Damaged(const QSqlError& e)
{
    return SqliteCode(e) == kCorrupt || SqliteCode(e) == kNotADb;
}

// How long a run's own write waits for another program before it takes in the runs kept
// aside earlier.
constexpr int kPendingWaitMs = 50;

// Below this much free space an I/O error is the disk being full: SQLite reports one when
// its shared-memory file cannot grow, not "database or disk is full".
constexpr qint64 kFullDiskBytes = 1 << 20;

// The operator's words; SQLite's own text goes to standard error (Detail).
QString Reason(const QSqlError& e, const QString& path)
{
    if (SqliteCode(e) == kIoErr) {
        const QStorageInfo disk(QFileInfo(path).absolutePath());
        if (disk.isValid() && disk.bytesAvailable() >= 0 && disk.bytesAvailable() < kFullDiskBytes)
            return QStringLiteral("диск заполнен");
    }
    switch (SqliteCode(e)) {
    case kBusy:
    case kLocked: return QStringLiteral("архив занят другой программой");
    case kReadOnly: return QStringLiteral("архив доступен только для чтения");
    case kFull: return QStringLiteral("диск заполнен");
    case kIoErr: return QStringLiteral("ошибка чтения или записи диска");
    case kCantOpen: return QStringLiteral("файл архива не открывается");
    case kCorrupt:
    case kNotADb: return QStringLiteral("архив повреждён");
    default: return QStringLiteral("ошибка базы данных архива");
    }
}

QString Detail(const QSqlError& e)
{
    return e.text().simplified();
}

QString Failure(const QString& path, const QString& reason)
{
    return QStringLiteral("Прогон не записан в архив %1: %2. Результат теста остаётся в силе.")
            .arg(path, reason);
}

QString KeptAside(const QString& path, const QString& folder, const QString& reason)
{
    return QStringLiteral("Прогон пока не записан в архив %1: %2. Он сохранён в %3 и будет "
                          "внесён в архив при следующей записи. Результат теста остаётся в силе.")
            .arg(path, reason, folder);
}

QSqlError Exec(QSqlDatabase& db, const QString& sql, const QVariantList& binds = {})
{
    QSqlQuery q(db);
    if (!q.prepare(sql))
        return q.lastError();
    for (const auto& b : binds)
        q.addBindValue(b);
    return q.exec() ? QSqlError() : q.lastError();
}

} // namespace

QString DefaultArchivePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/tolvek/runs.sqlite");
}

std::string NewRunId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

void StampRun(TRunRecord& r)
{
    if (r.Id.empty())
        r.Id = NewRunId();
    if (r.Station.empty())
        r.Station = QSysInfo::machineHostName().toStdString();
    if (r.Version.empty())
        r.Version = TOLVEK_VERSION;
}

TRunArchive::TRunArchive(QString path, int waitMs)
    : path_(std::move(path))
    , waitMs_(waitMs)
{
    static QAtomicInteger<int> serial;
    connection_ = QStringLiteral("tolvek-archive-%1").arg(++serial);
}

TRunArchive::~TRunArchive()
{
    Close();
}

QSqlDatabase TRunArchive::Database() const
{
    return QSqlDatabase::database(connection_, false);
}

void TRunArchive::Close()
{
    if (!QSqlDatabase::contains(connection_))
        return;
    QSqlDatabase::database(connection_, false).close();
    QSqlDatabase::removeDatabase(connection_);
    open_ = false;
}

QString OpenArchiveReadOnly(const QString& path, const QString& connection)
{
    if (!QFileInfo::exists(path))
        return QStringLiteral("no run archive at %1").arg(path);
    // A file in a folder this account cannot write (another account's archive, a read-only
    // copy) cannot get the shared-memory index read-only opening wants: it is then read as
    // it lies on disk.
    QString why;
    for (const auto& [name, options] :
         {std::pair{path, QStringLiteral("QSQLITE_OPEN_READONLY")},
          std::pair{QStringLiteral("file:")
                            + QString::fromLatin1(QUrl::toPercentEncoding(path, "/"))
                            + QStringLiteral("?immutable=1"),
                    QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI")}}) {
        {
            auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
            db.setDatabaseName(name);
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000;") + options);
            QSqlQuery q(db);
            if (db.open()
                && q.exec(QStringLiteral("SELECT value FROM tolvek_meta WHERE key = 'schema'")))
                return {};
            if (why.isEmpty())
                why = (db.isOpen() ? q.lastError() : db.lastError()).text().trimmed();
        }
        QSqlDatabase::database(connection, false).close();
        QSqlDatabase::removeDatabase(connection);
    }
    return QStringLiteral("%1 is not a readable run archive: %2").arg(path, why);
}

QString TRunArchive::OpenExisting()
{
    if (open_)
        return {};
    QString error = OpenArchiveReadOnly(path_, connection_);
    open_ = error.isEmpty();
    return error;
}

QSqlError TRunArchive::OpenDb()
{
    const QString folder = QFileInfo(path_).absolutePath();
    if (!QFileInfo(folder).isDir() && !QDir().mkpath(folder))
        return QSqlError(QStringLiteral("cannot create %1").arg(folder), {},
                         QSqlError::ConnectionError, QString::number(kCantOpen));
    auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(path_);
    // A reader (a query in another terminal) never blocks the writer in WAL mode; writers
    // take turns, and one that holds the file longer sends the run to the pending folder.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(waitMs_));
    QSqlError e;
    if (!db.open())
        e = db.lastError();
    else if (const QVariant handle = db.driver()->handle();
             qstrcmp(handle.typeName(), "sqlite3*") == 0)
        if (auto* sqlite = *static_cast<sqlite3* const*>(handle.constData()))
            sqlite3_busy_handler(sqlite, BusyTurn, &waitMs_);
    for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL"})
        if (!e.isValid())
            e = Exec(db, QString::fromLatin1(sql));
    if (!e.isValid())
        e = EnsureRunStore(db);
    if (!e.isValid())
        e = Exec(db,
                 QStringLiteral("CREATE TABLE IF NOT EXISTS tolvek_outbox (id TEXT PRIMARY KEY)"));
    db = QSqlDatabase();
    if (e.isValid())
        Close();
    else
        open_ = true;
    return e;
}

QString TRunArchive::Open()
{
    const QString why = OpenForWriting();
    return why.isEmpty() ? why : Failure(path_, why);
}

QString TRunArchive::OpenForWriting()
{
    if (open_)
        return {};
    const auto e = OpenDb();
    return e.isValid() ? Reason(e, path_) + QStringLiteral(" (") + Detail(e) + u')' : QString();
}

QSqlError TRunArchive::Write(const TRunRecord& record)
{
    auto db = Database();
    // IMMEDIATE takes the write lock first, so the busy wait covers the whole transaction.
    QSqlError e = Exec(db, QStringLiteral("BEGIN IMMEDIATE"));
    if (!e.isValid()) {
        TRunInserter insert(db);
        e = insert.Insert(record);
        if (!e.isValid())
            e = insert.Finish();
    }
    if (!e.isValid())
        e = Exec(db,
                 QStringLiteral(
                         "INSERT INTO tolvek_outbox (id) VALUES (?) ON CONFLICT (id) DO NOTHING"),
                 {QString::fromStdString(record.Id)});
    if (!e.isValid())
        e = Exec(db, QStringLiteral("COMMIT"));
    if (e.isValid())
        Exec(db, QStringLiteral("ROLLBACK"));
    return e;
}

bool TRunArchive::KeepPending(const TRunRecord& record)
{
    if (!QDir().mkpath(PendingFolder()))
        return false;
    try {
        WriteFileAtomically(QFile::encodeName(PendingFolder() + QLatin1Char('/')
                                              + QString::fromStdString(record.Id)
                                              + QStringLiteral(".json"))
                                    .toStdString(),
                            QJsonDocument(RunRecordToJson(record)).toJson().toStdString());
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

int TRunArchive::PendingCount() const
{
    return static_cast<int>(
            QDir(PendingFolder()).entryList({QStringLiteral("*.json")}, QDir::Files).size());
}

QString TRunArchive::TakeInPending(int waitMs)
{
    QDir folder(PendingFolder());
    if (!open_ || !folder.exists())
        return {};
    auto db = Database();
    if (waitMs >= 0)
        Exec(db, QStringLiteral("PRAGMA busy_timeout = %1").arg(waitMs));
    QString error;
    for (const QString& name : folder.entryList({QStringLiteral("*.json")}, QDir::Files)) {
        QFile f(folder.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const auto run = RunRecordFromJson(QJsonDocument::fromJson(f.readAll()).object());
        f.close();
        if (!run)
            continue; // no record: left for a person to look at
        // Taken in twice (a crash before the removal) is harmless: the run id is the key.
        // The first refusal ends the intake: the next file would only wait as long again.
        if (const auto e = Write(*run); e.isValid()) {
            error = Reason(e, path_) + QStringLiteral(" (") + Detail(e) + u')';
            break;
        }
        f.remove();
    }
    if (waitMs >= 0)
        Exec(db, QStringLiteral("PRAGMA busy_timeout = %1").arg(waitMs_));
    QDir().rmdir(PendingFolder()); // only when empty
    return error;
}

// On success `message` is the operator's notice, else the reason it failed.
bool TRunArchive::SetAside(QString& message)
{
    Close();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path_ + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = path_ + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(path_, aside)) {
        message = QStringLiteral("архив повреждён и не переименовывается");
        return false;
    }
    // The write-ahead log belongs to the damaged file; the shared-memory index is rebuilt.
    QFile::rename(path_ + QStringLiteral("-wal"), aside + QStringLiteral("-wal"));
    QFile::remove(path_ + QStringLiteral("-shm"));
    message = QStringLiteral("Архив прогонов %1 повреждён: он сохранён как %2, начат новый архив.")
                      .arg(path_, QFileInfo(aside).fileName());
    return true;
}

TArchiveOutcome TRunArchive::Store(TRunRecord& record)
{
    StampRun(record);
    TArchiveOutcome out;
    for (int attempt = 0;; ++attempt) {
        QSqlError e = open_ ? QSqlError() : OpenDb();
        if (!e.isValid())
            e = Write(record);
        if (!e.isValid()) {
            out.Stored = true;
            // The run is in; older ones kept aside come along when the archive is free
            // within moments, else the next write or forward takes them (the caller, the
            // window's thread perhaps, is not held for them).
            TakeInPending(std::min(waitMs_, kPendingWaitMs));
            return out;
        }
        // A damaged file is set aside once and the run goes to a fresh archive; a second
        // failure keeps the run aside.
        QString reason = Reason(e, path_);
        out.Detail = Detail(e);
        if (!Damaged(e) || attempt == 1 || !SetAside(reason)) {
            out.Kept = KeepPending(record);
            const QString failure =
                    out.Kept ? KeptAside(path_, PendingFolder(), reason) : Failure(path_, reason);
            out.Message =
                    out.Message.isEmpty() ? failure : out.Message + QLatin1Char(' ') + failure;
            return out;
        }
        out.Message = reason; // the notice of the file set aside
    }
}

std::vector<TRunRecord> TRunArchive::Unsent(int limit, QString& error)
{
    std::vector<TRunRecord> runs;
    QSqlQuery q(Database());
    // CROSS JOIN keeps the outbox as the outer loop: the oldest marks, not a scan of all runs.
    if (!Select(q,
                QStringLiteral("SELECT r.record FROM tolvek_outbox o CROSS JOIN tolvek_runs r"
                               " ON r.id = o.id ORDER BY o.rowid LIMIT ?"),
                {limit})) {
        error = q.lastError().text().trimmed();
        return runs;
    }
    while (q.next()) {
        auto run =
                RunRecordFromJson(QJsonDocument::fromJson(q.value(0).toString().toUtf8()).object());
        if (!run) {
            error = QStringLiteral("an unreadable record in the archive");
            return runs;
        }
        runs.push_back(std::move(*run));
    }
    return runs;
}

int TRunArchive::UnsentCount()
{
    QSqlQuery q(Database());
    return q.exec(QStringLiteral("SELECT count(*) FROM tolvek_outbox")) && q.next()
                   ? q.value(0).toInt()
                   : -1;
}

void TRunArchive::NoteForwardError(const QString& text, bool refused)
{
    auto db = Database();
    if (text.isEmpty()) {
        Exec(db, QStringLiteral("DELETE FROM tolvek_meta WHERE key = 'forward_error'"));
        return;
    }
    const QJsonObject note{
            {QStringLiteral("at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)},
            {QStringLiteral("text"), text},
            {QStringLiteral("refused"), refused}};
    Exec(db,
         QStringLiteral("INSERT INTO tolvek_meta (key, value) VALUES ('forward_error', ?)"
                        " ON CONFLICT (key) DO UPDATE SET value = excluded.value"),
         {QString::fromUtf8(QJsonDocument(note).toJson(QJsonDocument::Compact))});
}

TRunArchive::TForwardError TRunArchive::LastForwardError()
{
    QSqlQuery q(Database());
    if (!q.exec(QStringLiteral("SELECT value FROM tolvek_meta WHERE key = 'forward_error'"))
        || !q.next())
        return {};
    const auto note = QJsonDocument::fromJson(q.value(0).toString().toUtf8()).object();
    return {note.value(QStringLiteral("text")).toString(),
            note.value(QStringLiteral("at")).toString(),
            note.value(QStringLiteral("refused")).toBool()};
}

QString TRunArchive::OldestUnsentStart()
{
    QSqlQuery q(Database());
    return q.exec(QStringLiteral(
                   "SELECT r.started_utc FROM tolvek_outbox o CROSS JOIN tolvek_runs r"
                   " ON r.id = o.id ORDER BY o.rowid LIMIT 1"))
                           && q.next()
                   ? q.value(0).toString()
                   : QString();
}

QString TRunArchive::MarkSent(const std::vector<TRunRecord>& runs)
{
    auto db = Database();
    QSqlError e;
    if (!db.transaction())
        e = db.lastError();
    QSqlQuery q(db);
    if (!e.isValid() && !q.prepare(QStringLiteral("DELETE FROM tolvek_outbox WHERE id = ?")))
        e = q.lastError();
    for (const auto& r : runs) {
        if (e.isValid())
            break;
        q.addBindValue(QString::fromStdString(r.Id));
        if (!q.exec())
            e = q.lastError();
    }
    if (!e.isValid() && !db.commit())
        e = db.lastError();
    if (e.isValid())
        db.rollback();
    return e.isValid() ? e.text().trimmed() : QString();
}

} // namespace tolvek
