#include "archive/measure_facts.h"

#include "archive/archive_sql.h"
#include "archive/run_record_json.h"
#include "archive/run_store.h"
#include "core/limits.h"

#include <QDate>
#include <QJsonDocument>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace tolvek {
namespace {

constexpr int kTargetBins = 20;
// Decades of values one histogram spans at most; smaller values join its first bin.
constexpr int kMaxDecades = 12;

// The day, week and bench columns come from the run's start in its own time zone.
const char* const kTables[] = {
        "CREATE TABLE tolvek_measures (run_id TEXT NOT NULL, measurement TEXT NOT NULL,"
        " value DOUBLE PRECISION NOT NULL, judged INTEGER NOT NULL, low DOUBLE PRECISION,"
        " high DOUBLE PRECISION, marginal_low DOUBLE PRECISION, marginal_high DOUBLE PRECISION,"
        " day TEXT NOT NULL, station TEXT NOT NULL, slot TEXT NOT NULL,"
        " started_utc TEXT NOT NULL, PRIMARY KEY (run_id, measurement))",
        "CREATE INDEX tolvek_measures_day ON tolvek_measures (day, station)",
        "CREATE INDEX tolvek_measures_chart ON tolvek_measures (measurement, day, started_utc)",
        // The run chart's latest runs read backwards in its order, ties by run id included,
        // without sorting a year's values.
        "CREATE INDEX tolvek_measures_latest ON tolvek_measures"
        " (measurement, day, started_utc, run_id)",
        // limits_utc: the start of the latest judged run, whose limits and band these are.
        "CREATE TABLE tolvek_measure_stats (day TEXT NOT NULL, station TEXT NOT NULL,"
        " measurement TEXT NOT NULL, runs INTEGER NOT NULL, mean DOUBLE PRECISION NOT NULL,"
        " m2 DOUBLE PRECISION NOT NULL, limits_utc TEXT, low DOUBLE PRECISION,"
        " high DOUBLE PRECISION, marginal_low DOUBLE PRECISION, marginal_high DOUBLE PRECISION,"
        " PRIMARY KEY (day, station, measurement))",
        "CREATE TABLE tolvek_measure_bins (measurement TEXT NOT NULL, day TEXT NOT NULL,"
        " station TEXT NOT NULL, slot TEXT NOT NULL, bin INTEGER NOT NULL, runs INTEGER NOT NULL,"
        " PRIMARY KEY (measurement, day, station, slot, bin))",
        "CREATE INDEX tolvek_measure_bins_day ON tolvek_measure_bins (day, station)",
        // A histogram's counts read from the index alone, rather than row by row from
        // wherever each day's rows were written among the runs.
        "CREATE INDEX tolvek_measure_bins_year ON tolvek_measure_bins"
        " (measurement, day, station, slot, bin, runs)",
        // The same per ISO week, keyed by its Monday.
        "CREATE TABLE tolvek_measure_week_stats (week TEXT NOT NULL, station TEXT NOT NULL,"
        " measurement TEXT NOT NULL, runs INTEGER NOT NULL, mean DOUBLE PRECISION NOT NULL,"
        " m2 DOUBLE PRECISION NOT NULL, limits_utc TEXT, low DOUBLE PRECISION,"
        " high DOUBLE PRECISION, marginal_low DOUBLE PRECISION, marginal_high DOUBLE PRECISION,"
        " PRIMARY KEY (week, station, measurement))",
        "CREATE TABLE tolvek_measure_week_bins (measurement TEXT NOT NULL, week TEXT NOT NULL,"
        " station TEXT NOT NULL, slot TEXT NOT NULL, bin INTEGER NOT NULL, runs INTEGER NOT NULL,"
        " PRIMARY KEY (measurement, week, station, slot, bin))",
        "CREATE INDEX tolvek_measure_week_bins_week ON tolvek_measure_week_bins (week, station)",
        // The histogram reads its counts from the index alone.
        "CREATE INDEX tolvek_measure_week_bins_read ON tolvek_measure_week_bins"
        " (measurement, week, station, slot, bin, runs)",
};

// Every table of the measurement facts, in the order they are filled.
const char* const kTableNames[] = {"tolvek_measures", "tolvek_measure_stats", "tolvek_measure_bins",
                                   "tolvek_measure_week_stats", "tolvek_measure_week_bins"};

// The same length as the slots' table keeps.
constexpr int kMaxSlotName = 64;

// A fine bin: 1/20 of the value's decade (k * 5 * 10^(e-2), k in 20..199), so every
// histogram bin of 1, 2 or 5 times a power of ten at least that wide holds it whole.
// Zero and below are bin 0.
struct TFineBin
{
    int Exponent = 0, K = 0; // K 0: the value 0
};

int BinCode(double value)
{
    if (!(value > 0) || !std::isfinite(value))
        return 0;
    int e = int(std::floor(std::log10(value)));
    for (int i = 0; i < 3; ++i) {
        // The relative nudge keeps 9.5 in the bin that starts at 9.5 despite rounding.
        const double k = std::floor(value / (5 * std::pow(10.0, e - 2)) * (1 + 1e-12));
        if (k >= 200)
            ++e;
        else if (k < 20)
            --e;
        else
            return (e + 400) * 1000 + int(k);
    }
    return 0;
}

TFineBin FromCode(int code)
{
    return code <= 0 ? TFineBin{} : TFineBin{code / 1000 - 400, code % 1000};
}

// An integer times 10^exponent, rounded once.
double Scaled(long long units, int exponent)
{
    return exponent < 0 ? double(units) / std::pow(10.0, -exponent)
                        : double(units) * std::pow(10.0, exponent);
}

long long Power10(int n)
{
    long long p = 1;
    while (n-- > 0)
        p *= 10;
    return p;
}

QVariant Number(const std::optional<double>& value)
{
    return value ? QVariant(*value) : QVariant(QMetaType::fromType<double>());
}

QJsonValue Json(const QVariant& value)
{
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value.toDouble());
}

