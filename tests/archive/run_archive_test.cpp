// The bench's SQLite archive on real files: every verdict kept whole, and files that
// cannot be written never lose the run's outcome.
#include "archive/archive_command.h"
#include "archive/archive_sql.h"
#include "archive/line_database.h"
#include "archive/line_view.h"
#include "archive/run_archive.h"
#include "archive/run_store.h"
#include "archive_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>

#include <fcntl.h>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace tolvek;
using archivetest::MakeRun;

TEST(RunArchive, EveryVerdictIsKeptWithAllItsFieldsAndMarkedUnsent)
{
    QTemporaryDir dir;
    TRunArchive archive(dir.filePath("sub/folder/runs.sqlite"));
    auto passed = MakeRun("2026-12-08T10:00:00+03:00", "0123456789ABCDEF", TRunVerdict::Passed);
    passed.Transfer = TTransferRecord{true, ""};
    passed.Options = {"10.0.0.2", false, true, true, true, ""};
    passed.Steps = {{"echo", 3, true}, {"upload", 410, true}, {"download", 380, true}};
    passed.Measurements = {0.25, 2.5, std::nullopt};
    passed.Judgements = {
            {"upload_mib_s", 2.5, 2, std::nullopt, 3, std::nullopt, TJudgementResult::Marginal},
            {"step_ms.echo", 3, std::nullopt, 10, std::nullopt, std::nullopt,
             TJudgementResult::Passed}};
    auto failed = MakeRun("2026-12-08T10:05:00+03:00", "0123456789ABCDEF", TRunVerdict::Failed);
    failed.Message = "Нет ответа от устройства";
    failed.Transfer = TTransferRecord{false, "upload failed: 550"};
    failed.Journal.push_back("test TAMPER failed: \"open\", lid");
    failed.Judgements = {
            {"echo_ms", 61.5, 0.5, 60, std::nullopt, std::nullopt, TJudgementResult::Failed}};
    auto aborted = MakeRun("2026-12-08T10:07:00+03:00", "", TRunVerdict::Aborted);
    aborted.Report.clear();

    std::vector<TRunRecord> runs{passed, failed, aborted};
    for (auto& r : runs) {
        const auto outcome = archive.Store(r);
        ASSERT_TRUE(outcome.Stored) << outcome.Message.toStdString();
        EXPECT_TRUE(outcome.Message.isEmpty());
        EXPECT_EQ(r.Id.size(), 36u);
        EXPECT_FALSE(r.Station.empty());
        EXPECT_FALSE(r.Version.empty());
    }
    EXPECT_NE(runs[0].Id, runs[1].Id);

    auto db = archive.Database();
    QSqlError e;
    const auto back = QueryRuns(db, {}, e, /*oldestFirst=*/true);
    ASSERT_TRUE(back) << e.text().toStdString();
    ASSERT_EQ(back->size(), 3u);
    for (size_t i = 0; i < runs.size(); ++i)
        EXPECT_EQ(RunRecordToJson((*back)[i]), RunRecordToJson(runs[i])) << i;
    EXPECT_EQ(archive.UnsentCount(), 3);

    // A record kept before steps and measurements were recorded reads as having none.
    auto old = RunRecordToJson(runs[0]);
    old.remove("steps");
    old.remove("measurements");
    old.remove("limits");
    const auto read = RunRecordFromJson(old);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->Judgements.empty());
    EXPECT_TRUE(read->Steps.empty());
    EXPECT_FALSE(read->Measurements.EchoMilliseconds || read->Measurements.UploadMiBPerSecond);

    // Storing the same run again neither fails nor doubles it.
    EXPECT_TRUE(archive.Store(runs[0]).Stored);
    EXPECT_EQ(QueryRuns(db, {}, e)->size(), 3u);
}

