// scripts/bench-run: passed runs of the station against the stand-in unit, timed against
// a plain socket client that reads the same report from the same stand-in.
#include "unit_harness.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <cstdio>

using namespace e2e;

namespace {

int EnvInt(const char* name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

}  // namespace

TEST(Bench, DISABLED_PassedRunAgainstPlainClient)
{
    const int runs = EnvInt("TOLVEK_BENCH_RUNS", 20);
    const int repeat = EnvInt("TOLVEK_BENCH_REPEAT", 50);
    TStandIn unit(QStringLiteral("pass"), {QStringLiteral("--repeat"), QString::number(repeat)});
    ASSERT_TRUE(unit.ok());

    QProcess client;
    client.start(QStringLiteral("python3"), {QStringLiteral(TOLVEK_SOURCE_DIR "/standin/report_client.py"),
                                             QString::fromLatin1(kUnitAddress), QStringLiteral("--runs"),
                                             QString::number(runs)});
    ASSERT_TRUE(client.waitForFinished(120000));
    bool ok = false;
    const double plain = QString::fromLatin1(client.readAllStandardOutput()).trimmed().toDouble(&ok);
    ASSERT_TRUE(ok && plain > 0);

    TStation st;
    st.run();  // warm-up: first connection, fonts, caches
    ASSERT_EQ(st.form().runResultState(), 1);
    double station = 0;
    for (int i = 0; i < runs; ++i) {
        station += st.run();
        ASSERT_EQ(st.form().runResultState(), 1);
    }
    const int lines = st.raw().size();
    std::printf("bench-run: %d passed runs, %d report lines each\n", runs, lines);
    std::printf("bench-run: plain socket client %.1f ms per run\n", plain * 1000 / runs);
    std::printf("bench-run: station             %.1f ms per run\n", station * 1000 / runs);
    std::printf("bench-run: ratio %.2fx (goal: under 1.5x)\n", station / plain);
}
