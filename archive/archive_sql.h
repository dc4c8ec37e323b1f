// Helpers shared by the archive's own files, not part of its interface.
#pragma once

#include "core/run_record.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <functional>

namespace tolvek {

// Prepares `sql` on `q`, binds `binds` in order and runs it forward only (each row read
// once, not cached by the driver); false with q.lastError() on failure.
bool Select(QSqlQuery& q, const QString& sql, const QVariantList& binds);
// The same on a new query of `db`, which it returns; throws std::runtime_error with the
// error's text on failure. Finish each before the next: PostgreSQL's driver and an
// unfinished query do not mix.
QSqlQuery Select(const QSqlDatabase& db, const QString& sql, const QVariantList& binds);

// Runs a migration reads at once, so a store of any size is walked in bounded memory.
constexpr int kMigrationChunk = 1000;

// Visits `columns` (the run id `id` first) of every row of `from` in the order of `id`, a
// chunk at a time: each chunk is read whole and its query finished before `visit` sees its
// rows, so `visit` may write. Stops at the first error, the query's or `visit`'s.
QSqlError WalkRuns(QSqlDatabase& db, const QString& id, const QString& columns, const QString& from,
                   const std::function<QSqlError(const QVariantList& row)>& visit,
                   int chunk = kMigrationChunk);

// WalkRuns over the stored records, each with its id; a record that cannot be read is skipped.
QSqlError WalkRunRecords(QSqlDatabase& db,
                         const std::function<QSqlError(const TRunRecord& record)>& visit,
                         int chunk = kMigrationChunk);

} // namespace tolvek
