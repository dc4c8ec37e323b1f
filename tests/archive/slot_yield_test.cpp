// Figures per bench and slot (network port): `--yield --by slot`, the line view's API and
// the line database answer alike, and an archive of the schema before slots gains them.
#include "archive/archive_command.h"
#include "archive/line_database.h"
#include "archive/line_view.h"
#include "archive/run_archive.h"
#include "archive/run_store.h"
#include "archive_support.h"
#include "pg_server.h"

#include <gtest/gtest.h>

#include <QCommandLineParser>
#include <QFile>
#include <QJsonDocument>
#include <QSqlQuery>
#include <QTemporaryDir>

using namespace tolvek;
using namespace archivetest;

namespace {

using V = TRunVerdict;

struct TSlotRun
{
    const char* started;
    const char* bench;
    const char* slot;
    const char* serial;
    V verdict;
    const char* check; // a counted "<FAILED>" report line, or the failed step's message
};

// A2 fails in slot 2, passes its retest there, and fails again in slot 1 the next day: only
// its first run counts for first-pass yield, and in slot 2.
const TSlotRun kRuns[] = {
        {"2026-12-08T08:00:00+01:00", "rack", "slot1", "A1", V::Passed, ""},
        {"2026-12-08T08:01:00+01:00", "rack", "slot2", "A2", V::Failed, "test RTC <FAILED> x"},
        {"2026-12-08T08:05:00+01:00", "rack", "slot2", "A2", V::Passed, ""},
        {"2026-12-08T08:06:00+01:00", "rack", "slot2", "A3", V::Failed, "test RTC <FAILED> y"},
        {"2026-12-08T08:07:00+01:00", "rack", "slot1", "", V::Untested, "Нет сетевого порта"},
        {"2026-12-08T09:00:00+01:00", "bench", "", "B1", V::Passed, ""},
        {"2026-12-09T08:00:00+01:00", "rack", "slot1", "A2", V::Failed, "test RAM <FAILED> z"},
        {"2026-12-09T08:01:00+01:00", "rack", "<b>", "A5", V::Aborted, ""},
};

std::vector<TRunRecord> Store(const QString& path)
{
    TRunArchive archive(path);
    std::vector<TRunRecord> runs;
    for (const auto& k : kRuns) {
        auto r = MakeRun(k.started, k.serial, k.verdict);
        r.Station = k.bench;
        r.Options.Interface = k.slot;
        if (std::string(k.check).find("<FAILED>") != std::string::npos)
            r.Report.push_back(k.check);
        else if (*k.check)
            r.Message = k.check;
        EXPECT_TRUE(archive.Store(r).Stored);
        runs.push_back(r);
    }
    return runs;
}

const char kAllSlots[] = R"([
 {"bench":"bench","slot":null,"runs":1,"passed":1,"failed":0,"aborted":0,"untested":0,
  "units":1,"first_passed":1,"first_pass_yield":1,"checks":[]},
 {"bench":"rack","slot":"<b>","runs":1,"passed":0,"failed":0,"aborted":1,"untested":0,
  "units":1,"first_passed":0,"first_pass_yield":0,"checks":[]},
 {"bench":"rack","slot":"slot1","runs":3,"passed":1,"failed":1,"aborted":0,"untested":1,
  "units":1,"first_passed":1,"first_pass_yield":1,
  "checks":[{"check":"test RAM","runs":1},{"check":"Нет сетевого порта","runs":1}]},
 {"bench":"rack","slot":"slot2","runs":3,"passed":1,"failed":2,"aborted":0,"untested":0,
  "units":2,"first_passed":0,"first_pass_yield":0,"checks":[{"check":"test RTC","runs":2}]}])";

QJsonArray Array(const char* json)
{
    return QJsonDocument::fromJson(json).array();
}

// Every per-slot answer of a view, as text so that a difference reads plainly.
std::string SlotAnswers(TLineView& view)
{
    QJsonObject all;
    all["all"] = view.YieldPerSlot({});
    all["second"] = view.YieldPerSlot({{2026, 12, 9}, {2026, 12, 9}});
    all["slot2"] = view.RunsOfSlot({}, "rack", "slot2");
    all["none"] = view.RunsOfSlot({}, "bench", "");
    return QJsonDocument(all).toJson().toStdString();
}

