// The station's own bounds, end to end, against a stand-in unit that tries to hold it.
#include "unit_harness.h"

#include "app/controls.h"
#include "core/report.h"

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/resource.h>

using namespace e2e;

namespace {

struct THostileRun
{
    const char* scenario;
    const char* message; // the run's message box, or nullptr when the run must pass
    double minSeconds, maxSeconds;
};

void PrintTo(const THostileRun& c, std::ostream* os)
{
    *os << c.scenario;
}

class HostileUnit : public ::testing::TestWithParam<THostileRun>
{};

TEST_P(HostileUnit, RunEndsWithinTheStationsBound)
{
    const THostileRun& c = GetParam();
    TStandIn unit(QString::fromLatin1(c.scenario));
    ASSERT_TRUE(unit.ok());
    TStation st;
    const double seconds = st.run();
    EXPECT_GE(seconds, c.minSeconds);
    EXPECT_LT(seconds, c.maxSeconds);
    if (c.message) {
        EXPECT_EQ(st.messages, QStringList{QString::fromUtf8(c.message)});
        EXPECT_EQ(st.form().runResultState(), 2);
    } else {
        EXPECT_TRUE(st.messages.isEmpty()) << st.messages.join(' ').toStdString();
        EXPECT_EQ(st.journal(), PassedJournal());
        EXPECT_EQ(st.form().runResultState(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
        Scenarios, HostileUnit,
        ::testing::Values(
                // The Synch's urgent byte is data, not the end of the connection.
                THostileRun{"urgent-synch", nullptr, 0, 10},
                // The answers stop when the unit stops reading; the flood ends at the byte bound.
                THostileRun{"neg-flood", "Нет приглашения 'login:'", 0, 10},
                // A byte every 0.8 s never lets the 1 s silence pass: the 30 s bound ends it.
                THostileRun{"trickle-prompt", "Нет приглашения 'login:'", 29, 36}),
        [](const ::testing::TestParamInfo<THostileRun>& info) {
            return QString::fromLatin1(info.param.scenario).remove('-').toStdString();
        });

TEST(HostileUnitReport, AbortTakesEffectWhileALineIsTrickled)
{
    TStandIn unit(QStringLiteral("trickle-line"));
    ASSERT_TRUE(unit.ok());
    TStation st;
    // "Прервать" pressed a second after the serial line, while the next line trickles
    // in a byte a second; the press is seen when the line's wait comes back.
    QElapsedTimer sinceSerial;
    QObject::connect(st.form().ListBox1->model(), &QAbstractItemModel::rowsInserted, &st.form(),
                     [&] {
                         if (st.raw().last().startsWith(QStringLiteral("SN"))) {
                             sinceSerial.start();
                             QTimer::singleShot(1000, st.form().BitBtn3, &QPushButton::click);
                         }
                     });
    st.run();
    ASSERT_TRUE(sinceSerial.isValid());
    EXPECT_LT(sinceSerial.elapsed(), 7000);
    EXPECT_EQ(st.form().runResultState(), 3);
    EXPECT_EQ(st.raw().last(), QString()); // the unfinished line came back like silence
}

// "Прервать" pressed while a silent unit is pinged: the run ends aborted, with no message
// that the unit does not answer.
TEST(HostileUnitReport, AbortDuringTheEchoEndsTheRunAborted)
{
    TStandIn unit(QStringLiteral("no-echo"));
    ASSERT_TRUE(unit.ok());
    TStation st;
    // Handled at the "testing" status, just before the echo.
    QTimer::singleShot(0, st.form().BitBtn3, &QPushButton::click);
    st.run();
    EXPECT_EQ(st.form().runResultState(), 3);
    EXPECT_TRUE(st.messages.isEmpty()) << st.messages.join(' ').toStdString();
    EXPECT_EQ(unit.log().size(), 1); // "ready": nothing but the echo reached the unit
}

TEST(HostileUnitReport, EndlessReportEndsTheRunWithBoundedMemory)
{
    TStandIn unit(QStringLiteral("endless-report"));
    ASSERT_TRUE(unit.ok());
    TStation st;
    st.run();
    ASSERT_EQ(st.messages.size(), 1);
    EXPECT_TRUE(st.messages.first().contains(QStringLiteral("слишком длинный отчет")))
            << st.messages.first().toStdString();
    EXPECT_EQ(st.form().runResultState(), 2);
    EXPECT_LE(st.raw().size(), tolvek::kMaxReportLines + 3);
#if !defined(__SANITIZE_ADDRESS__)
    // (The sanitizer's own bookkeeping would swamp the figure.)
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 100 * 1024) << "peak KiB";
#endif
}

} // namespace
