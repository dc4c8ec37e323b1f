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

const char* const kTables[] = {
        "CREATE TABLE tolvek_measures (run_id TEXT NOT NULL, measurement TEXT NOT NULL,"
        " value DOUBLE PRECISION NOT NULL, judged INTEGER NOT NULL, low DOUBLE PRECISION,"
        " high DOUBLE PRECISION, day TEXT NOT NULL, station TEXT NOT NULL,"
        " started_utc TEXT NOT NULL, PRIMARY KEY (run_id, measurement))",
        "CREATE INDEX tolvek_measures_day ON tolvek_measures (day, station)",
        "CREATE INDEX tolvek_measures_chart ON tolvek_measures (measurement, day, started_utc)",
        // The run chart's latest runs read backwards in its order, ties by run id included,
        // without sorting a year's values.
        "CREATE INDEX tolvek_measures_latest ON tolvek_measures"
        " (measurement, day, started_utc, run_id)",
        // limits_utc: the start of the day's latest judged run, whose limits these are.
        "CREATE TABLE tolvek_measure_stats (day TEXT NOT NULL, station TEXT NOT NULL,"
        " measurement TEXT NOT NULL, runs INTEGER NOT NULL, mean DOUBLE PRECISION NOT NULL,"
        " m2 DOUBLE PRECISION NOT NULL, limits_utc TEXT, low DOUBLE PRECISION,"
        " high DOUBLE PRECISION, PRIMARY KEY (day, station, measurement))",
        "CREATE TABLE tolvek_measure_bins (measurement TEXT NOT NULL, day TEXT NOT NULL,"
        " station TEXT NOT NULL, bin INTEGER NOT NULL, runs INTEGER NOT NULL,"
        " PRIMARY KEY (measurement, day, station, bin))",
        // A histogram's year of counts read from the index alone, rather than row by row
        // from wherever each day's rows were written among the runs.
        "CREATE INDEX tolvek_measure_bins_year ON tolvek_measure_bins"
        " (measurement, day, station, bin, runs)",
};

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
    std::optional<double> Low, High;
    void Take(const QString& utc, std::optional<double> low, std::optional<double> high)
    {
        if (!utc.isEmpty() && utc >= Utc)
            *this = {utc, low, high};
    }
};

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
                  station = QString::fromStdString(r.Station), utc = UtcKey(r.Started);
    for (const auto& name : LimitMeasurementNames()) {
        const auto value = MeasuredValue(r, name);
        if (!value || !std::isfinite(*value))
            continue;
        const auto judged =
                std::find_if(r.Judgements.begin(), r.Judgements.end(),
                             [&](const TJudgement& j) { return j.Measurement == name; });
        const bool isJudged = judged != r.Judgements.end();
        if (auto e = Prepared(
                    QStringLiteral("INSERT INTO tolvek_measures (run_id, measurement, value,"
                                   " judged, low, high, day, station, started_utc)"
                                   " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                    {id, QString::fromStdString(name), *value, int(isJudged),
                     Number(isJudged ? judged->Low : std::nullopt),
                     Number(isJudged ? judged->High : std::nullopt), day, station, utc});
            e.isValid())
            return e;
    }
    return {};
}