// A migration's walk over the stored runs in chunks: every run once, in id order, whatever
// the chunk size against the number of runs; an unreadable record is passed over; an error
// of the visit ends the walk.
TEST(RunArchive, MigrationWalkVisitsEveryRunOnceChunkByChunk)
{
    QTemporaryDir dir;
    TRunArchive archive(dir.filePath("runs.sqlite"));
    std::vector<std::string> ids;
    for (int i = 0; i < 5; ++i) {
        auto r = MakeRun("2026-12-08T10:0" + std::to_string(i) + ":00+03:00", "SN",
                         TRunVerdict::Passed);
        ASSERT_TRUE(archive.Store(r).Stored);
        ids.push_back(r.Id);
    }
    std::sort(ids.begin(), ids.end());
    auto db = archive.Database();
    QSqlQuery q(db);
    ASSERT_TRUE(q.exec(QStringLiteral("UPDATE tolvek_runs SET record = 'x' WHERE id = '%1'")
                               .arg(QString::fromStdString(ids[2]))));
    ids.erase(ids.begin() + 2);
    for (int chunk : {1, 2, 4, 5, 6}) {
        std::vector<std::string> seen;
        const auto e = WalkRunRecords(
                db,
                [&](const TRunRecord& r) {
                    seen.push_back(r.Id);
                    return seen.size() > 20 ? QSqlError("runaway", {}, QSqlError::UnknownError)
                                            : QSqlError();
                },
                chunk);
        EXPECT_FALSE(e.isValid()) << chunk;
        EXPECT_EQ(seen, ids) << chunk;
    }
    int visits = 0;
    const auto e = WalkRunRecords(
            db,
            [&](const TRunRecord&) {
                return ++visits == 2 ? QSqlError("stop", {}, QSqlError::UnknownError) : QSqlError();
            },
            1);
    EXPECT_EQ(e.driverText(), QStringLiteral("stop"));
    EXPECT_EQ(visits, 2);
}

TEST(RunArchive, DamagedFileIsSetAsideUntouchedAndANewOneStarted)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    const QByteArray garbage(8192, 'x');
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(garbage);
    }
    TRunArchive archive(path);
    auto run = MakeRun("2026-12-08T10:00:00+03:00", "SN1", TRunVerdict::Failed);
    const auto outcome = archive.Store(run);
    ASSERT_TRUE(outcome.Stored) << outcome.Message.toStdString();
    EXPECT_TRUE(outcome.Message.contains("повреждён")) << outcome.Message.toStdString();

    const auto aside = QDir(dir.path()).entryList({"runs.sqlite.damaged-*"});
    ASSERT_EQ(aside.size(), 1);
    QFile kept(dir.filePath(aside[0]));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), garbage);
    auto db = archive.Database();
    QSqlError e;
    EXPECT_EQ(QueryRuns(db, {}, e)->size(), 1u);
}

