#include "archive/run_archive.h"

#include "archive/run_record_json.h"
#include "archive/run_store.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUuid>
#include <QVariant>

namespace tolvek {
namespace {

// SQLite's primary result codes that Qt passes on as the native error code.
enum {
    kBusy = 5,
    kLocked = 6,
    kReadOnly = 8,
    kCorrupt = 11,
    kFull = 13,
    kCantOpen = 14,
    kNotADb = 26
};

int SqliteCode(const QSqlError& e)
{
    return e.nativeErrorCode().toInt() & 0xff;
}

bool Damaged(const QSqlError& e)
{
    return SqliteCode(e) == kCorrupt || SqliteCode(e) == kNotADb;
}

QString Reason(const QSqlError& e)
{
    QString why;
    switch (SqliteCode(e)) {
    case kBusy:
    case kLocked: why = QStringLiteral("архив занят другой программой"); break;
    case kReadOnly: why = QStringLiteral("архив доступен только для чтения"); break;
    case kFull: why = QStringLiteral("диск заполнен"); break;
    case kCantOpen: why = QStringLiteral("файл архива не открывается"); break;
    case kCorrupt:
    case kNotADb: why = QStringLiteral("архив повреждён"); break;
    default: return e.text().trimmed();
    }
    return why + QStringLiteral(" (")
           + (e.databaseText().isEmpty() ? e.driverText() : e.databaseText()) + QLatin1Char(')');
}

QString Failure(const QString& path, const QString& reason)
{
    return QStringLiteral("Прогон не записан в архив %1: %2. Результат теста остаётся в силе.")
            .arg(path, reason);
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

TRunArchive::TRunArchive(QString path)
    : path_(std::move(path))
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

QString TRunArchive::OpenExisting()
{
    if (open_)
        return {};
    if (!QFileInfo::exists(path_))
        return QStringLiteral("no run archive at %1").arg(path_);
    auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(path_);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000;QSQLITE_OPEN_READONLY"));
    QSqlQuery q(db);
    if (!db.open()
        || !q.exec(QStringLiteral("SELECT value FROM tolvek_meta WHERE key = 'schema'"))) {
        const QString why = (db.isOpen() ? q.lastError() : db.lastError()).text().trimmed();
        q = QSqlQuery();
        db = QSqlDatabase();
        Close();
        return QStringLiteral("%1 is not a readable run archive: %2").arg(path_, why);
    }
    open_ = true;
    return {};
}

QSqlError TRunArchive::OpenDb()
{
    const QString folder = QFileInfo(path_).absolutePath();
    if (!QFileInfo(folder).isDir() && !QDir().mkpath(folder))
        return QSqlError(QStringLiteral("cannot create %1").arg(folder), {},
                         QSqlError::ConnectionError, QString::number(kCantOpen));
    auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(path_);
    // A reader (a query in another terminal) never blocks the writer in WAL mode; a
    // writer that holds the file longer than this costs the run its archive entry, not its time.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=250"));
    QSqlError e;
    if (!db.open())
        e = db.lastError();
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
    if (open_)
        return {};
    const auto e = OpenDb();
    return e.isValid() ? Failure(path_, Reason(e)) : QString();
}

QSqlError TRunArchive::Write(const TRunRecord& record)
{
    auto db = Database();
    QSqlError e;
    if (!db.transaction())
        e = db.lastError();
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
    if (!e.isValid() && !db.commit())
        e = db.lastError();
    if (e.isValid())
        db.rollback();
    return e;
}

bool TRunArchive::SetAside(QString& message)
{
    Close();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path_ + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(aside); ++n)
        aside = path_ + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(path_, aside)) {
        message = Failure(path_, QStringLiteral("архив повреждён и не переименовывается"));
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
            return out;
        }
        // A damaged file is set aside once and the run goes to a fresh archive; a second
        // failure is reported as it is.
        if (!Damaged(e) || attempt == 1) {
            out.Message = Failure(path_, Reason(e));
            return out;
        }
        if (!SetAside(out.Message))
            return out;
    }
}

std::vector<TRunRecord> TRunArchive::Unsent(int limit, QString& error)
{
    std::vector<TRunRecord> runs;
    QSqlQuery q(Database());
    q.setForwardOnly(true);
    // CROSS JOIN keeps the outbox as the outer loop: the oldest marks, not a scan of all runs.
    q.prepare(QStringLiteral(
            "SELECT r.record FROM tolvek_outbox o CROSS JOIN tolvek_runs r ON r.id = o.id"
            " ORDER BY o.rowid LIMIT ?"));
    q.addBindValue(limit);
    if (!q.exec()) {
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
