#include "archive/archive_command.h"

#include "archive/line_database.h"
#include "archive/measure_facts.h"
#include "archive/run_archive.h"
#include "archive/run_csv.h"
#include "archive/run_record_json.h"
#include "archive/run_slots.h"
#include "core/visible_text.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>

namespace tolvek {
namespace {

// Everything printed here may hold the unit's bytes: control characters go out as \xNN.
QString Q(const std::string& s)
{
    return QString::fromStdString(VisibleText(s));
}

// The network port (fixture slot) a run went through, "-" for none.
QString Port(const TRunRecord& r)
{
    return r.Options.Interface.empty() ? QStringLiteral("-") : Q(r.Options.Interface);
}

void WriteHistory(const TRunRecord& r, QTextStream& out)
{
    out << QStringLiteral("%1  %2  %3  %4  %5  %6  %7\n")
                    .arg(Q(r.Started), -25)
                    .arg(r.Serial.empty() ? QStringLiteral("-") : Q(r.Serial), -16)
                    .arg(QLatin1String(VerdictName(r.Verdict)), -7)
                    .arg(r.Failures, 2)
                    .arg(Q(r.Options.Address), -15)
                    .arg(Port(r), -6)
                    .arg(Q(r.Id));
}

void WriteRun(const TRunRecord& r, QTextStream& out)
{
    out << "run       " << Q(r.Id) << "\n"
        << "started   " << Q(r.Started) << "\nfinished  " << Q(r.Finished) << "\n"
        << "station   " << Q(r.Station) << " (tolvek " << Q(r.Version) << ")\n"
        << "address   " << Q(r.Options.Address) << "\nport      " << Port(r) << "\n"
        << "serial    " << Q(r.Serial) << "\n"
        << "verdict   " << VerdictName(r.Verdict) << ", failures " << r.Failures << "\n";
    if (r.Message)
        out << "message   " << Q(*r.Message) << "\n";
    out << "journal:\n";
    for (const auto& l : r.Journal)
        out << "  " << Q(l) << "\n";
    out << "report:\n";
    for (const auto& l : r.Report)
        out << "  " << Q(l) << "\n";
}

void WriteYield(const std::vector<TYieldDay>& days, QTextStream& out)
{
    out << "day         runs  passed  failed  aborted  first-pass yield\n";
    for (const auto& d : days) {
        const QString fpy = d.Units ? QStringLiteral("%1% (%2/%3)")
                                              .arg(100.0 * d.FirstPassed / d.Units, 0, 'f', 1)
                                              .arg(d.FirstPassed)
                                              .arg(d.Units)
                                    : QStringLiteral("-");
        out << QStringLiteral("%1  %2  %3  %4  %5  %6\n")
                        .arg(d.Day, -10)
                        .arg(d.Runs, 4)
                        .arg(d.Passed, 6)
                        .arg(d.Failed, 6)
                        .arg(d.Aborted, 7)
                        .arg(fpy);
    }
}

QString Figure(const QJsonValue& v, int decimals)
{
    return v.isDouble() ? QString::number(v.toDouble(), 'f', decimals) : QStringLiteral("-");
}

QString Bound(const QJsonValue& v)
{
    return v.isDouble() ? QString::number(v.toDouble(), 'g', 10) : QString();
}

// LOW..HIGH, with the marginal band after it when there is one; "-" without limits.
QString Limits(const QJsonObject& o)
{
    if (!o["low"].isDouble() && !o["high"].isDouble())
        return QStringLiteral("-");
    QString text = Bound(o["low"]) + QStringLiteral("..") + Bound(o["high"]);
    if (o["marginal_low"].isDouble() || o["marginal_high"].isDouble())
        text += QStringLiteral(" marginal ") + Bound(o["marginal_low"]) + QStringLiteral("..")
                + Bound(o["marginal_high"]);
    return text;
}

// One histogram line: the bins with runs, "[from, to) runs;".
void WriteCounts(const QString& label, const QJsonArray& edges, const QJsonArray& counts,
                 QTextStream& out)
{
    out << "  " << label << ":";
    for (qsizetype i = 0; i < counts.size(); ++i)
        if (counts[i].toInteger())
            out << " [" << Bound(edges[i]) << ", " << Bound(edges[i + 1]) << ") "
                << counts[i].toInteger() << ";";
    out << "\n";
}

// The measurements' figures of the period, from their facts: per bench and week the mean,
// standard deviation and Cpk, then each measurement's histogram per bench and per slot.
void WriteMeasures(const QSqlDatabase& db, const TRunFilter& f, QTextStream& out)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT value FROM tolvek_meta WHERE key = 'schema'")) || !q.next()
        || q.value(0).toInt() < kMeasureWeeksSchema)
        return; // made before the measurements were kept (a read-only query changes nothing)
    q.finish();
    const QString since = f.Since.isEmpty() ? QStringLiteral("0000") : f.Since,
                  until = f.Until.isEmpty() ? QStringLiteral("9999") : f.Until;
    const auto stats = MeasureStats(db, since, until);
    out << "measurement     bench             week      runs          mean            sd"
           "     Cpk  limits\n";
    QStringList measurements;
    for (const auto& v : stats) {
        const auto o = v.toObject();
        if (!measurements.contains(o["measurement"].toString()))
            measurements << o["measurement"].toString();
        out << QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8\n")
                        .arg(o["measurement"].toString(), -14)
                        .arg(Q(o["bench"].toString().toStdString()), -16)
                        .arg(o["week"].toString(), -8)
                        .arg(o["runs"].toInteger(), 4)
                        .arg(Figure(o["mean"], 4), 12)
                        .arg(Figure(o["sd"], 4), 12)
                        .arg(Figure(o["cpk"], 2), 6)
                        .arg(Limits(o));
    }
    for (const auto& m : measurements) {
        const auto h = MeasureHistogram(db, m, since, until);
        const auto edges = h["edges"].toArray();
        out << "\nhistogram " << m;
        if (const QString limits = Limits(h); limits != QLatin1String("-"))
            out << " (limits " << limits << ")";
        out << ", runs per bin [from, to), per bench and slot:\n";
        for (const auto& b : h["benches"].toArray()) {
            const auto o = b.toObject();
            const QString bench = Q(o["bench"].toString().toStdString());
            WriteCounts(bench, edges, o["counts"].toArray(), out);
            for (const auto& s : o["slots"].toArray()) {
                const auto slot = s.toObject()["slot"].toString();
                WriteCounts(
                        bench + QLatin1Char(' ')
                                + (slot.isEmpty() ? QStringLiteral("-") : Q(slot.toStdString())),
                        edges, s.toObject()["counts"].toArray(), out);
            }
        }
    }
}

