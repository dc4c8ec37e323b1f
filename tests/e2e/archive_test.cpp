// Every window run is archived, with the verdict the window showed, and forwarded to the
// line database; an archive that cannot be written costs one message and nothing else.
#include "unit_harness.h"

#include "archive/pg_server.h"
#include "archive/run_store.h"

#include <QFile>
#include <QPushButton>
#include <QSqlQuery>
#include <QThread>

#include <gtest/gtest.h>

using namespace e2e;
using namespace tolvek;

TEST(WindowArchive, WindowRunsAreArchivedAndReachTheLineDatabase)
{
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    testsupport::PgServer server;
    ASSERT_TRUE(server.Start());
    qputenv("TOLVEK_LINE_DATABASE", QByteArray::fromStdString(server.Uri()));
    std::vector<QStringList> journals;
    {
        TStation st;
        for (const char* scenario : {"pass", "fail-test"}) {
            TStandIn unit(QString::fromLatin1(scenario));
            ASSERT_TRUE(unit.ok());
            st.run();
            journals.push_back(st.journal());
            EXPECT_TRUE(st.messages.isEmpty()) << st.messages.join('|').toStdString();
        }
        // The window's forwarder sends them in the background.
        TRunArchive archive;
        ASSERT_TRUE(archive.OpenExisting().isEmpty());
        for (int i = 0; i < 100 && archive.UnsentCount() != 0; ++i)
            QThread::msleep(50);
        EXPECT_EQ(archive.UnsentCount(), 0);
    }
    qunsetenv("TOLVEK_LINE_DATABASE");

    TRunArchive archive;
    ASSERT_TRUE(archive.OpenExisting().isEmpty());
    auto db = archive.Database();
    QSqlError e;
    const auto runs = QueryRuns(db, {}, e, /*oldestFirst=*/true);
    ASSERT_TRUE(runs && runs->size() == 2) << e.text().toStdString();
    // Both started in the same (frozen) second: told apart by their verdicts.
    EXPECT_NE((*runs)[0].Verdict, (*runs)[1].Verdict);
    for (const auto& r : *runs) {
        const size_t i = r.Verdict == TRunVerdict::Passed ? 0 : 1;
        EXPECT_EQ(r.Verdict, i == 0 ? TRunVerdict::Passed : TRunVerdict::Failed);
        EXPECT_EQ(r.Serial, "0123456789ABCDEF");
        EXPECT_EQ(r.Options.Address, kUnitAddress);
        QStringList journal;
        for (const auto& line : r.Journal)
            journal << QString::fromStdString(line);
        EXPECT_EQ(journal.join('|'), journals[i].join('|'));
    }
    QString error;
    TLineDatabase line(*ParseLineUri(QString::fromStdString(server.Uri()), error));
    ASSERT_TRUE(line.Open().isEmpty());
    QSqlQuery q(line.Database());
    ASSERT_TRUE(q.exec("SELECT count(*) FROM tolvek_runs") && q.next());
    EXPECT_EQ(q.value(0).toInt(), 2);
}

TEST(WindowArchive, UnwritableArchiveGivesOneMessageAndTheVerdictStands)
{
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    QFile blocker(data.filePath("tolvek"));  // a file where the archive's folder belongs
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok());
    TStation st;
    st.run();
    EXPECT_EQ(st.form().runResultState(), 1);
    EXPECT_TRUE(st.form().Button1->isEnabled());
    ASSERT_EQ(st.messages.size(), 1);
    EXPECT_TRUE(st.messages[0].contains("Результат теста остаётся в силе")) << st.messages[0].toStdString();
}