QJsonValue Json(const std::optional<double>& value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

std::optional<double> Optional(const QVariant& value)
{
    return value.isNull() ? std::nullopt : std::optional<double>(value.toDouble());
}

int MeasurementRank(const QString& name)
{
    const auto& names = LimitMeasurementNames();
    const auto it = std::find(names.begin(), names.end(), name.toStdString());
    return int(it - names.begin());
}

// Count, mean and sum of squared deviations; two are merged exactly (no sum of squares
// to lose the spread of values far from zero).
struct TMoments
{
    qint64 N = 0;
    double Mean = 0, M2 = 0;

    void Add(double x)
    {
        ++N;
        const double d = x - Mean;
        Mean += d / double(N);
        M2 += d * (x - Mean);
    }
    void Merge(const TMoments& o)
    {
        if (o.N == 0)
            return;
        const double n = double(N + o.N), d = o.Mean - Mean;
        Mean += d * double(o.N) / n;
        M2 += o.M2 + d * d * double(N) * double(o.N) / n;
        N += o.N;
    }
    std::optional<double> Sd() const
    {
        return N > 1 ? std::optional<double>(std::sqrt(std::max(0.0, M2) / double(N - 1)))
                     : std::nullopt;
    }
};

struct TLimitsSeen
{
    QString Utc; // empty: no judged run
    std::optional<double> Low, High, MarginalLow, MarginalHigh;
    // From the columns limits_utc, low, high, marginal_low, marginal_high at `first`.
    void Take(const QSqlQuery& q, int first)
    {
        if (q.value(first).isNull())
            return;
        const QString utc = q.value(first).toString();
        if (!utc.isEmpty() && utc >= Utc)
            *this = {utc, Optional(q.value(first + 1)), Optional(q.value(first + 2)),
                     Optional(q.value(first + 3)), Optional(q.value(first + 4))};
    }
    QVariantList Binds() const
    {
        return {Utc.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(Utc),
                Number(Low), Number(High), Number(MarginalLow), Number(MarginalHigh)};
    }
};

// The columns TLimitsSeen::Take reads, in its order.
const char kLimitColumns[] = "limits_utc, low, high, marginal_low, marginal_high";

std::optional<double> Cpk(const TMoments& m, const TLimitsSeen& limits)
{
    const auto sd = m.Sd();
    if (limits.Utc.isEmpty() || !sd || *sd <= 0 || (!limits.Low && !limits.High))
        return std::nullopt;
    double cpk = INFINITY;
    if (limits.High)
        cpk = std::min(cpk, (*limits.High - m.Mean) / (3 * *sd));
    if (limits.Low)
        cpk = std::min(cpk, (m.Mean - *limits.Low) / (3 * *sd));
    return cpk;
}

QString IsoWeek(const QString& day)
{
    int year = 0;
    const int week = QDate::fromString(day, Qt::ISODate).weekNumber(&year);
    return QStringLiteral("%1-W%2").arg(year).arg(week, 2, 10, QChar('0'));
}

QString Monday(const QString& day)
{
    const QDate d = QDate::fromString(day, Qt::ISODate);
    return d.isValid() ? d.addDays(1 - d.dayOfWeek()).toString(Qt::ISODate) : QString();
}

// A period as the week rows that lie wholly inside it and the day rows at its ends, so
// that each week of it is read from one kind of row only. Days are "YYYY-MM-DD"; an end
// that is not a day (the open "0000" or "9999") is open.
struct TSplit
{
    std::optional<std::pair<QString, QString>> Weeks; // Mondays, both included
    std::vector<std::pair<QString, QString>> Days;    // day ranges, both included
};

TSplit Split(const QString& since, const QString& until)
{
    const QDate s = QDate::fromString(since, Qt::ISODate),
                u = QDate::fromString(until, Qt::ISODate);
    const QDate firstMonday = s.isValid() ? s.addDays((8 - s.dayOfWeek()) % 7) : QDate();
    const QDate lastMonday =
            u.isValid() ? u.addDays(1 - u.dayOfWeek() - (u.dayOfWeek() == 7 ? 0 : 7)) : QDate();
    const auto text = [](const QDate& d) { return d.toString(Qt::ISODate); };
    TSplit out;
    if (firstMonday.isValid() && lastMonday.isValid() && firstMonday > lastMonday) {
        out.Days.emplace_back(since, until); // no whole week
        return out;
    }
    out.Weeks.emplace(firstMonday.isValid() ? text(firstMonday) : since,
                      lastMonday.isValid() ? text(lastMonday) : until);
    if (s.isValid() && s < firstMonday)
        out.Days.emplace_back(since, text(firstMonday.addDays(-1)));
    if (u.isValid() && lastMonday.addDays(6) < u)
        out.Days.emplace_back(text(lastMonday.addDays(7)), until);
    return out;
}

// Runs `sql` with %1 the key column and %2 the table of the weeks, then of the days, once
// per part of the split; `binds` come before the period's two ends.
void ForEachPart(const QSqlDatabase& db, const TSplit& split, const QString& sql, const char* table,
                 const QVariantList& binds, const std::function<void(QSqlQuery&)>& row)
{
    const auto run = [&](const char* key, const QString& name,
                         const std::pair<QString, QString>& p) {
        auto q = Select(db, sql.arg(QLatin1String(key), name),
                        binds + QVariantList{p.first, p.second});
        while (q.next())
            row(q);
    };
    if (split.Weeks)
        run("week", QStringLiteral("tolvek_measure_week_%1").arg(QLatin1String(table)),
            *split.Weeks);
    for (const auto& days : split.Days)
        run("day", QStringLiteral("tolvek_measure_%1").arg(QLatin1String(table)), days);
}

} // namespace

