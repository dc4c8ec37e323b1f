// Which network port (fixture slot) each run went through, and the figures per bench and
// slot that show a worn contact in one slot: kept beside the runs in both the bench's
// archive and the line database, in the dialect both understand.
#pragma once

#include "archive/run_facts.h"
#include "core/run_record.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>
#include <vector>

namespace tolvek {

// The schema that added the slots' table.
constexpr int kRunSlotsSchema = kRunTrendsSchema + 1;
// Its statements, idempotent; an older store gets them in its migration.
QStringList RunSlotsSchema();

// The schema that added the sums per bench, day and slot, so that a year's figures per slot
// read a few thousand rows instead of every run.
constexpr int kSlotStatsSchema = kMeasureFactsSchema + 1;
QStringList SlotStatsSchema();
// Counts one bench's day per slot anew from its runs (with the unit and check facts);
// `day` empty: every bench's day there is, as a store gaining the sums does once.
QSqlError RefreshSlotStats(QSqlDatabase& db, const QString& day = {}, const QString& station = {});

// Keeps the port of each run that had one; prepared once.
class TRunSlotWriter
{
public:
    explicit TRunSlotWriter(const QSqlDatabase& db);
    QSqlError Add(const TRunRecord& record);

private:
    QSqlQuery query_;
    bool prepared_ = false;
};

// One bench's slot over a period; Slot is empty for runs made without a port.
struct TYieldSlot
{
    QString Bench, Slot;
    qint64 Runs = 0, Passed = 0, Failed = 0, Aborted = 0, Untested = 0;
    qint64 Units = 0;       // serial numbers whose first run ever was in this slot, in the period
    qint64 FirstPassed = 0; // of those, how many passed it
    std::vector<std::pair<QString, qint64>> Checks; // failing checks, most runs first
};

// Per bench and slot (by bench, then slot) of the days since..until (yyyy-mm-dd, both
// included; empty = open). The figures of `--yield` and the line view, from the facts.
std::optional<std::vector<TYieldSlot>> QueryYieldBySlot(QSqlDatabase& db, const QString& since,
                                                        const QString& until, QSqlError& error);

// One slot's runs in the period, newest first, at most `limit`: id, started, bench, serial,
// verdict, in that order in each row.
std::optional<std::vector<QStringList>> QueryRunsOfSlot(QSqlDatabase& db, const QString& bench,
                                                        const QString& slot, const QString& since,
                                                        const QString& until, int limit,
                                                        QSqlError& error);

} // namespace tolvek
