// Runs for the archive tests, and the set-up the view's tests share: an archive taken back
// to what an older tolvek made, and its runs forwarded to a line database.
#pragma once

#include "archive/line_database.h"
#include "archive/run_archive.h"
#include "archive/run_record_json.h"
#include "core/run_record.h"

#include <gtest/gtest.h>

#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include <initializer_list>
#include <string>

namespace archivetest {

inline tolvek::TRunRecord MakeRun(const std::string& started, const std::string& serial,
                                  tolvek::TRunVerdict verdict)
{
    tolvek::TRunRecord r;
    r.Started = started;
    r.Finished = started;
    r.Serial = serial;
    r.Verdict = verdict;
    r.Options.Address = "192.168.1.178";
    r.Failures = verdict == tolvek::TRunVerdict::Passed ? 0 : 1;
    r.Journal = {"date: " + started, "IP: 192.168.1.178"};
    r.Report = {"SN" + serial};
    return r;
}

// Statements that drop the named tables (without their "tolvek_" prefix).
inline QStringList DropTables(std::initializer_list<const char*> tables)
{
    QStringList sql;
    for (const char* table : tables)
        sql << QStringLiteral("DROP TABLE tolvek_%1").arg(QLatin1String(table));
    return sql;
}

// The statement that marks an archive as of the schema `version`.
inline QString SetSchema(int version)
{
    return QStringLiteral("UPDATE tolvek_meta SET value = '%1' WHERE key = 'schema'").arg(version);
}

// Runs `sql` on the archive at `path` through a connection of its own, closed after: how a
// test takes an archive back to what an older tolvek made.
inline void Rewrite(const QString& path, const QStringList& sql)
{
    const QString name = QStringLiteral("archivetest-rewrite");
    {
        auto db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open());
        QSqlQuery q(db);
        for (const QString& statement : sql)
            EXPECT_TRUE(q.exec(statement))
                    << statement.toStdString() << ": " << q.lastError().text().toStdString();
    }
    QSqlDatabase::removeDatabase(name);
}

// Sends every run of the archive at `path` to the line database at `uri`.
inline tolvek::TForwardOutcome ForwardAll(const QString& path, const std::string& uri)
{
    QString error;
    const auto target = tolvek::ParseLineUri(QString::fromStdString(uri), error);
    EXPECT_TRUE(target) << error.toStdString();
    if (!target)
        return {};
    tolvek::TRunArchive archive(path);
    tolvek::TLineDatabase line(*target);
    return tolvek::ForwardBacklog(archive, line);
}

} // namespace archivetest