QStringList MeasureFactsSchema()
{
    QStringList statements;
    for (const char* sql : kTables)
        statements << QString::fromLatin1(sql)
                              .replace(QLatin1String("CREATE TABLE "),
                                       QLatin1String("CREATE TABLE IF NOT EXISTS "))
                              .replace(QLatin1String("CREATE INDEX "),
                                       QLatin1String("CREATE INDEX IF NOT EXISTS "));
    return statements;
}

TMeasureFacts::TMeasureFacts(const QSqlDatabase& db)
    : db_(db)
{}

QSqlError TMeasureFacts::Prepared(const QString& sql, const QVariantList& binds)
{
    auto [it, added] = prepared_.try_emplace(sql, db_);
    QSqlQuery& q = it->second;
    if (added && !q.prepare(sql)) {
        auto e = q.lastError();
        prepared_.erase(it);
        return e;
    }
    for (int i = 0; i < binds.size(); ++i)
        q.bindValue(i, binds[i]);
    if (!q.exec())
        return q.lastError();
    return {};
}

QSqlError TMeasureFacts::Add(const TRunRecord& r)
{
    const QString id = QString::fromStdString(r.Id),
                  day = QString::fromStdString(r.Started.substr(0, 10)),
                  station = QString::fromStdString(r.Station), utc = UtcKey(r.Started),
                  slot = QString::fromStdString(r.Options.Interface).left(kMaxSlotName);
    for (const auto& name : LimitMeasurementNames()) {
        const auto value = MeasuredValue(r, name);
        if (!value || !std::isfinite(*value))
            continue;
        const auto judged =
                std::find_if(r.Judgements.begin(), r.Judgements.end(),
                             [&](const TJudgement& j) { return j.Measurement == name; });
        const bool isJudged = judged != r.Judgements.end();
        const auto bound = [&](std::optional<double> TJudgement::*field) {
            return Number(isJudged ? (*judged).*field : std::nullopt);
        };
        if (auto e = Prepared(
                    QStringLiteral(
                            "INSERT INTO tolvek_measures (run_id, measurement, value,"
                            " judged, low, high, marginal_low, marginal_high, day, station,"
                            " slot, started_utc) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                    {id, QString::fromStdString(name), *value, int(isJudged),
                     bound(&TJudgement::Low), bound(&TJudgement::High),
                     bound(&TJudgement::MarginalLow), bound(&TJudgement::MarginalHigh), day,
                     station, slot, utc});
            e.isValid())
            return e;
    }
    return {};
}

