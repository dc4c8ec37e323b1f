#include "archive/archive_sql.h"

#include "archive/run_record_json.h"

#include <QJsonDocument>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <stdexcept>
#include <vector>

namespace tolvek {

bool Select(QSqlQuery& q, const QString& sql, const QVariantList& binds)
{
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        return false;
    for (const auto& b : binds)
        q.addBindValue(b);
    return q.exec();
}

QSqlQuery Select(const QSqlDatabase& db, const QString& sql, const QVariantList& binds)
{
    QSqlQuery q(db);
    if (!Select(q, sql, binds))
        throw std::runtime_error(q.lastError().text().trimmed().toStdString());
    return q;
}

QSqlError WalkRuns(QSqlDatabase& db, const QString& id, const QString& columns, const QString& from,
                   const std::function<QSqlError(const QVariantList& row)>& visit, int chunk)
{
    const QString sql = QStringLiteral("SELECT %1 FROM %2 WHERE %3 > ? ORDER BY %3 LIMIT %4")
                                .arg(columns, from, id)
                                .arg(chunk);
    QString last(QLatin1String("")); // not null: "id > NULL" holds for no row
    for (;;) {
        std::vector<QVariantList> rows;
        {
            QSqlQuery q(db);
            if (!Select(q, sql, {last}))
                return q.lastError();
            const int n = q.record().count();
            while (q.next()) {
                QVariantList row;
                row.reserve(n);
                for (int i = 0; i < n; ++i)
                    row << q.value(i);
                rows.push_back(std::move(row));
            }
            if (q.lastError().isValid())
                return q.lastError();
        }
        if (!rows.empty())
            last = rows.back().front().toString();
        for (const auto& row : rows)
            if (auto e = visit(row); e.isValid())
                return e;
        if (rows.size() < size_t(chunk))
            return {};
    }
}

QSqlError WalkRunRecords(QSqlDatabase& db,
                         const std::function<QSqlError(const TRunRecord& record)>& visit, int chunk)
{
    return WalkRuns(
            db, QStringLiteral("id"), QStringLiteral("id, record"), QStringLiteral("tolvek_runs"),
            [&](const QVariantList& row) {
                auto r = RunRecordFromJson(
                        QJsonDocument::fromJson(row[1].toString().toUtf8()).object());
                if (!r)
                    return QSqlError();
                r->Id = row[0].toString().toStdString();
                return visit(*r);
            },
            chunk);
}

} // namespace tolvek
