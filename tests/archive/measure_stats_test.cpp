// The measurements' figures of a known set of runs, worked out by hand here, from the
// bench's archive, from one made before they were kept, and from the line database the
// runs were forwarded to.
#include "archive/line_database.h"
#include "archive/line_view.h"
#include "archive/run_archive.h"
#include "archive_support.h"
#include "pg_server.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cmath>
#include <map>

using namespace tolvek;
using namespace archivetest;
using testsupport::PgServer;

namespace {

struct TKnown
{
    const char* started;
    const char* bench;
    const char* slot;
    double upload;
    std::optional<double> low, high, marginalLow; // judged by these when either limit is given
    bool judged;
    long long uploadMs; // the upload step's time; a failed step when negative
};

constexpr std::nullopt_t kNone = std::nullopt;

// Week 2026-W50 is 7 to 13 December. b1 is judged by 8..12 on the 8th and by 8..11 with
// the band 9.. on the 9th (the latest limits of its week); b2 by ..13 on one run of two.
const TKnown kRuns[] = {
        {"2026-12-08T08:00:00+01:00", "b1", "eth1", 9.0, 8, 12, kNone, true, 400},
        {"2026-12-08T09:00:00+01:00", "b1", "eth2", 10.0, 8, 12, kNone, true, 500},
        {"2026-12-08T10:00:00+01:00", "b1", "eth1", 11.0, 8, 12, kNone, true, -900},
        {"2026-12-09T08:00:00+01:00", "b1", "eth2", 10.0, 8, 11, 9, true, -1},
        {"2026-12-09T09:00:00+01:00", "b1", "eth1", 9.5, 8, 11, 9, true, -1},
        {"2026-12-14T08:00:00+01:00", "b1", "eth1", 8.5, kNone, kNone, kNone, false, -1},
        {"2026-12-08T08:30:00+01:00", "b2", "", 12.0, kNone, 13, kNone, true, -1},
        {"2026-12-08T09:30:00+01:00", "b2", "", 11.0, kNone, kNone, kNone, false, -1},
};

void StoreKnown(const QString& path)
{
    TRunArchive archive(path);
    int n = 0;
    for (const auto& k : kRuns) {
        auto r = MakeRun(k.started, "SN" + std::to_string(n++), TRunVerdict::Passed);
        r.Station = k.bench;
        r.Options.Interface = k.slot;
        r.Measurements.UploadMiBPerSecond = k.upload;
        if (k.uploadMs != -1)
            r.Steps.push_back({"upload", std::abs(k.uploadMs), k.uploadMs > 0});
        if (k.judged)
            r.Judgements.push_back({"upload_mib_s", k.upload, k.low, k.high, k.marginalLow, kNone,
                                    TJudgementResult::Passed});
        ASSERT_TRUE(archive.Store(r).Stored);
    }
}

// Every measurement answer of a view over the whole period.
QJsonObject Answers(TLineView& view)
{
    return {{"stats", view.MeasureStats({})},
            {"histogram", view.MeasureHistogram({}, "upload_mib_s")},
            {"chart", view.MeasureRunChart({}, "upload_mib_s")}};
}

// Stored again, the runs have ids of their own.
QJsonObject WithoutIds(QJsonObject answers)
{
    QJsonArray chart;
    for (const auto& run : answers["chart"].toArray()) {
        auto o = run.toObject();
        o.remove("id");
        chart.append(o);
    }
    answers["chart"] = chart;
    return answers;
}

std::string Text(const QJsonValue& v)
{
    return QJsonDocument(QJsonArray{v}).toJson().toStdString();
}

// The figures by hand, checked against any view.
void ExpectHandFigures(const QJsonObject& answers)
{
    const auto stats = answers["stats"].toArray();
    ASSERT_EQ(stats.size(), 4) << Text(stats);
    const auto row = [&](int i) { return stats[i].toObject(); };
    // b1, W50: 9, 10, 11, 10, 9.5: mean 9.9, squared deviations 0.81 + 0.01 + 1.21 + 0.01
    // + 0.16 = 2.2, sd sqrt(2.2 / 4); Cpk by the latest limits 8..11: min(11 - 9.9, 9.9 - 8).
    const double sd = std::sqrt(2.2 / 4);
    const struct
    {
        const char* bench;
        const char* week;
        const char* measurement;
        int runs;
        double mean;
        std::optional<double> sd, cpk, low, high;
    } expected[] = {
            {"b1", "2026-W50", "upload_mib_s", 5, 9.9, sd, (11 - 9.9) / (3 * sd), 8, 11},
            // Only passed steps count: 400 and 500, not the failed 900.
            {"b1", "2026-W50", "step_ms.upload", 2, 450, std::sqrt(5000.0), kNone, kNone, kNone},
            {"b1", "2026-W51", "upload_mib_s", 1, 8.5, kNone, kNone, kNone, kNone},
            // One-sided: (13 - 11.5) / 3 sd, sd of 12 and 11 is sqrt(0.5).
            {"b2", "2026-W50", "upload_mib_s", 2, 11.5, std::sqrt(0.5), 1.5 / (3 * std::sqrt(0.5)),
             kNone, 13},
    };
    for (int i = 0; i < 4; ++i) {
        const auto& e = expected[i];
        const auto o = row(i);
        SCOPED_TRACE(Text(o));
        EXPECT_EQ(o["bench"].toString(), e.bench);
        EXPECT_EQ(o["week"].toString(), e.week);
        EXPECT_EQ(o["measurement"].toString(), e.measurement);
        EXPECT_EQ(o["runs"].toInt(), e.runs);
        EXPECT_NEAR(o["mean"].toDouble(), e.mean, 1e-9);
        const std::pair<const char*, std::optional<double>> figures[] = {
                {"sd", e.sd}, {"cpk", e.cpk}, {"low", e.low}, {"high", e.high}};
        for (const auto& [key, value] : figures) {
            EXPECT_EQ(o[key].isDouble(), value.has_value()) << key;
            if (value) {
                EXPECT_NEAR(o[key].toDouble(), *value, 1e-9) << key;
            }
        }
    }
    // Values 8.5 .. 12 and the limits 8..11 with the band 9.. (b1's run of the 9th is the
    // period's latest judged): bins of 0.5, from below the low limit so that its line is
    // inside; a value on an edge counts in the bin above it. Each bench's slots add up to it.
    EXPECT_EQ(answers["histogram"].toObject(), QJsonDocument::fromJson(R"({
        "measurement": "upload_mib_s", "low": 8, "high": 11, "marginal_low": 9,
        "marginal_high": null, "edges": [7.5, 8, 8.5, 9, 9.5, 10, 10.5, 11, 11.5, 12, 12.5],
        "benches": [{"bench": "b1", "counts": [0, 0, 1, 1, 1, 2, 0, 1, 0, 0], "slots": [
                       {"slot": "eth1", "counts": [0, 0, 1, 1, 1, 0, 0, 1, 0, 0]},
                       {"slot": "eth2", "counts": [0, 0, 0, 0, 0, 2, 0, 0, 0, 0]}]},
                    {"bench": "b2", "counts": [0, 0, 0, 0, 0, 0, 0, 1, 0, 1], "slots": [
                       {"slot": "", "counts": [0, 0, 0, 0, 0, 0, 0, 1, 0, 1]}]}]})")
                                                       .object())
            << Text(answers["histogram"]);
    // Oldest first, each run with the limits it was judged by.
    const auto chart = answers["chart"].toArray();
    ASSERT_EQ(chart.size(), 8);
    EXPECT_EQ(chart[0]["value"].toDouble(), 9.0);
    EXPECT_EQ(chart[1]["bench"].toString(), "b2");
    EXPECT_EQ(chart[1]["high"].toDouble(), 13);
    EXPECT_TRUE(chart[1]["low"].isNull());
    EXPECT_EQ(chart[6]["high"].toDouble(), 11);
    EXPECT_EQ(chart[6]["marginal_low"].toDouble(), 9);
    EXPECT_EQ(chart[6]["slot"].toString(), "eth1");
    EXPECT_EQ(chart[7]["value"].toDouble(), 8.5);
    EXPECT_TRUE(chart[7]["high"].isNull());
}