// The figures of one measurement over a day or week of one bench.
struct TMeasureFacts::TFigures
{
    TMoments Moments;
    TLimitsSeen Limits;
    std::map<std::pair<QString, int>, qint64> Bins; // (slot, fine bin) -> runs
};

// Writes the figures of one bench's day or week (`key` "day" or "week") in place of what
// was there.
QSqlError TMeasureFacts::Replace(const char* key, const QString& when, const QString& station,
                                 const std::map<QString, TFigures>& measures)
{
    const QString part =
            QLatin1String(key) == QLatin1String("week") ? QStringLiteral("week_") : QString();
    for (const char* table : {"stats", "bins"})
        if (auto e = Prepared(QStringLiteral("DELETE FROM tolvek_measure_%1%2 WHERE %3 = ?"
                                             " AND station = ?")
                                      .arg(part, QLatin1String(table), QLatin1String(key)),
                              {when, station});
            e.isValid())
            return e;
    for (const auto& [name, m] : measures) {
        if (auto e = Prepared(
                    QStringLiteral("INSERT INTO tolvek_measure_%1stats (%2, station,"
                                   " measurement, runs, mean, m2, %3)"
                                   " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                            .arg(part, QLatin1String(key), QLatin1String(kLimitColumns)),
                    QVariantList{when, station, name, m.Moments.N, m.Moments.Mean, m.Moments.M2}
                            + m.Limits.Binds());
            e.isValid())
            return e;
        for (const auto& [bin, runs] : m.Bins)
            if (auto e = Prepared(QStringLiteral("INSERT INTO tolvek_measure_%1bins (measurement,"
                                                 " %2, station, slot, bin, runs)"
                                                 " VALUES (?, ?, ?, ?, ?, ?)")
                                          .arg(part, QLatin1String(key)),
                                  {name, when, station, bin.first, bin.second, runs});
                e.isValid())
                return e;
    }
    return {};
}

QSqlError TMeasureFacts::RefreshDay(const QString& day, const QString& station)
{
    std::map<QString, TFigures> measures;
    {
        QSqlQuery q(db_);
        q.setForwardOnly(true);
        if (!q.prepare(QStringLiteral("SELECT measurement, value, slot, judged, %1"
                                      " FROM tolvek_measures WHERE day = ? AND station = ?")
                               .arg(QLatin1String("started_utc, low, high, marginal_low,"
                                                  " marginal_high"))))
            return q.lastError();
        q.addBindValue(day);
        q.addBindValue(station);
        if (!q.exec())
            return q.lastError();
        while (q.next()) {
            auto& m = measures[q.value(0).toString()];
            const double value = q.value(1).toDouble();
            m.Moments.Add(value);
            ++m.Bins[{q.value(2).toString(), BinCode(value)}];
            if (q.value(3).toInt())
                m.Limits.Take(q, 4);
        }
    }
    weeks_.emplace(Monday(day), station);
    return Replace("day", day, station, measures);
}

QSqlError TMeasureFacts::RefreshWeek(const QString& monday, const QString& station)
{
    const QDate first = QDate::fromString(monday, Qt::ISODate);
    const QVariantList binds{monday, first.addDays(6).toString(Qt::ISODate), station};
    std::map<QString, TFigures> measures;
    {
        QSqlQuery q(db_);
        q.setForwardOnly(true);
        if (!q.prepare(QStringLiteral("SELECT measurement, runs, mean, m2, %1 FROM"
                                      " tolvek_measure_stats WHERE day BETWEEN ? AND ?"
                                      " AND station = ?")
                               .arg(QLatin1String(kLimitColumns))))
            return q.lastError();
        for (const auto& b : binds)
            q.addBindValue(b);
        if (!q.exec())
            return q.lastError();
        while (q.next()) {
            auto& m = measures[q.value(0).toString()];
            m.Moments.Merge(
                    {q.value(1).toLongLong(), q.value(2).toDouble(), q.value(3).toDouble()});
            m.Limits.Take(q, 4);
        }
        if (!q.prepare(QStringLiteral("SELECT measurement, slot, bin, SUM(runs) FROM"
                                      " tolvek_measure_bins WHERE day BETWEEN ? AND ?"
                                      " AND station = ? GROUP BY measurement, slot, bin")))
            return q.lastError();
        for (const auto& b : binds)
            q.addBindValue(b);
        if (!q.exec())
            return q.lastError();
        while (q.next())
            measures[q.value(0).toString()].Bins[{q.value(1).toString(), q.value(2).toInt()}] +=
                    q.value(3).toLongLong();
    }
    return Replace("week", monday, station, measures);
}

QSqlError TMeasureFacts::RefreshWeeks()
{
    for (const auto& [monday, station] : weeks_)
        if (auto e = RefreshWeek(monday, station); e.isValid())
            return e;
    weeks_.clear();
    return {};
}

QSqlError DropOlderMeasureFacts(QSqlDatabase& db, int version)
{
    // Tables of the shape before slots, bands and weeks: made anew and filled from the runs.
    if (version >= kMeasureFactsSchema && version < kMeasureWeeksSchema)
        for (const char* table : kTableNames) {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("DROP TABLE IF EXISTS %1").arg(QLatin1String(table))))
                return q.lastError();
        }
    return {};
}

