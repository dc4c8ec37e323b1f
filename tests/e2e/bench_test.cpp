// scripts/bench-run: passed runs of the station window and of `tolvek --run` against the
// stand-in unit, timed against a plain socket client that reads the same report from the
// same stand-in.
#include "unit_harness.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using namespace e2e;

namespace {

int EnvInt(const char* name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

} // namespace

TEST(Bench, DISABLED_PassedRunAgainstPlainClient)
{
    const int runs = EnvInt("TOLVEK_BENCH_RUNS", 20);
    const int repeat = EnvInt("TOLVEK_BENCH_REPEAT", 50);
    TStandIn unit(QStringLiteral("pass"), {QStringLiteral("--repeat"), QString::number(repeat)});
    ASSERT_TRUE(unit.ok());

    QProcess client;
    client.start(QStringLiteral("python3"),
                 {QStringLiteral(TOLVEK_SOURCE_DIR "/standin/report_client.py"),
                  QString::fromLatin1(kUnitAddress), QStringLiteral("--runs"),
                  QString::number(runs)});
    ASSERT_TRUE(client.waitForFinished(120000));
    bool ok = false;
    const double plain =
            QString::fromLatin1(client.readAllStandardOutput()).trimmed().toDouble(&ok);
    ASSERT_TRUE(ok && plain > 0);

    TStation st;
    st.run(); // warm-up: first connection, fonts, caches
    ASSERT_EQ(st.form().runResultState(), 1);
    double station = 0;
    for (int i = 0; i < runs; ++i) {
        station += st.run();
        ASSERT_EQ(st.form().runResultState(), 1);
    }

    // tolvek --run as a rack starts it: a fresh program for every unit. The program's own
    // start (tolvek --version) is timed too, to show the run apart from it.
    auto timeProgram = [&](const QStringList& args) {
        double seconds = 0;
        for (int i = 0; i < runs; ++i) {
            QProcess p;
            QElapsedTimer t;
            t.start();
            p.start(QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"), args);
            EXPECT_TRUE(p.waitForFinished(60000));
            seconds += t.nsecsElapsed() / 1e9;
            EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        }
        return seconds;
    };
    const double commandLine =
            timeProgram({QStringLiteral("--run"), QString::fromLatin1(kUnitAddress),
                         QStringLiteral("--no-set-clock"), QStringLiteral("--no-ethernet"),
                         QStringLiteral("--quiet")});
    const double start = timeProgram({QStringLiteral("--version")});

    // The like-for-like yardstick for a fresh program per unit: the plain client started
    // afresh for every run too, interpreter start included.
    double plainFresh = 0;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        QElapsedTimer t;
        t.start();
        // The system's interpreter itself: a version manager's shim would add its own start.
        p.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral(TOLVEK_SOURCE_DIR "/standin/report_client.py"),
                 QString::fromLatin1(kUnitAddress)});
        EXPECT_TRUE(p.waitForFinished(60000));
        plainFresh += t.nsecsElapsed() / 1e9;
        EXPECT_EQ(p.exitCode(), 0);
    }

    const int lines = static_cast<int>(st.raw().size());
    std::printf("bench-run: %d passed runs, %d report lines each\n", runs, lines);
    std::printf("bench-run: plain socket client %.1f ms per run\n", plain * 1000 / runs);
    std::printf("bench-run: station window      %.1f ms per run, ratio %.2fx (goal: under 1.5x)\n",
                station * 1000 / runs, station / plain);
    std::printf("bench-run: tolvek --run        %.1f ms per run, ratio %.2fx (goal: under 1.5x)\n",
                commandLine * 1000 / runs, commandLine / plain);
    std::printf("bench-run:   of which program start %.1f ms; without it ratio %.2fx\n",
                start * 1000 / runs, std::max(0.0, commandLine - start) / plain);
    std::printf("bench-run: plain client started per run %.1f ms; tolvek --run against it %.2fx "
                "(goal: under 1.5x)\n",
                plainFresh * 1000 / runs, commandLine / plainFresh);
}