// Periods that start and end inside weeks, on their edges and open, against the upload
// rates of the runs inside each, counted here: runs, mean and the limits per bench and
// week, and the histogram's runs per bench.
void ExpectPeriodFigures(TLineView& view)
{
    const struct
    {
        QDate since, until;
    } periods[] = {
            {QDate(2026, 12, 8), QDate(2026, 12, 8)},
            {QDate(2026, 12, 9), QDate(2026, 12, 14)},
            {QDate(2026, 12, 7), QDate(2026, 12, 13)},
            {QDate(2026, 12, 6), QDate(2026, 12, 14)},
            {QDate(2026, 12, 9), QDate(2026, 12, 20)},
            {QDate(2026, 12, 1), QDate(2026, 12, 9)},
            {QDate(2026, 12, 2), QDate(2026, 12, 20)},
            {QDate(2026, 12, 6), QDate(2026, 12, 15)},
            {QDate(), QDate(2026, 12, 8)},
            {QDate(2026, 12, 14), QDate()},
    };
    for (const auto& p : periods) {
        SCOPED_TRACE((p.since.toString(Qt::ISODate) + ".." + p.until.toString(Qt::ISODate))
                             .toStdString());
        struct TWeek
        {
            int runs = 0;
            double sum = 0;
            QString latest;
            std::optional<double> low, high, marginalLow;
        };
        std::map<std::pair<QString, QString>, TWeek> weeks;
        std::map<QString, int> perBench;
        for (const auto& k : kRuns) {
            const QDate day = QDate::fromString(QString(k.started).left(10), Qt::ISODate);
            if ((p.since.isValid() && day < p.since) || (p.until.isValid() && day > p.until))
                continue;
            int year = 0;
            const int week = day.weekNumber(&year);
            auto& w = weeks[{k.bench, QStringLiteral("%1-W%2").arg(year).arg(week)}];
            ++w.runs;
            w.sum += k.upload;
            if (k.judged && QString(k.started) > w.latest) {
                w.latest = k.started;
                w.low = k.low;
                w.high = k.high;
                w.marginalLow = k.marginalLow;
            }
            ++perBench[k.bench];
        }
        std::map<std::pair<QString, QString>, TWeek> got;
        for (const auto& v : view.MeasureStats({p.since, p.until})) {
            const auto o = v.toObject();
            if (o["measurement"] != "upload_mib_s")
                continue;
            auto& w = got[{o["bench"].toString(), o["week"].toString()}];
            w.runs = o["runs"].toInt();
            w.sum = o["mean"].toDouble() * w.runs;
            for (const auto& [key, field] : {std::pair{"low", &TWeek::low},
                                             {"high", &TWeek::high},
                                             {"marginal_low", &TWeek::marginalLow}})
                if (o[key].isDouble())
                    w.*field = o[key].toDouble();
        }
        ASSERT_EQ(got.size(), weeks.size());
        for (const auto& [key, w] : weeks) {
            const auto& g = got[key];
            SCOPED_TRACE((key.first + " " + key.second).toStdString());
            EXPECT_EQ(g.runs, w.runs);
            EXPECT_NEAR(g.sum, w.sum, 1e-9);
            EXPECT_EQ(g.low, w.low);
            EXPECT_EQ(g.high, w.high);
            EXPECT_EQ(g.marginalLow, w.marginalLow);
        }
        std::map<QString, int> histogram;
        for (const auto& b :
             view.MeasureHistogram({p.since, p.until}, "upload_mib_s")["benches"].toArray())
            for (const auto& n : b.toObject()["counts"].toArray())
                histogram[b.toObject()["bench"].toString()] += n.toInt();
        EXPECT_EQ(histogram, perBench);
    }
}

} // namespace

