// Saving result records after runs against the stand-in unit.
#include "unit_harness.h"

#include "app/controls.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

using namespace e2e;

namespace {

QByteArray FileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(ResultRecord, SavedAfterPassedRunsInWindows1251WithCrLf)
{
    TStation st;
    const QString file = QDir(st.dir()).filePath("cfnlr.csv");
    {
        TStandIn unit(QStringLiteral("pass"));
        ASSERT_TRUE(unit.ok());
        st.run();
        ASSERT_EQ(st.form().runResultState(), 1);
        st.now = QDateTime(QDate(2026, 12, 8), QTime(5, 10, 0)); // saved later than tested
        st.form().Button1->click();
        EXPECT_FALSE(st.form().Button1->isEnabled());
        EXPECT_TRUE(st.errorBoxes.isEmpty()) << st.errorBoxes.join('|').toStdString();
    }
    const QByteArray first =
            "\"08-12-2026 05:10:00\";\"0123456789ABCDEF\";\"\xcd\xe0\xeb\xe0\xe4\xee\xe2\";\r\n";
    EXPECT_EQ(FileBytes(file), first);

    // A second unit whose serial line tries to forge a record, saved by another operator.
    TStandIn unit(QStringLiteral("pass"), {QStringLiteral("--serial"), QStringLiteral("77\";\"x")});
    ASSERT_TRUE(unit.ok());
    st.run();
    ASSERT_EQ(st.form().runResultState(), 1);
    EXPECT_EQ(st.form().LabeledEdit2->text(), QStringLiteral("77\";\"x"));
    st.form().Name->setText(QStringLiteral("Ёлкин \"мл.\""));
    st.form().Button1->click();
    EXPECT_EQ(FileBytes(file),
              first
                      + "\"08-12-2026 05:10:00\";\"77\"\";\"\"x\";\"\xa8\xeb\xea\xe8\xed "
                        "\"\"\xec\xeb.\"\"\";\r\n");
    EXPECT_FALSE(st.form().Button1->isEnabled());
}

TEST(ResultRecord, FailedWriteKeepsTheButtonAndLeavesNoPartialLine)
{
    TStandIn unit(QStringLiteral("pass"));
    ASSERT_TRUE(unit.ok());
    TStation st;
    const QString file = QDir(st.dir()).filePath("cfnlr.csv");
    st.run();
    ASSERT_TRUE(st.form().Button1->isEnabled());

    // The file cannot be opened: a folder of that name stands in the way.
    ASSERT_TRUE(QDir(st.dir()).mkdir("cfnlr.csv"));
    st.form().Button1->click();
    ASSERT_EQ(st.errorBoxes.size(), 1);
    EXPECT_TRUE(st.errorBoxes[0].contains(file)) << st.errorBoxes[0].toStdString();
    EXPECT_TRUE(st.form().Button1->isEnabled());
    ASSERT_TRUE(QDir(st.dir()).rmdir("cfnlr.csv"));

    // The disk fills up in the middle of the line (a file-size limit of 20 bytes).
    QFile(file).open(QIODevice::WriteOnly);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit lim = old;
    lim.rlim_cur = 20;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &lim);
    st.form().Button1->click();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(st.errorBoxes.size(), 2);
    EXPECT_TRUE(st.form().Button1->isEnabled());
    EXPECT_EQ(FileBytes(file), QByteArray());

    // The operator retries once the disk has room again.
    st.form().Button1->click();
    EXPECT_EQ(st.errorBoxes.size(), 2);
    EXPECT_FALSE(st.form().Button1->isEnabled());
    EXPECT_EQ(FileBytes(file),
              "\"08-12-2026 04:46:57\";\"0123456789ABCDEF\";\"\xcd\xe0\xeb\xe0\xe4\xee\xe2\";\r\n");
}