QString YieldBySlot(const QString& path, const QStringList& extra = {})
{
    QCommandLineParser parser;
    for (const char* flag : {"history", "yield", "forward", "line", "status", "follow"})
        parser.addOption({flag, ""});
    for (const char* valued : {"show", "export", "since", "until", "archive", "by"})
        parser.addOption({valued, "", "x"});
    EXPECT_TRUE(parser.parse(QStringList{"tolvek", "--yield", "--by", "slot", "--archive", path}
                             + extra));
    QString error;
    const auto command = ArchiveCommandFromParser(parser, error);
    EXPECT_TRUE(command) << error.toStdString();
    QString out, err;
    QTextStream o(&out), e(&err);
    EXPECT_EQ(RunArchiveCommand(*command, o, e), 0);
    o.flush();
    return out;
}

} // namespace

TEST(SlotYield, PerBenchAndSlotFromTheApiAndTheCommandLine)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    const auto runs = Store(path);
    auto view = TLineView::OpenArchive(path);
    EXPECT_EQ(QJsonDocument(view->YieldPerSlot({})).toJson().toStdString(),
              QJsonDocument(Array(kAllSlots)).toJson().toStdString());
    // The slot's runs, newest first; the bench's runs made without a port.
    const auto slot2 = view->RunsOfSlot({}, "rack", "slot2");
    ASSERT_EQ(slot2.size(), 3);
    EXPECT_EQ(slot2[0]["id"].toString().toStdString(), runs[3].Id);
    EXPECT_EQ(slot2[2]["id"].toString().toStdString(), runs[1].Id);
    EXPECT_EQ(view->RunsOfSlot({}, "bench", "").size(), 1);
    EXPECT_EQ(view->RunsOfSlot({{2026, 12, 9}, {2026, 12, 9}}, "rack", "slot2").size(), 0);

    // The same figures on the command line, each slot a line; a narrower period never makes
    // a retest a first run.
    const QStringList lines = YieldBySlot(path).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[0].startsWith("bench "));
    const auto words = [](const QString& line) { return line.simplified().split(' '); };
    EXPECT_EQ(words(lines[1]).mid(0, 9),
              QStringList({"bench", "-", "1", "1", "0", "0", "0", "100.0%", "(1/1)"}));
    EXPECT_EQ(words(lines[3]).mid(0, 9),
              QStringList({"rack", "slot1", "3", "1", "1", "0", "1", "100.0%", "(1/1)"}));
    EXPECT_TRUE(lines[3].endsWith("test RAM (1), Нет сетевого порта (1)"));
    EXPECT_EQ(words(lines[4]).mid(0, 9),
              QStringList({"rack", "slot2", "3", "1", "2", "0", "0", "0.0%", "(0/2)"}));
    const QStringList second =
            YieldBySlot(path, {"--since", "2026-12-09"}).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(second.size(), 3);
    EXPECT_EQ(words(second[2]).mid(0, 8),
              QStringList({"rack", "slot1", "1", "0", "1", "0", "0", "-"}));

    // --history and --show name the port.
    QCommandLineParser parser;
    for (const char* flag : {"history", "yield", "forward", "line", "status", "follow"})
        parser.addOption({flag, ""});
    for (const char* valued : {"show", "export", "since", "until", "archive", "by"})
        parser.addOption({valued, "", "x"});
    ASSERT_TRUE(parser.parse(
            {"tolvek", "--show", QString::fromStdString(runs[1].Id), "--archive", path}));
    QString error, out, err;
    QTextStream o(&out), e(&err);
    ASSERT_EQ(RunArchiveCommand(*ArchiveCommandFromParser(parser, error), o, e), 0);
    o.flush();
    EXPECT_TRUE(out.contains("\nport      slot2\n")) << out.toStdString();
}

TEST(SlotYield, ArchiveBeforeSlotsGainsThemAndTheLineDatabaseAnswersAlike)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    Store(path);
    // Back to the schema before slots: no table, and so nothing to show per slot.
    Rewrite(path, DropTables({"run_slots"}) << SetSchema(kRunFactsSchema));
    auto migrated = TLineView::OpenArchive(path);
    EXPECT_EQ(migrated->YieldPerSlot({}).size(), 2); // each bench's runs now count as no port
    {
        TRunArchive archive(path);
        ASSERT_EQ(archive.OpenExisting(), "");
        QSqlQuery q(archive.Database());
        ASSERT_TRUE(q.exec("SELECT value FROM tolvek_meta WHERE key = 'schema'") && q.next());
        EXPECT_EQ(q.value(0).toInt(), kRunStoreSchema);
    }

    // The line database gets the runs with their ports and answers as the archive does.
    testsupport::PgServer server;
    ASSERT_TRUE(server.Start());
    QTemporaryDir fresh;
    const QString freshPath = fresh.filePath("runs.sqlite");
    const auto runs = Store(freshPath);
    ASSERT_EQ(ForwardAll(freshPath, server.Uri()).Sent, int(runs.size()));
    const std::string expected = SlotAnswers(*TLineView::OpenArchive(freshPath));
    EXPECT_EQ(SlotAnswers(*TLineView::OpenLine(QString::fromStdString(server.Uri()))), expected);
}

