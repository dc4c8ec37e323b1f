#include "archive/run_record_json.h"

#include "core/limits.h"

#include <QJsonArray>
#include <QJsonValue>

namespace tolvek {
namespace {

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

QJsonArray Lines(const std::vector<std::string>& lines)
{
    QJsonArray array;
    for (const auto& line : lines)
        array.append(Q(line));
    return array;
}

bool ReadLines(const QJsonValue& value, std::vector<std::string>& out)
{
    if (!value.isArray())
        return false;
    for (const auto& item : value.toArray()) {
        if (!item.isString())
            return false;
        out.push_back(item.toString().toStdString());
    }
    return true;
}

QJsonValue Optional(const std::optional<double>& value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

// A missing key (a record made before steps were kept) reads as no steps.
bool ReadSteps(const QJsonValue& value, std::vector<TStepRecord>& out)
{
    if (value.isUndefined())
        return true;
    if (!value.isArray())
        return false;
    for (const auto& item : value.toArray()) {
        const auto o = item.toObject();
        if (!o["name"].isString() || !o["ms"].isDouble())
            return false;
        out.push_back({o["name"].toString().toStdString(),
                       static_cast<long long>(o["ms"].toDouble()), o["passed"].toBool()});
    }
    return true;
}

std::optional<double> ReadNumber(const QJsonValue& value)
{
    return value.isDouble() ? std::optional(value.toDouble()) : std::nullopt;
}

std::optional<TRunVerdict> VerdictFromName(const QString& name)
{
    for (auto v :
         {TRunVerdict::Passed, TRunVerdict::Failed, TRunVerdict::Aborted, TRunVerdict::Untested})
        if (name == QLatin1String(VerdictName(v)))
            return v;
    return std::nullopt;
}

QJsonArray JudgementsToJson(const std::vector<TJudgement>& judgements)
{
    QJsonArray array;
    for (const auto& j : judgements)
        array.append(QJsonObject{{"measurement", Q(j.Measurement)},
                                 {"value", j.Value},
                                 {"low", Optional(j.Low)},
                                 {"high", Optional(j.High)},
                                 {"marginal_low", Optional(j.MarginalLow)},
                                 {"marginal_high", Optional(j.MarginalHigh)},
                                 {"result", QLatin1String(JudgementResultName(j.Result))}});
    return array;
}

// A missing key (a record made before limits were kept) reads as judged by none.
bool ReadJudgements(const QJsonValue& value, std::vector<TJudgement>& out)
{
    if (value.isUndefined())
        return true;
    if (!value.isArray())
        return false;
    for (const auto& item : value.toArray()) {
        const auto o = item.toObject();
        const auto result = JudgementResultFromName(o["result"].toString().toStdString());
        if (!o["measurement"].isString() || !o["value"].isDouble() || !result)
            return false;
        out.push_back({o["measurement"].toString().toStdString(), o["value"].toDouble(),
                       ReadNumber(o["low"]), ReadNumber(o["high"]), ReadNumber(o["marginal_low"]),
                       ReadNumber(o["marginal_high"]), *result});
    }
    return true;
}

} // namespace

QJsonObject RunRecordToJson(const TRunRecord& r)
{
    QJsonObject o;
    o["format"] = kRunRecordFormat;
    if (!r.Id.empty())
        o["id"] = Q(r.Id);
    o["station"] = QJsonObject{{"host", Q(r.Station)},
                               {"version", Q(r.Version)},
                               {"interface", r.Options.Interface.empty()
                                                     ? QJsonValue(QJsonValue::Null)
                                                     : QJsonValue(Q(r.Options.Interface))}};
    o["address"] = Q(r.Options.Address);
    o["started"] = Q(r.Started);
    o["finished"] = Q(r.Finished);
    o["options"] = QJsonObject{{"set_clock", r.Options.SetClock},
                               {"ethernet", r.Options.Ethernet},
                               {"tamper", r.Options.Tamper},
                               {"vac", r.Options.Vac}};
    o["verdict"] = QLatin1String(VerdictName(r.Verdict));
    o["failures"] = r.Failures;
    o["message"] = r.Message ? QJsonValue(Q(*r.Message)) : QJsonValue(QJsonValue::Null);
    o["serial"] = Q(r.Serial);
    o["journal"] = Lines(r.Journal);
    o["report"] = Lines(r.Report);
    o["transfer"] = r.Transfer ? QJsonValue(QJsonObject{{"passed", r.Transfer->Passed},
                                                        {"reason", Q(r.Transfer->Reason)}})
                               : QJsonValue(QJsonValue::Null);
    QJsonArray steps;
    for (const auto& step : r.Steps)
        steps.append(QJsonObject{{"name", Q(step.Name)},
                                 {"ms", static_cast<double>(step.Milliseconds)},
                                 {"passed", step.Passed}});
    o["steps"] = steps;
    o["measurements"] =
            QJsonObject{{"echo_ms", Optional(r.Measurements.EchoMilliseconds)},
                        {"upload_mib_s", Optional(r.Measurements.UploadMiBPerSecond)},
                        {"download_mib_s", Optional(r.Measurements.DownloadMiBPerSecond)}};
    // Only a run judged by limits has the key: a record without is as before limits existed.
    if (!r.Judgements.empty())
        o["limits"] = JudgementsToJson(r.Judgements);
    return o;
}

std::optional<TRunRecord> RunRecordFromJson(const QJsonObject& o)
{
    TRunRecord r;
    const auto station = o["station"].toObject();
    const auto options = o["options"].toObject();
    const auto verdict = VerdictFromName(o["verdict"].toString());
    if (!o["format"].isDouble() || !verdict || !o["started"].isString()
        || !o["failures"].isDouble())
        return std::nullopt;
    r.Id = o["id"].toString().toStdString();
    r.Station = station["host"].toString().toStdString();
    r.Version = station["version"].toString().toStdString();
    // Null or missing (a record made before slots were kept): no port was chosen.
    r.Options.Interface = station["interface"].toString().toStdString();
    r.Options.Address = o["address"].toString().toStdString();
    r.Options.SetClock = options["set_clock"].toBool(true);
    r.Options.Ethernet = options["ethernet"].toBool(true);
    r.Options.Tamper = options["tamper"].toBool(false);
    r.Options.Vac = options["vac"].toBool(false);
    r.Started = o["started"].toString().toStdString();
    r.Finished = o["finished"].toString().toStdString();
    r.Verdict = *verdict;
    r.Failures = o["failures"].toInt();
    if (o["message"].isString())
        r.Message = o["message"].toString().toStdString();
    r.Serial = o["serial"].toString().toStdString();
    if (!ReadLines(o["journal"], r.Journal) || !ReadLines(o["report"], r.Report)
        || !ReadSteps(o["steps"], r.Steps) || !ReadJudgements(o["limits"], r.Judgements))
        return std::nullopt;
    const auto m = o["measurements"].toObject();
    r.Measurements = {ReadNumber(m["echo_ms"]), ReadNumber(m["upload_mib_s"]),
                      ReadNumber(m["download_mib_s"])};
    if (o["transfer"].isObject()) {
        const auto t = o["transfer"].toObject();
        r.Transfer = TTransferRecord{t["passed"].toBool(), t["reason"].toString().toStdString()};
    }
    return r;
}

} // namespace tolvek
