// The query commands on a small archive whose figures are known.
#include "archive/archive_command.h"
#include "archive/run_archive.h"
#include "archive/run_csv.h"
#include "archive_support.h"

#include <gtest/gtest.h>

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>

using namespace tolvek;
using archivetest::MakeRun;

namespace {

struct Result
{
    int rc;
    QString out, err;
};

Result Command(QStringList args)
{
    QCommandLineParser parser;
    for (const char* flag : {"history", "yield", "forward", "line"})
        parser.addOption({flag, ""});
    for (const char* valued : {"show", "export", "since", "until", "archive", "by"})
        parser.addOption({valued, "", "x"});
    args.prepend("tolvek");
    Result r{2, {}, {}};
    if (!parser.parse(args))
        return {2, {}, parser.errorText()};
    QString error;
    const auto command = ArchiveCommandFromParser(parser, error);
    if (!command)
        return {2, {}, error};
    QTextStream out(&r.out), err(&r.err);
    r.rc = RunArchiveCommand(*command, out, err);
    out.flush();
    err.flush();
    return r;
}

// The last word of each line: the run id of --history.
QStringList Ids(const QString& history)
{
    QStringList ids;
    for (const auto& line : history.split('\n', Qt::SkipEmptyParts))
        ids << line.section(' ', -1).right(1);
    return ids;
}

class ArchiveCommand : public ::testing::Test
{
protected:
    void SetUp() override
    {
        path_ = dir_.filePath("runs.sqlite");
        TRunArchive archive(path_);
        using V = TRunVerdict;
        const std::tuple<const char*, const char*, V> runs[] = {
                {"2026-12-07T09:00:00+03:00", "A", V::Passed},
                {"2026-12-07T09:10:00+03:00", "B", V::Failed},
                {"2026-12-07T09:20:00+03:00", "B", V::Passed},
                {"2026-12-07T09:30:00+03:00", "", V::Aborted},
                {"2026-12-08T08:00:00+03:00", "D", V::Passed},
                {"2026-12-08T08:10:00+03:00", "B", V::Passed},
                {"2026-12-08T08:20:00+03:00", "E", V::Passed},
                {"2026-12-08T07:15:00+02:00", "F", V::Failed},
        };
        int n = 0;
        for (const auto& [started, serial, verdict] : runs) {
            auto r = archivetest::MakeRun(started, serial, verdict);
            r.Id = "00000000-0000-0000-0000-00000000000" + std::to_string(++n);
            if (n == 7)
                r.Journal.push_back("test RTC failed: \"slow\", 2 s\r\nlate");
            // The first four measured their upload, the third and fourth in slot eth1; the
            // first judged by the limits 8.. with the band 9...
            r.Station = "b1";
            if (n <= 4)
                r.Measurements.UploadMiBPerSecond = 7 + n;
            if (n == 3 || n == 4)
                r.Options.Interface = "eth1";
            if (n == 1)
                r.Judgements = {{"upload_mib_s", 8, 8, std::nullopt, 9, std::nullopt,
                                 TJudgementResult::Marginal}};
            ASSERT_TRUE(archive.Store(r).Stored);
        }
    }
    Result In(QStringList args) { return Command(args << "--archive" << path_); }

    QTemporaryDir dir_;
    QString path_;
};

} // namespace

TEST_F(ArchiveCommand, HistoryIsNewestFirstAndFilteredBySerialAndDays)
{
    const struct
    {
        QStringList args;
        QString ids;
    } cases[] = {
            {{"--history"}, "78654321"}, // 8 (+02:00) started between 6 and 7
            {{"--history", "B"}, "632"},
            {{"--history", "--since", "2026-12-08"}, "7865"},
            {{"--history", "--until", "2026-12-07"}, "4321"},
            {{"--history", "B", "--since", "2026-12-07", "--until", "2026-12-07"}, "32"},
            {{"--history", "nobody"}, ""},
    };
    for (const auto& c : cases) {
        const auto r = In(c.args);
        EXPECT_EQ(r.rc, 0) << r.err.toStdString();
        EXPECT_EQ(Ids(r.out).join(""), c.ids) << c.args.join(' ').toStdString();
    }
    EXPECT_TRUE(In({"--history", "A"})
                        .out.startsWith("2026-12-07T09:00:00+03:00  A                 passed    0  "
                                        "192.168.1.178    -       "
                                        "00000000-0000-0000-0000-000000000001\n"));
}