// Writes that cannot happen: one clear message, and the caller's run is left as it was.
TEST(RunArchive, UnwritablePlacesGiveOneMessageAndKeepTheRun)
{
    struct Case
    {
        const char* name;
        std::function<QString(QTemporaryDir&)> setUp; // returns the archive path
        const char* says;
        bool needsDroppedRights;
    };
    const Case cases[] = {
            {"folder is a file",
             [](QTemporaryDir& d) {
                 QFile f(d.filePath("blocker"));
                 f.open(QIODevice::WriteOnly);
                 return d.filePath("blocker/runs.sqlite");
             },
             "не открывается", false},
            {"read-only folder",
             [](QTemporaryDir& d) {
                 QDir().mkdir(d.filePath("ro"));
                 QFile::setPermissions(d.filePath("ro"), QFile::ReadOwner | QFile::ExeOwner
                                                                 | QFile::ReadOther
                                                                 | QFile::ExeOther);
                 return d.filePath("ro/runs.sqlite");
             },
             "не открывается", true},
            {"read-only archive",
             [](QTemporaryDir& d) {
                 QDir().mkdir(d.filePath("ro"));
                 {
                     TRunArchive a(d.filePath("ro/runs.sqlite"));
                     auto r = MakeRun("2026-12-08T09:00:00+03:00", "SN0", TRunVerdict::Passed);
                     a.Store(r);
                 }
                 const auto ro = QFile::ReadOwner | QFile::ReadOther;
                 QFile::setPermissions(d.filePath("ro/runs.sqlite"), ro);
                 QFile::setPermissions(d.filePath("ro"), ro | QFile::ExeOwner | QFile::ExeOther);
                 return d.filePath("ro/runs.sqlite");
             },
             "только для чтения", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = c.setUp(dir);
        // Root ignores file modes; the file-system identity of this thread is dropped instead.
        const bool drop = c.needsDroppedRights && geteuid() == 0;
        if (drop) {
            QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ExeOther);
            setfsgid(65534);
            setfsuid(65534);
        }
        auto run = MakeRun("2026-12-08T10:00:00+03:00", "SN1", TRunVerdict::Passed);
        TArchiveOutcome outcome;
        {
            TRunArchive archive(path);
            outcome = archive.Store(run);
        }
        if (drop) {
            setfsuid(0);
            setfsgid(0);
        }
        EXPECT_FALSE(outcome.Stored);
        EXPECT_TRUE(outcome.Message.contains(c.says)) << outcome.Message.toStdString();
        EXPECT_TRUE(outcome.Message.contains("Результат теста остаётся в силе"))
                << outcome.Message.toStdString();
        // SQLite's English goes to standard error, not to the operator.
        EXPECT_FALSE(outcome.Detail.isEmpty());
        EXPECT_FALSE(outcome.Message.contains(outcome.Detail)) << outcome.Message.toStdString();
        EXPECT_EQ(QDir(QFileInfo(path).absolutePath()).entryList({"*.damaged-*"}).size(), 0);
        QFile::setPermissions(QFileInfo(path).absolutePath(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

TEST(RunArchive, RunsTheLockedArchiveCannotTakeAreKeptAndTakenInByTheNextWrite)
{
    QTemporaryDir dir;
    TRunArchive archive(dir.filePath("runs.sqlite"), 100);
    auto first = MakeRun("2026-12-08T10:00:00+03:00", "SN1", TRunVerdict::Passed);
    ASSERT_TRUE(archive.Store(first).Stored);

    auto other = QSqlDatabase::addDatabase("QSQLITE", "locker");
    other.setDatabaseName(archive.Path());
    ASSERT_TRUE(other.open());
    {
        QSqlQuery q(other);
        ASSERT_TRUE(q.exec("BEGIN IMMEDIATE"));
        auto run = MakeRun("2026-12-08T10:01:00+03:00", "SN2", TRunVerdict::Failed);
        QElapsedTimer t;
        t.start();
        const auto outcome = archive.Store(run);
        EXPECT_LT(t.elapsed(), 1000);
        EXPECT_FALSE(outcome.Stored);
        EXPECT_TRUE(outcome.Kept);
        EXPECT_TRUE(outcome.Message.contains("занят")) << outcome.Message.toStdString();
        EXPECT_EQ(QDir(archive.PendingFolder()).entryList({"*.json"}).size(), 1);
        q.exec("ROLLBACK");
    }
    auto next = MakeRun("2026-12-08T10:02:00+03:00", "SN3", TRunVerdict::Passed);
    EXPECT_TRUE(archive.Store(next).Stored);
    EXPECT_EQ(archive.UnsentCount(), 3);
    EXPECT_FALSE(QFileInfo::exists(archive.PendingFolder()));
    other.close();
    other = QSqlDatabase();
    QSqlDatabase::removeDatabase("locker");
}

TEST(RunArchive, QueriesReadAnArchiveThisAccountCannotWriteAndForwardingMakesNone)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("ro/runs.sqlite");
    {
        TRunArchive archive(path);
        auto r = MakeRun("2026-12-08T09:00:00+03:00", "SN0", TRunVerdict::Passed);
        ASSERT_TRUE(archive.Store(r).Stored);
    }
    const auto ro = QFile::ReadOwner | QFile::ReadOther | QFile::ExeOwner | QFile::ExeOther;
    QFile::setPermissions(dir.filePath("ro"), ro);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadOther);
    QFile::setPermissions(dir.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther);
    // Root ignores file modes: this thread's file-system identity is dropped instead.
    if (geteuid() == 0) {
        setfsgid(65534);
        setfsuid(65534);
    }
    QString error, view;
    std::optional<std::vector<TYieldDay>> days;
    TForwardOutcome forward;
    {
        TRunArchive archive(path);
        error = archive.OpenExisting();
        auto db = archive.Database();
        QSqlError e;
        if (error.isEmpty())
            days = QueryYield(db, {}, e);
    }
    try {
        view = TLineView::OpenArchive(path)->LatestChange();
    } catch (const std::exception& e) {
        view = QStringLiteral("failed: ") + e.what();
    }
    {
        TRunArchive archive(path);
        TLineDatabase line(*ParseLineUri("postgresql://u@127.0.0.1:1/db", error));
        forward = ForwardBacklog(archive, line);
    }
    setfsuid(0);
    setfsgid(0);
    EXPECT_EQ(error.toStdString(), "");
    ASSERT_TRUE(days);
    EXPECT_EQ(days->size(), 1u);
    EXPECT_FALSE(view.isEmpty() || view.startsWith("failed")) << view.toStdString();
    // Forwarding says what happened to forwarding, and how many wait.
    EXPECT_TRUE(forward.Message.startsWith("nothing forwarded: the run archive"))
            << forward.Message.toStdString();
    EXPECT_EQ(forward.Left, 1);
    EXPECT_EQ(QDir(dir.filePath("ro")).entryList(QDir::Files), QStringList{"runs.sqlite"});

    const QString typo = dir.filePath("typo/runs.sqlite");
    TRunArchive missing(typo);
    EXPECT_TRUE(missing.OpenExisting().contains("no run archive"));
    QString out, err;
    QTextStream o(&out), e(&err);
    TArchiveCommand status;
    status.Kind = TArchiveCommand::TKind::Forward;
    status.Status = true;
    status.ArchivePath = typo;
    EXPECT_EQ(RunArchiveCommand(status, o, e), 1);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("typo")));
}