QSqlError AddMeasureFacts(QSqlDatabase& db)
{
    for (const QString& sql : MeasureFactsSchema()) {
        QSqlQuery q(db);
        if (!q.exec(sql))
            return q.lastError();
    }
    // Filled anew whatever was there: the runs are what counts.
    for (const char* table : kTableNames) {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("DELETE FROM %1").arg(QLatin1String(table))))
            return q.lastError();
    }
    TMeasureFacts facts(db);
    std::set<std::pair<QString, QString>> touched;
    if (auto e = WalkRunRecords(db,
                                [&](const TRunRecord& r) {
                                    touched.emplace(QString::fromStdString(r.Started.substr(0, 10)),
                                                    QString::fromStdString(r.Station));
                                    return facts.Add(r);
                                });
        e.isValid())
        return e;
    for (const auto& [day, station] : touched)
        if (auto e = facts.RefreshDay(day, station); e.isValid())
            return e;
    return facts.RefreshWeeks();
}

QJsonArray MeasureStats(const QSqlDatabase& db, const QString& since, const QString& until)
{
    struct TWeek
    {
        TMoments Moments;
        TLimitsSeen Limits;
    };
    // Sorted here: the server's collation may order text differently.
    std::map<std::tuple<QString, QString, int, QString>, TWeek> weeks;
    std::map<QString, QString> weekOf; // a year has 365 days: each parsed once
    std::map<QString, int> rankOf;
    ForEachPart(
            db, Split(since, until),
            QStringLiteral("SELECT station, %1, measurement, runs, mean, m2, %3"
                           " FROM %2 WHERE %1 BETWEEN ? AND ?")
                    .replace(QLatin1String("%3"), QLatin1String(kLimitColumns)),
            "stats", {}, [&](QSqlQuery& q) {
                const QString day = q.value(1).toString(), measurement = q.value(2).toString();
                auto week = weekOf.try_emplace(day).first;
                if (week->second.isEmpty())
                    week->second = IsoWeek(day);
                auto rank = rankOf.try_emplace(measurement, -1).first;
                if (rank->second < 0)
                    rank->second = MeasurementRank(measurement);
                auto& w = weeks[{q.value(0).toString(), week->second, rank->second, measurement}];
                w.Moments.Merge(
                        {q.value(3).toLongLong(), q.value(4).toDouble(), q.value(5).toDouble()});
                w.Limits.Take(q, 6);
            });
    QJsonArray out;
    for (const auto& [k, w] : weeks)
        out.append(QJsonObject{{"bench", std::get<0>(k)},
                               {"week", std::get<1>(k)},
                               {"measurement", std::get<3>(k)},
                               {"runs", w.Moments.N},
                               {"mean", w.Moments.Mean},
                               {"sd", Json(w.Moments.Sd())},
                               {"cpk", Json(Cpk(w.Moments, w.Limits))},
                               {"low", Json(w.Limits.Low)},
                               {"high", Json(w.Limits.High)},
                               {"marginal_low", Json(w.Limits.MarginalLow)},
                               {"marginal_high", Json(w.Limits.MarginalHigh)}});
    return out;
}