TEST_F(ArchiveCommand, YieldCountsFirstRunsOfUnitsOverTheWholeArchive)
{
    const QString day1 = "2026-12-07     4       2       1        1  50.0% (1/2)\n";
    const QString day2 = "2026-12-08     4       3       1        0  66.7% (2/3)\n";
    const auto all = In({"--yield"});
    EXPECT_EQ(all.out.section('\n', 1), day1 + day2);
    // B's retest on the 8th stays a retest when the 7th is outside the range.
    EXPECT_EQ(In({"--yield", "--since", "2026-12-08"}).out.section('\n', 1), day2);
}

// The day table alone, as scripts read it, unless the measurements are asked for: mean 9.5
// of 8..11, sd sqrt(5/3), Cpk (9.5 - 8) / 3 sd; histograms per bench and slot.
TEST_F(ArchiveCommand, YieldByMeasurementGivesTheFiguresAndHistogramsPerSlot)
{
    EXPECT_FALSE(In({"--yield"}).out.contains("upload"));
    const auto r = In({"--yield", "--by", "measurement"});
    EXPECT_EQ(r.rc, 0) << r.err.toStdString();
    EXPECT_EQ(r.out,
              "measurement     bench             week      runs          mean            sd     "
              "Cpk  limits\n"
              "upload_mib_s    b1                2026-W50     4        9.5000        1.2910    "
              "0.39  8.. marginal 9..\n\n"
              "histogram upload_mib_s (limits 8.. marginal 9..), runs per bin [from, to), per "
              "bench and slot:\n"
              "  b1: [8, 8.5) 1; [9, 9.5) 1; [10, 10.5) 1; [11, 11.5) 1;\n"
              "  b1 -: [8, 8.5) 1; [9, 9.5) 1;\n"
              "  b1 eth1: [10, 10.5) 1; [11, 11.5) 1;\n");
    EXPECT_EQ(In({"--yield", "--by", "week"}).rc, 2);
}

// A unit is its serial number in any letter case; its first run is the one that started
// first to the millisecond, else the one stored first; a first run that arrives after the
// retest (another bench) moves the unit to its day, in --yield and the view's sums alike.
TEST(ArchiveYield, FirstRunsByTheMillisecondThenStoringOrderInAnyLetterCase)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    using V = TRunVerdict;
    const struct
    {
        const char *started, *serial, *id, *station;
        V verdict;
    } runs[] = {
            {"2026-12-08T10:00:00.900+03:00", "U0005EE", "1", "b1", V::Passed},
            {"2026-12-08T10:00:00.050+03:00", "u0005ee", "9", "b1", V::Failed},
            {"2026-12-08T10:00:01.000+03:00", "X1", "8", "b1", V::Failed},
            {"2026-12-08T10:00:01+03:00", "x1", "2", "b1", V::Passed},
            {"2026-12-09T10:00:00.000+03:00", "L", "3", "b1", V::Passed},
            {"2026-12-08T12:00:00.000+03:00", "l", "7", "b2", V::Failed},
    };
    {
        TRunArchive archive(path);
        for (const auto& run : runs) {
            auto r = MakeRun(run.started, run.serial, run.verdict);
            r.Id = std::string("00000000-0000-0000-0000-00000000000") + run.id;
            r.Station = run.station;
            ASSERT_TRUE(archive.Store(r).Stored);
        }
    }
    const auto yield = Command({"--yield", "--archive", path});
    EXPECT_EQ(yield.out.section('\n', 1), "2026-12-08     5       2       3        0  0.0% (0/3)\n"
                                          "2026-12-09     1       1       0        0  -\n");
    EXPECT_EQ(Ids(Command({"--history", "u0005Ee", "--archive", path}).out).join(""), "19");
    EXPECT_EQ(Ids(Command({"--history", "l", "--archive", path}).out).join(""), "37");

    // The view's per-bench sums give the same units per day.
    TRunArchive archive(path);
    ASSERT_EQ(archive.OpenExisting(), "");
    QSqlQuery q(archive.Database());
    ASSERT_TRUE(q.exec("SELECT day, SUM(units), SUM(first_passed) FROM tolvek_day_stats"
                       " GROUP BY day ORDER BY day"));
    QStringList sums;
    while (q.next())
        sums << q.value(0).toString() + ":" + q.value(1).toString() + "/" + q.value(2).toString();
    EXPECT_EQ(sums.join(' '), "2026-12-08:3/0 2026-12-09:0/0");
}