QSqlError TMeasureFacts::RefreshDay(const QString& day, const QString& station)
{
    const QVariantList key{day, station};
    struct TDay
    {
        TMoments Moments;
        TLimitsSeen Limits;
        std::map<int, int> Bins;
    };
    std::map<QString, TDay> measures;
    {
        QSqlQuery q(db_);
        q.setForwardOnly(true);
        if (!q.prepare(QStringLiteral("SELECT measurement, value, judged, low, high, started_utc"
                                      " FROM tolvek_measures WHERE day = ? AND station = ?")))
            return q.lastError();
        q.addBindValue(day);
        q.addBindValue(station);
        if (!q.exec())
            return q.lastError();
        while (q.next()) {
            auto& m = measures[q.value(0).toString()];
            const double value = q.value(1).toDouble();
            m.Moments.Add(value);
            ++m.Bins[BinCode(value)];
            if (q.value(2).toInt())
                m.Limits.Take(q.value(5).toString(), Optional(q.value(3)), Optional(q.value(4)));
        }
    }
    for (const char* table : {"tolvek_measure_stats", "tolvek_measure_bins"}) {
        QSqlQuery q(db_);
        if (!q.prepare(QStringLiteral("DELETE FROM %1 WHERE day = ? AND station = ?")
                               .arg(QLatin1String(table))))
            return q.lastError();
        q.addBindValue(day);
        q.addBindValue(station);
        if (!q.exec())
            return q.lastError();
    }
    for (const auto& [name, m] : measures) {
        const bool judged = !m.Limits.Utc.isEmpty();
        if (auto e = Prepared(
                    QStringLiteral("INSERT INTO tolvek_measure_stats (day, station, measurement,"
                                   " runs, mean, m2, limits_utc, low, high)"
                                   " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                    key
                            + QVariantList{name, m.Moments.N, m.Moments.Mean, m.Moments.M2,
                                           judged ? QVariant(m.Limits.Utc)
                                                  : QVariant(QMetaType::fromType<QString>()),
                                           Number(m.Limits.Low), Number(m.Limits.High)});
            e.isValid())
            return e;
        for (const auto& [bin, runs] : m.Bins)
            if (auto e = Prepared(QStringLiteral("INSERT INTO tolvek_measure_bins (measurement,"
                                                 " day, station, bin, runs)"
                                                 " VALUES (?, ?, ?, ?, ?)"),
                                  {name, day, station, bin, runs});
                e.isValid())
                return e;
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
    for (const char* table : {"tolvek_measures", "tolvek_measure_stats", "tolvek_measure_bins"}) {
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
    return {};
}

QJsonArray MeasureStats(const QSqlDatabase& db, const QString& since, const QString& until)
{
    auto q = Select(db,
                    QStringLiteral("SELECT station, day, measurement, runs, mean, m2, limits_utc,"
                                   " low, high FROM tolvek_measure_stats"
                                   " WHERE day BETWEEN ? AND ?"),
                    {since, until});
    struct TWeek
    {
        TMoments Moments;
        TLimitsSeen Limits;
    };
    // Sorted here: the server's collation may order text differently.
    std::map<std::tuple<QString, QString, int, QString>, TWeek> weeks;
    std::map<QString, QString> weekOf; // a year has 365 days: each parsed once
    std::map<QString, int> rankOf;
    while (q.next()) {
        const QString day = q.value(1).toString(), measurement = q.value(2).toString();
        auto week = weekOf.try_emplace(day).first;
        if (week->second.isEmpty())
            week->second = IsoWeek(day);
        auto rank = rankOf.try_emplace(measurement, -1).first;
        if (rank->second < 0)
            rank->second = MeasurementRank(measurement);
        auto& w = weeks[{q.value(0).toString(), week->second, rank->second, measurement}];
        w.Moments.Merge({q.value(3).toLongLong(), q.value(4).toDouble(), q.value(5).toDouble()});
        if (!q.value(6).isNull())
            w.Limits.Take(q.value(6).toString(), Optional(q.value(7)), Optional(q.value(8)));
    }
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
                               {"high", Json(w.Limits.High)}});
    return out;
}

QJsonObject MeasureHistogram(const QSqlDatabase& db, const QString& measurement,
                             const QString& since, const QString& until)
{
    const QVariantList binds{measurement, since, until};
    auto q = Select(db,
                    QStringLiteral("SELECT station, bin, SUM(runs) FROM tolvek_measure_bins"
                                   " WHERE measurement = ? AND day BETWEEN ? AND ?"
                                   " GROUP BY station, bin"),
                    binds);
    std::map<QString, std::map<int, qint64>> benches;
    while (q.next())
        benches[q.value(0).toString()][q.value(1).toInt()] += q.value(2).toLongLong();
    q.finish();
    q = Select(db,
               QStringLiteral("SELECT low, high FROM tolvek_measure_stats"
                              " WHERE measurement = ? AND day BETWEEN ? AND ?"
                              " AND limits_utc IS NOT NULL ORDER BY limits_utc DESC LIMIT 1"),
               binds);
    std::optional<double> low, high;
    if (q.next()) {
        low = Optional(q.value(0));
        high = Optional(q.value(1));
    }
    q.finish();
    QJsonObject out{{"measurement", measurement},
                    {"low", Json(low)},
                    {"high", Json(high)},
                    {"edges", QJsonArray()},
                    {"benches", QJsonArray()}};
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
    // The limits are drawn on the histogram: its range reaches past them.
    const double unitsPerValue = std::pow(10.0, 2 - emin);
    for (const auto& limit : {low, high})
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
    QJsonArray benchRows;
    for (const auto& [bench, bins] : benches) {
        std::vector<qint64> counts(size_t(count), 0);
        for (const auto& [code, runs] : bins) {
            const auto i = std::min(count - 1, (lowUnits(FromCode(code)) - start) / step);
            counts[size_t(i)] += runs;
        }
        QJsonArray c;
        for (const auto n : counts)
            c.append(n);
        benchRows.append(QJsonObject{{"bench", bench}, {"counts", c}});
    }
    out["edges"] = edges;
    out["benches"] = benchRows;
    return out;
}

QJsonArray MeasureRunChart(const QSqlDatabase& db, const QString& measurement, const QString& since,
                           const QString& until, int limit)
{
    auto q = Select(db,
                    QStringLiteral("SELECT m.run_id, r.started, m.station, m.value, m.low, m.high"
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
                                   {"value", q.value(3).toDouble()},
                                   {"low", Json(q.value(4))},
                                   {"high", Json(q.value(5))}});
    QJsonArray out;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it)
        out.append(*it);
    return out;
}

} // namespace tolvek