QString Percent(qint64 part, qint64 whole)
{
    return whole ? QStringLiteral("%1% (%2/%3)")
                           .arg(100.0 * double(part) / double(whole), 0, 'f', 1)
                           .arg(part)
                           .arg(whole)
                 : QStringLiteral("-");
}

// The check names come from the units: printed as text, like everything else here.
void WriteYieldBySlot(const std::vector<TYieldSlot>& rows, QTextStream& out)
{
    out << "bench             slot      runs  passed  failed  aborted  untested  first-pass yield"
           "   failing checks (runs)\n";
    for (const auto& s : rows) {
        QStringList checks;
        for (const auto& [check, runs] : s.Checks)
            checks << QStringLiteral("%1 (%2)").arg(Q(check.toStdString())).arg(runs);
        out << QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8  %9\n")
                        .arg(Q(s.Bench.toStdString()), -16)
                        .arg(s.Slot.isEmpty() ? QStringLiteral("-") : Q(s.Slot.toStdString()), -8)
                        .arg(s.Runs, 4)
                        .arg(s.Passed, 6)
                        .arg(s.Failed, 6)
                        .arg(s.Aborted, 7)
                        .arg(s.Untested, 8)
                        .arg(Percent(s.FirstPassed, s.Units), -17)
                        .arg(checks.isEmpty() ? QStringLiteral("-")
                                              : checks.join(QStringLiteral(", ")));
    }
}