TEST_F(ArchiveCommand, ExportAndShowCarryWholeRecords)
{
    const auto json = In({"--export", "json", "--since", "2026-12-08"});
    const auto lines = json.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4);
    const auto first = QJsonDocument::fromJson(lines[0].toUtf8()).object();
    EXPECT_EQ(first["id"].toString(), "00000000-0000-0000-0000-000000000005"); // oldest first
    EXPECT_EQ(first["serial"].toString(), "D");

    const auto csv = In({"--export", "csv", "--until", "2026-12-07"}).out;
    EXPECT_TRUE(csv.startsWith(
            "id,started,finished,station,version,address,set_clock,ethernet,tamper,vac,verdict,"
            "failures,message,serial,transfer,transfer_reason,journal,report,port\r\n"));
    EXPECT_EQ(csv.count("\r\n"), 5);
    const auto quoted = In({"--export", "csv", "--since", "2026-12-08"}).out;
    EXPECT_TRUE(quoted.contains(",\"date: 2026-12-08T08:20:00+03:00\nIP: 192.168.1.178\n"
                                "test RTC failed: \"\"slow\"\", 2 s\\x0d\\x0alate\",SNE,\r\n"))
            << quoted.toStdString();

    const auto show = In({"--show", "00000000-0000-0000-0000-000000000007"});
    EXPECT_EQ(show.rc, 0);
    EXPECT_TRUE(show.out.contains("journal:\n  date: 2026-12-08T08:20:00+03:00\n"));
    EXPECT_TRUE(show.out.contains("report:\n  SNE\n"));
}

// The one CSV dialect: text fields visible, guarded against formulas and quoted; numbers as
// they are; the network port last in a run's line.
TEST(CsvForm, FieldsAreTextASpreadsheetCannotRun)
{
    const struct
    {
        std::string text;
        QString field;
    } texts[] = {
            {"=1+2", "'=1+2"},
            {"+cmd|' /C calc'!A0", "'+cmd|' /C calc'!A0"},
            {"-2", "'-2"},
            {"@SUM(A1)", "'@SUM(A1)"},
            {"=a,b", "\"'=a,b\""},
            {"a \"b\"", "\"a \"\"b\"\"\""},
            {"\x1b[2J\t=", "\\x1b[2J\\x09="},
            {"Разъём 1=2", "Разъём 1=2"},
            {"", ""},
    };
    for (const auto& t : texts)
        EXPECT_EQ(CsvText(t.text), t.field) << t.text;
    const QJsonArray rows{QJsonObject{{"check", "-x"}, {"runs", 3}, {"yield", 0.25}},
                          QJsonObject{{"check", "b,c"}, {"runs", -1}, {"yield", QJsonValue()}}};
    EXPECT_EQ(RowsCsv(rows, {"check", "runs", "yield"}),
              "check,runs,yield\r\n'-x,3,0.25\r\n\"b,c\",-1,\r\n");
    auto run = MakeRun("2026-12-08T08:20:00+03:00", "=SN", TRunVerdict::Passed);
    run.Options.Interface = "eth1";
    EXPECT_TRUE(RunCsvLine(run).endsWith(",'=SN,,,\"date: 2026-12-08T08:20:00+03:00\nIP: "
                                         "192.168.1.178\",SN=SN,eth1\r\n"))
            << RunCsvLine(run).toStdString();
}

TEST_F(ArchiveCommand, MistakesAreRefusedWithAReason)
{
    const struct
    {
        QStringList args;
        int rc;
        const char* says;
    } cases[] = {
            {{"--show", "no-such-run"}, 1, "no run no-such-run"},
            {{"--export", "xml"}, 2, "json or csv"},
            {{"--history", "--since", "08.12.2026"}, 2, "yyyy-mm-dd"},
    };
    for (const auto& c : cases) {
        const auto r = In(c.args);
        EXPECT_EQ(r.rc, c.rc) << c.says;
        EXPECT_TRUE(r.err.contains(c.says)) << r.err.toStdString();
    }
    const auto missing = Command({"--history", "--archive", dir_.filePath("none.sqlite")});
    EXPECT_EQ(missing.rc, 1);
    EXPECT_TRUE(missing.err.contains("no run archive")) << missing.err.toStdString();
}