QJsonObject MeasureHistogram(const QSqlDatabase& db, const QString& measurement,
                             const QString& since, const QString& until)
{
    const TSplit split = Split(since, until);
    // bench -> slot -> fine bin -> runs
    std::map<QString, std::map<QString, std::map<int, qint64>>> bySlot;
    ForEachPart(db, split,
                QStringLiteral("SELECT station, slot, bin, SUM(runs) FROM %2"
                               " WHERE measurement = ? AND %1 BETWEEN ? AND ?"
                               " GROUP BY station, slot, bin"),
                "bins", {measurement}, [&](QSqlQuery& q) {
                    bySlot[q.value(0).toString()][q.value(1).toString()][q.value(2).toInt()] +=
                            q.value(3).toLongLong();
                });
    TLimitsSeen limits;
    ForEachPart(db, split,
                QStringLiteral("SELECT %3 FROM %2 WHERE measurement = ? AND %1 BETWEEN ? AND ?"
                               " AND limits_utc IS NOT NULL ORDER BY limits_utc DESC LIMIT 1")
                        .replace(QLatin1String("%3"), QLatin1String(kLimitColumns)),
                "stats", {measurement}, [&](QSqlQuery& q) { limits.Take(q, 0); });
    QJsonObject out{{"measurement", measurement},
                    {"low", Json(limits.Low)},
                    {"high", Json(limits.High)},
                    {"marginal_low", Json(limits.MarginalLow)},
                    {"marginal_high", Json(limits.MarginalHigh)},
                    {"edges", QJsonArray()},
                    {"benches", QJsonArray()}};
    std::map<QString, std::map<int, qint64>> benches;
    for (const auto& [bench, ofBench] : bySlot)
        for (const auto& [slot, bins] : ofBench)
            for (const auto& [code, runs] : bins)
                benches[bench][code] += runs;
    // The range in units of 10^(emin-2), the smallest fine bin's scale.
    int emin = INT32_MAX, emax = INT32_MIN;
    for (const auto& [bench, bins] : benches)
        for (const auto& [code, runs] : bins)
            if (const auto b = FromCode(code); b.K) {
                emin = std::min(emin, b.Exponent);
                emax = std::max(emax, b.Exponent);
            }
    if (benches.empty())
        return out;
    if (emin == INT32_MAX)
        emin = emax = 0; // every value 0
    emin = std::max(emin, emax - kMaxDecades);
    const auto lowUnits = [&](const TFineBin& b) {
        return b.K == 0 || b.Exponent < emin
                       ? 0LL
                       : static_cast<long long>(b.K) * 5 * Power10(b.Exponent - emin);
    };
    const auto widthUnits = [&](const TFineBin& b) {
        return b.K == 0 || b.Exponent < emin ? 0LL : 5 * Power10(b.Exponent - emin);
    };
    long long from = LLONG_MAX, to = 0, widest = 1;
    for (const auto& [bench, bins] : benches)
        for (const auto& [code, runs] : bins) {
            const auto b = FromCode(code);
            from = std::min(from, lowUnits(b));
            to = std::max(to, lowUnits(b) + widthUnits(b));
            widest = std::max(widest, widthUnits(b));
        }
    // The limits and the band are drawn on the histogram: its range reaches past them.
    const double unitsPerValue = std::pow(10.0, 2 - emin);
    for (const auto& limit : {limits.Low, limits.High, limits.MarginalLow, limits.MarginalHigh})
        if (limit && *limit >= 0 && *limit * unitsPerValue < 1e15) {
            // Inside, never on the outer edge, where its line would not show.
            from = std::min(from, std::max(0LL, (long long)std::floor(*limit * unitsPerValue) - 1));
            to = std::max(to, (long long)std::ceil(*limit * unitsPerValue) + 1);
        }
    const long long need = std::max(widest, (to - from + kTargetBins - 1) / kTargetBins);
    const long long step = [need] {
        for (long long decade = 1;; decade *= 10)
            for (const long long c : {1, 2, 5})
                if (c * decade >= need)
                    return c * decade;
    }();
    const long long start = from / step * step;
    const long long count = std::max(1LL, (to - start + step - 1) / step);
    QJsonArray edges;
    for (long long i = 0; i <= count; ++i)
        edges.append(Scaled(start + i * step, emin - 2));
    const auto counted = [&](const std::map<int, qint64>& bins) {
        std::vector<qint64> counts(size_t(count), 0);
        for (const auto& [code, runs] : bins) {
            const auto i = std::min(count - 1, (lowUnits(FromCode(code)) - start) / step);
            counts[size_t(i)] += runs;
        }
        QJsonArray c;
        for (const auto n : counts)
            c.append(n);
        return c;
    };
    QJsonArray benchRows;
    for (const auto& [bench, bins] : benches) {
        QJsonArray slotRows;
        for (const auto& [slot, slotBins] : bySlot[bench])
            slotRows.append(QJsonObject{{"slot", slot}, {"counts", counted(slotBins)}});
        benchRows.append(
                QJsonObject{{"bench", bench}, {"counts", counted(bins)}, {"slots", slotRows}});
    }
    out["edges"] = edges;
    out["benches"] = benchRows;
    return out;
}