TEST(MeasureStats, KnownRunsGiveTheHandFiguresFromArchiveOlderArchiveAndLineDatabase)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    StoreKnown(path);
    const auto archived = Answers(*TLineView::OpenArchive(path));
    {
        SCOPED_TRACE("archive");
        ExpectHandFigures(archived);
        ExpectPeriodFigures(*TLineView::OpenArchive(path));
    }

    // An archive of an earlier version gains the figures from its runs: one made before
    // the measurements were kept, and one whose measurement tables had no slots, bands or
    // weeks (their rows left behind would be counted twice).
    for (const int version : {2, 6}) {
        SCOPED_TRACE(version);
        const QString older = dir.filePath(QStringLiteral("older%1.sqlite").arg(version));
        StoreKnown(older);
        auto sql = DropTables({"measures", "measure_stats", "measure_bins", "measure_week_stats",
                               "measure_week_bins"});
        if (version == 6)
            for (const char* table : {"measures", "measure_stats", "measure_bins"})
                sql << QStringLiteral("CREATE TABLE tolvek_%1 AS SELECT id AS run_id, day,"
                                      " station FROM tolvek_runs")
                                .arg(QLatin1String(table));
        Rewrite(older, sql << SetSchema(version));
        EXPECT_EQ(Text(WithoutIds(Answers(*TLineView::OpenArchive(older)))),
                  Text(WithoutIds(archived)));
    }

    PgServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_EQ(ForwardAll(path, server.Uri()).Sent, int(std::size(kRuns)));
    const auto lineView = TLineView::OpenLine(QString::fromStdString(server.Uri()));
    const auto line = Answers(*lineView);
    SCOPED_TRACE("line database");
    ExpectHandFigures(line);
    ExpectPeriodFigures(*lineView);
    EXPECT_EQ(Text(line), Text(archived));
}