int Query(const TArchiveCommand& c, QSqlDatabase db, QTextStream& out, QTextStream& err)
{
    QSqlError e;
    bool found = true;
    switch (c.Kind) {
    case TArchiveCommand::TKind::Show: {
        const auto run = QueryRun(db, c.RunId, e);
        if (run)
            WriteRun(*run, out);
        found = run.has_value();
        break;
    }
    case TArchiveCommand::TKind::Yield:
        if (c.BySlot) {
            if (const auto rows = QueryYieldBySlot(db, c.Filter.Since, c.Filter.Until, e))
                WriteYieldBySlot(*rows, out);
        } else if (c.ByMeasurement) {
            try {
                WriteMeasures(db, c.Filter, out);
            } catch (const std::runtime_error& error) {
                e = QSqlError(QString::fromUtf8(error.what()));
            }
        } else if (const auto days = QueryYield(db, c.Filter, e)) {
            // The day table alone: scripts read it.
            WriteYield(*days, out);
        }
        break;
    default: {
        // Each run is written as it is read: the output starts at once and memory stays flat.
        const bool csv =
                c.Kind == TArchiveCommand::TKind::Export && c.Format == QLatin1String("csv");
        if (csv)
            out << RunCsvHeader();
        e = ForEachRun(
                db, c.Filter, c.Kind == TArchiveCommand::TKind::Export, [&](const TRunRecord& r) {
                    if (c.Kind == TArchiveCommand::TKind::History)
                        WriteHistory(r, out);
                    else if (csv)
                        out << RunCsvLine(r);
                    else
                        out << QJsonDocument(RunRecordToJson(r)).toJson(QJsonDocument::Compact)
                            << "\n";
                });
        break;
    }
    }
    if (e.isValid()) {
        err << "tolvek: " << e.text().trimmed() << "\n";
        return 1;
    }
    if (!found) {
        err << "tolvek: no run " << c.RunId << "\n";
        return 1;
    }
    return 0;
}

int ForwardStatus(TRunArchive& archive, QTextStream& out, QTextStream& err)
{
    if (const QString error = archive.OpenExisting(); !error.isEmpty()) {
        err << "tolvek: " << error << "\n";
        return 1;
    }
    const int pending = archive.PendingCount();
    out << "unsent runs: " << archive.UnsentCount();
    if (pending > 0)
        out << ", and " << pending << " kept in " << archive.PendingFolder();
    out << "\n";
    if (const QString oldest = archive.OldestUnsentStart(); !oldest.isEmpty()) {
        const auto started = QDateTime::fromString(oldest, Qt::ISODateWithMs);
        out << "oldest unsent: started " << started.toLocalTime().toString(Qt::ISODate) << ", "
            << started.secsTo(QDateTime::currentDateTimeUtc()) << " s ago\n";
    }
    const auto last = archive.LastForwardError();
    out << "last error: "
        << (last.Text.isEmpty() ? QStringLiteral("none") : last.At + QLatin1Char(' ') + last.Text)
        << "\n";
    return 0;
}

} // namespace

QString ArchivePathOption(const QCommandLineParser& p)
{
    return p.isSet(QStringLiteral("archive")) ? p.value(QStringLiteral("archive"))
                                              : DefaultArchivePath();
}