// A disk with no byte left: SQLite may call it an I/O error (its shared-memory file cannot
// grow); the operator reads that the disk is full. A small file system of the test's own.
TEST(RunArchive, CompletelyFullDiskIsSaidAsFull)
{
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0
        || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "needs root and a single thread for a mount namespace";
    QTemporaryDir dir;
    ASSERT_EQ(mount("tmpfs", dir.path().toLocal8Bit().constData(), "tmpfs", 0, "size=256k"), 0);
    const QString path = dir.filePath("runs.sqlite");
    QStringList said;
    for (const bool archived : {true, false}) {
        if (!archived) { // every byte taken, the archive's own files apart
            const int filler = open(dir.filePath("filler").toLocal8Bit().constData(),
                                    O_WRONLY | O_CREAT, 0600);
            ASSERT_GE(filler, 0);
            const std::string block(4096, 'x');
            for (size_t size : {block.size(), size_t(1)})
                while (write(filler, block.data(), size) == ssize_t(size)) {}
            close(filler);
        }
        QFile::remove(path + "-shm");
        TRunArchive archive(path);
        auto run = MakeRun("2026-12-08T10:00:00+03:00", "SN1", TRunVerdict::Passed);
        run.Report.assign(200, std::string(200, 'r'));
        const auto outcome = archive.Store(run);
        if (!archived)
            said << outcome.Message;
    }
    umount2(dir.path().toLocal8Bit().constData(), MNT_DETACH);
    ASSERT_EQ(said.size(), 1);
    EXPECT_TRUE(said[0].contains("диск заполнен")) << said[0].toStdString();
}