QJsonArray MeasureRunChart(const QSqlDatabase& db, const QString& measurement, const QString& since,
                           const QString& until, int limit)
{
    auto q = Select(db,
                    QStringLiteral("SELECT m.run_id, r.started, m.station, m.slot, m.value, m.low,"
                                   " m.high, m.marginal_low, m.marginal_high"
                                   " FROM tolvek_measures m JOIN tolvek_runs r ON r.id = m.run_id"
                                   " WHERE m.measurement = ? AND m.day BETWEEN ? AND ?"
                                   " ORDER BY m.day DESC, m.started_utc DESC, m.run_id DESC"
                                   " LIMIT ?"),
                    {measurement, since, until, limit});
    std::vector<QJsonObject> rows;
    while (q.next())
        rows.push_back(QJsonObject{{"id", q.value(0).toString()},
                                   {"started", q.value(1).toString()},
                                   {"bench", q.value(2).toString()},
                                   {"slot", q.value(3).toString()},
                                   {"value", q.value(4).toDouble()},
                                   {"low", Json(q.value(5))},
                                   {"high", Json(q.value(6))},
                                   {"marginal_low", Json(q.value(7))},
                                   {"marginal_high", Json(q.value(8))}});
    QJsonArray out;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it)
        out.append(*it);
    return out;
}

} // namespace tolvek