std::optional<TArchiveCommand> ArchiveCommandFromParser(const QCommandLineParser& p, QString& error)
{
    using K = TArchiveCommand::TKind;
    const std::pair<const char*, K> kinds[] = {{"history", K::History},
                                               {"show", K::Show},
                                               {"export", K::Export},
                                               {"yield", K::Yield},
                                               {"forward", K::Forward}};
    // The parser has seen to it that one mode is given, with only its own options.
    std::optional<TArchiveCommand> c;
    for (const auto& [name, kind] : kinds)
        if (!c && p.isSet(QLatin1String(name))) {
            c.emplace();
            c->Kind = kind;
        }
    if (!c)
        return std::nullopt;
    c->ArchivePath = ArchivePathOption(p);
    c->Line = p.isSet(QStringLiteral("line"));
    c->Status = p.isSet(QStringLiteral("status"));
    c->Follow = p.isSet(QStringLiteral("follow"));
    if (c->Status && c->Follow)
        error = QStringLiteral("--status and --follow do not go together");
    if (p.isSet(QStringLiteral("by"))) {
        const QString by = p.value(QStringLiteral("by"));
        c->BySlot = by == QLatin1String("slot");
        c->ByMeasurement = by == QLatin1String("measurement");
        if (!c->BySlot && !c->ByMeasurement)
            error = QStringLiteral("--by takes slot (per bench and network port) or measurement"
                                   " (mean, sd, Cpk and histograms)");
    }
    c->RunId = p.value(QStringLiteral("show"));
    c->Format = p.value(QStringLiteral("export"));
    if (c->Kind == K::Export && c->Format != QLatin1String("json")
        && c->Format != QLatin1String("csv"))
        error = QStringLiteral("--export takes json or csv");
    if (c->Kind == K::History)
        c->Filter.Serial = p.positionalArguments().value(0);
    for (const auto& [name, day] :
         {std::pair{"since", &c->Filter.Since}, std::pair{"until", &c->Filter.Until}}) {
        const QString text = p.value(QLatin1String(name));
        if (text.isEmpty())
            continue;
        const auto parsed = ParseDay(text);
        if (!parsed)
            error = QStringLiteral("--%1 takes a day as yyyy-mm-dd, not \"%2\"")
                            .arg(QLatin1String(name), text);
        else
            *day = *parsed;
    }
    if (!error.isEmpty())
        return std::nullopt;
    return c;
}

int RunArchiveCommand(const TArchiveCommand& c, QTextStream& out, QTextStream& err,
                      const std::function<bool()>& stop)
{
    if (c.Status) {
        TRunArchive archive(c.ArchivePath);
        return ForwardStatus(archive, out, err);
    }
    std::optional<TLineTarget> target;
    if (c.Line || c.Kind == TArchiveCommand::TKind::Forward) {
        const QString uri = ConfiguredLineUri();
        QString error =
                QStringLiteral(
                        "no line database is set ([Line] Database in %1, or TOLVEK_LINE_DATABASE)")
                        .arg(StationSettingsFile());
        if (!uri.isEmpty())
            target = ParseLineUri(uri, error);
        if (!target) {
            err << "tolvek: " << error << "\n";
            return 1;
        }
    }
    if (c.Follow) {
        FollowForward(c.ArchivePath, *target, stop,
                      [&](const QString& news) { err << "tolvek: " << news << Qt::endl; });
        return 0;
    }
    TRunArchive archive(c.ArchivePath);
    if (c.Kind == TArchiveCommand::TKind::Forward) {
        TLineDatabase line(*target);
        const auto outcome = ForwardBacklog(archive, line);
        out << "forwarded " << outcome.Sent << " runs to " << target->Describe() << "; "
            << (outcome.Left >= 0 ? QString::number(outcome.Left) + QStringLiteral(" left")
                                  : QStringLiteral("the unsent runs cannot be counted"));
        if (outcome.Pending > 0)
            out << ", and " << outcome.Pending << " kept in " << archive.PendingFolder();
        out << "\n";
        if (!outcome.Message.isEmpty())
            err << "tolvek: " << outcome.Message << "\n";
        return outcome.Message.isEmpty() ? 0 : 1;
    }
    if (target) {
        TLineDatabase line(*target);
        if (const QString error = line.Open(); !error.isEmpty()) {
            err << "tolvek: " << error << "\n";
            return 1;
        }
        return Query(c, line.Database(), out, err);
    }
    if (const QString error = archive.OpenExisting(); !error.isEmpty()) {
        err << "tolvek: " << error << "\n";
        return 1;
    }
    return Query(c, archive.Database(), out, err);
}

} // namespace tolvek
