#include "serve/view_csv.h"

#include "archive/run_csv.h"

#include <QJsonObject>

#include <map>

namespace tolvek {
namespace {

constexpr qint64 kRunsPiece = 64 << 10; // characters of records in one piece of the runs
constexpr int kMostRuns = 10000;        // the most runs of a check in one download

TReply Csv(QByteArray text, const QString& name, const TViewPeriod& period)
{
    const QString file = QStringLiteral("%1-%2-%3.csv")
                                 .arg(name, period.Since.toString(Qt::ISODate),
                                      period.Until.toString(Qt::ISODate));
    return {200, "text/csv; charset=utf-8", std::move(text),
            "attachment; filename=\"" + file.toLatin1() + "\""};
}

// The Pareto with each check's runs per bench in one field, as the page's table shows them.
QJsonArray FailingChecks(TLineView& v, const TViewPeriod& p)
{
    std::map<QString, QStringList> perBench;
    for (const auto& row : v.ParetoPerBench(p)) {
        const auto o = row.toObject();
        perBench[o["check"].toString()]
                << QStringLiteral("%1: %2").arg(o["bench"].toString()).arg(o["runs"].toInteger());
    }
    QJsonArray rows;
    for (const auto& row : v.Pareto(p)) {
        auto o = row.toObject();
        o["by_bench"] = perBench[o["check"].toString()].join(QStringLiteral(", "));
        rows.append(o);
    }
    return rows;
}

} // namespace

TCsvPlan CsvPlan(const QString& name, const TViewPeriod& period, const QUrlQuery& query)
{
    using TList = QJsonArray (*)(TLineView&, const TViewPeriod&);
    const auto table = [&](TList list, const QStringList& columns) -> TCsvPlan {
        return {[=](TLineView& v) { return Csv(RowsCsv(list(v, period), columns), name, period); }};
    };
    if (name == QLatin1String("runs")) {
        // Where the next piece starts; the pieces are asked one after the other.
        auto after = std::make_shared<std::optional<TRunKey>>();
        return {[=](TLineView& v) {
            auto piece = v.RunsCsv(period, *after, kRunsPiece);
            TReply reply = Csv(std::move(piece.Text), name, period);
            reply.More = piece.Next.has_value();
            *after = std::move(piece.Next);
            return reply;
        }};
    }
    if (name == QLatin1String("first-pass-yield"))
        return table([](TLineView& v, const TViewPeriod& p) { return v.YieldPerBenchDay(p); },
                     {"bench", "day", "runs", "passed", "failed", "aborted", "untested", "units",
                      "first_passed", "first_pass_yield"});
    if (name == QLatin1String("failing-checks"))
        return table(&FailingChecks, {"check", "runs", "by_bench"});
    if (name == QLatin1String("never-passed"))
        return table([](TLineView& v, const TViewPeriod& p) { return v.NeverPassed(p); },
                     {"serial", "first", "last", "last_id", "last_verdict", "runs"});
    if (name == QLatin1String("runs-of-check")) {
        const QString check = query.queryItemValue(QStringLiteral("check"), QUrl::FullyDecoded);
        bool given = false;
        const int limit = query.queryItemValue(QStringLiteral("limit")).toInt(&given);
        if (check.isEmpty() || check.size() > 256)
            return {{}, 400, QStringLiteral("check= names the failing check")};
        if (query.hasQueryItem(QStringLiteral("limit"))
            && (!given || limit < 1 || limit > kMostRuns))
            return {{}, 400, QStringLiteral("limit= is 1 to %1").arg(kMostRuns)};
        const QStringList columns{"id", "started", "bench", "serial", "verdict"};
        return {[=, n = given ? limit : 1000](TLineView& v) {
            return Csv(RowsCsv(v.RunsOfCheck(period, check, n), columns), name, period);
        }};
    }
    return {{}, 404, QStringLiteral("no such table")};
}

} // namespace tolvek
