// The one CSV dialect of tolvek: `--export csv` and every CSV the line view serves.
// RFC 4180: UTF-8, a comma between fields, CRLF after each line, a field quoted (its quotes
// doubled) when it holds a comma, a quote or a line break. Text that came from a unit or a
// server shows its control characters as \xNN, and a text field a spreadsheet would take
// for a formula (starting with =, +, -, @) gets an apostrophe before it, which spreadsheets
// show as text. Numbers the program writes itself are written as they are.
#pragma once

#include "archive/run_store.h"
#include "core/run_record.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace tolvek {

// One text field: visible, guarded, quoted when needed.
QString CsvText(const std::string& utf8);
// One line of fields already made by CsvText (or numbers), with its CRLF.
QByteArray CsvLine(const QStringList& fields);

// The runs' header line and one run's line (its network port last).
QByteArray RunCsvHeader();
QByteArray RunCsvLine(const TRunRecord& run);

// A table of the line view as CSV: a header of `columns`, then one line per row object with
// those keys; a string is text, a number a number, null or missing empty, true/false 1/0.
QByteArray RowsCsv(const QJsonArray& rows, const QStringList& columns);

// A piece of the runs' CSV, oldest first: the lines of the runs after `after` (the header
// before the first), about `budget` characters of records, and where the next piece starts
// (nullopt after the last run). Pieces follow one another exactly as --export prints.
struct TRunCsvPiece
{
    QByteArray Text;
    std::optional<TRunKey> Next;
};
TRunCsvPiece RunCsvPiece(QSqlDatabase& db, const TRunFilter& filter,
                         const std::optional<TRunKey>& after, qint64 budget, QSqlError& error);

} // namespace tolvek
