#include "archive/run_csv.h"

#include "core/visible_text.h"

#include <QJsonObject>
#include <QLocale>

namespace tolvek {
namespace {

QString Quoted(const QString& text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"'))
        && !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Visible text, guarded and quoted.
QString Field(QString text)
{
    if (!text.isEmpty() && QStringLiteral("=+-@").contains(text.front()))
        text.prepend(QLatin1Char('\''));
    return Quoted(text);
}

// The journal and the report: one field, each line visible, the lines apart by LF.
QString Lines(const std::vector<std::string>& lines)
{
    QStringList visible;
    for (const auto& l : lines)
        visible << QString::fromStdString(VisibleText(l));
    return Field(visible.join(QLatin1Char('\n')));
}

QString Flag(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

QString Number(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

} // namespace

QString CsvText(const std::string& utf8)
{
    return Field(QString::fromStdString(VisibleText(utf8)));
}

QByteArray CsvLine(const QStringList& fields)
{
    return fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

QByteArray RunCsvHeader()
{
    return "id,started,finished,station,version,address,set_clock,ethernet,tamper,vac,verdict,"
           "failures,message,serial,transfer,transfer_reason,journal,report,port\r\n";
}

QByteArray RunCsvLine(const TRunRecord& r)
{
    return CsvLine(
            {CsvText(r.Id), CsvText(r.Started), CsvText(r.Finished), CsvText(r.Station),
             CsvText(r.Version), CsvText(r.Options.Address), Flag(r.Options.SetClock),
             Flag(r.Options.Ethernet), Flag(r.Options.Tamper), Flag(r.Options.Vac),
             QLatin1String(VerdictName(r.Verdict)), QString::number(r.Failures),
             CsvText(r.Message.value_or("")), CsvText(r.Serial),
             r.Transfer ? QString::fromLatin1(r.Transfer->Passed ? "passed" : "failed") : QString(),
             r.Transfer ? CsvText(r.Transfer->Reason) : QString(), Lines(r.Journal),
             Lines(r.Report), CsvText(r.Options.Interface)});
}

QByteArray RowsCsv(const QJsonArray& rows, const QStringList& columns)
{
    QByteArray csv = CsvLine(columns);
    QStringList fields;
    for (const auto& row : rows) {
        const QJsonObject o = row.toObject();
        fields.clear();
        for (const auto& column : columns) {
            const QJsonValue v = o.value(column);
            fields << (v.isString()   ? CsvText(v.toString().toStdString())
                       : v.isDouble() ? Number(v.toDouble())
                       : v.isBool()   ? Flag(v.toBool())
                                      : QString());
        }
        csv += CsvLine(fields);
    }
    return csv;
}

TRunCsvPiece RunCsvPiece(QSqlDatabase& db, const TRunFilter& filter,
                         const std::optional<TRunKey>& after, qint64 budget, QSqlError& error)
{
    TRunCsvPiece piece;
    if (!after)
        piece.Text = RunCsvHeader();
    // An empty piece tells that the one before was the last.
    constexpr int kMostRuns = 500;
    std::optional<TRunKey> last;
    error = ForEachRunAfter(db, filter, after, kMostRuns, budget, last,
                            [&](const TRunRecord& r) { piece.Text += RunCsvLine(r); });
    if (!error.isValid())
        piece.Next = last;
    return piece;
}

} // namespace tolvek