namespace {

// The per-slot figures of two periods, read once from the sums and once from the runs'
// facts (a copy of the store marked as made before the sums).
std::pair<std::string, std::string> SumsAndRuns(const QString& path, const QString& work)
{
    const auto brief = [](QSqlDatabase& db) {
        std::string text;
        for (const auto& [since, until] :
             {std::pair<QString, QString>{},
              std::pair<QString, QString>{"2026-12-08", "2026-12-08"}}) {
            QSqlError e;
            const auto rows = QueryYieldBySlot(db, since, until, e);
            EXPECT_TRUE(rows) << e.text().toStdString();
            for (const auto& s : rows.value_or(std::vector<TYieldSlot>{})) {
                text += QStringLiteral("%1/%2 %3 %4 %5 %6 %7 %8 %9:")
                                .arg(s.Bench, s.Slot)
                                .arg(s.Runs)
                                .arg(s.Passed)
                                .arg(s.Failed)
                                .arg(s.Aborted)
                                .arg(s.Untested)
                                .arg(s.Units)
                                .arg(s.FirstPassed)
                                .toStdString();
                for (const auto& [check, runs] : s.Checks)
                    text += " " + check.toStdString() + "=" + std::to_string(runs);
                text += "\n";
            }
            text += "--\n";
        }
        return text;
    };
    const QString copy = work + "/before-sums.sqlite";
    QFile::remove(copy);
    std::pair<std::string, std::string> out;
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "sums");
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open());
        out.first = brief(db);
        EXPECT_TRUE(QSqlQuery(db).exec("VACUUM INTO '" + copy + "'"));
        auto before = QSqlDatabase::addDatabase("QSQLITE", "runs");
        before.setDatabaseName(copy);
        EXPECT_TRUE(before.open());
        EXPECT_TRUE(QSqlQuery(before).exec(
                QStringLiteral("UPDATE tolvek_meta SET value = '%1' WHERE key = 'schema'")
                        .arg(kSlotStatsSchema - 1)));
        out.second = brief(before);
    }
    QSqlDatabase::removeDatabase("sums");
    QSqlDatabase::removeDatabase("runs");
    return out;
}

} // namespace

// The sums per slot stay what the runs say as late runs arrive (a unit's first run moving to
// another slot and day, a new slot), and a store of the schema before them gains them.
TEST(SlotYield, SumsPerSlotAnswerAsTheRuns)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    Store(path);
    const struct
    {
        const char* started;
        const char* slot;
        const char* serial;
        V verdict;
    } late[] = {
            {"2026-12-07T08:00:00+01:00", "slot1", "A3", V::Passed}, // A3's first run now
            {"2026-12-08T10:00:00+01:00", "slot9", "A9", V::Failed},
            {"2026-12-08T10:01:00+01:00", "slot9", "a9", V::Passed}, // the same unit
    };
    for (const auto& l : late) {
        {
            TRunArchive archive(path);
            auto r = MakeRun(l.started, l.serial, l.verdict);
            r.Station = "rack";
            r.Options.Interface = l.slot;
            if (l.verdict == V::Failed)
                r.Report.push_back("test RTC <FAILED> late");
            ASSERT_TRUE(archive.Store(r).Stored);
        }
        const auto [sums, runs] = SumsAndRuns(path, dir.path());
        EXPECT_EQ(sums, runs) << "after the run of " << l.serial << " at " << l.started;
    }
    const std::string expected = SumsAndRuns(path, dir.path()).second;
    {
        auto db = QSqlDatabase::addDatabase("QSQLITE", "before-sums");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec("DROP TABLE tolvek_slot_stats"));
        ASSERT_TRUE(q.exec("DROP TABLE tolvek_slot_check_stats"));
        ASSERT_TRUE(q.exec(QStringLiteral("UPDATE tolvek_meta SET value = '%1' WHERE key = "
                                          "'schema'")
                                   .arg(kSlotStatsSchema - 1)));
    }
    QSqlDatabase::removeDatabase("before-sums");
    TLineView::OpenArchive(path); // brings it up to date
    EXPECT_EQ(SumsAndRuns(path, dir.path()).first, expected);
}
