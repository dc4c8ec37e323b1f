// A rack: one `tolvek --run` per fixture slot, all at once on one archive, each against a
// stand-in unit of its own address. No run may be lost to its siblings. scripts/bench-archive
// runs the larger rack of the disabled bench.
#include "unit_harness.h"

#include "archive/run_archive.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSqlQuery>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

using namespace e2e;

namespace {

QString SlotAddress(int slot)
{
    return QStringLiteral("127.0.1.%1").arg(slot + 1);
}

// Runs `rounds` rounds of `slotCount` runs started together; the wall time of each round.
// `duringFirstRound` is called once the first round's runs are started.
std::vector<double> RunRack(int slotCount, int rounds, const QString& archive,
                            const std::function<void()>& duringFirstRound = {})
{
    std::vector<std::unique_ptr<TStandIn>> units;
    for (int s = 0; s < slotCount; ++s) {
        units.push_back(
                std::make_unique<TStandIn>(QStringLiteral("pass"), QStringList{}, SlotAddress(s)));
        EXPECT_TRUE(units.back()->ok());
    }
    std::vector<double> seconds;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::unique_ptr<QProcess>> runs;
        QElapsedTimer t;
        t.start();
        for (int s = 0; s < slotCount; ++s) {
            runs.push_back(std::make_unique<QProcess>());
            runs.back()->start(QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"),
                               {"--run", SlotAddress(s), "--no-set-clock", "--no-ethernet",
                                "--quiet", "--archive", archive});
        }
        if (round == 0 && duringFirstRound)
            duringFirstRound();
        for (auto& p : runs) {
            EXPECT_TRUE(p->waitForFinished(120000));
            EXPECT_EQ(p->exitCode(), 0);
            EXPECT_EQ(p->readAllStandardError(), "");
        }
        seconds.push_back(t.nsecsElapsed() / 1e9);
    }
    return seconds;
}

// Runs per unit address in the archive.
std::map<QString, int> ArchivedPerSlot(const QString& path)
{
    tolvek::TRunArchive archive(path);
    EXPECT_EQ(archive.OpenExisting(), "");
    QSqlQuery q(archive.Database());
    std::map<QString, int> runs;
    if (q.exec("SELECT address, count(*) FROM tolvek_runs GROUP BY address"))
        while (q.next())
            runs[q.value(0).toString()] = q.value(1).toInt();
    return runs;
}

int EnvInt(const char* name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

} // namespace

TEST(Rack, SlotsArchiveEveryRunOnceWhileAnotherProgramHoldsTheArchive)
{
    constexpr int kSlots = 16, kRounds = 2;
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.sqlite");
    ASSERT_EQ(tolvek::TRunArchive(path).Open(), "");
    // A query or a forwarder holding the write lock for seconds while the runs end.
    RunRack(kSlots, kRounds, path, [&] {
        auto locker = QSqlDatabase::addDatabase("QSQLITE", "rack-locker");
        locker.setDatabaseName(path);
        ASSERT_TRUE(locker.open());
        {
            QSqlQuery q(locker);
            ASSERT_TRUE(q.exec("BEGIN IMMEDIATE"));
            QThread::msleep(2000);
            q.exec("ROLLBACK");
        }
        locker.close();
        locker = QSqlDatabase();
        QSqlDatabase::removeDatabase("rack-locker");
    });
    const auto perSlot = ArchivedPerSlot(path);
    EXPECT_EQ(perSlot.size(), size_t(kSlots));
    for (const auto& [address, runs] : perSlot)
        EXPECT_EQ(runs, kRounds) << address.toStdString();
}

TEST(Bench, DISABLED_RackOfSlotsAgainstOneSlot)
{
    const int slotCount = EnvInt("TOLVEK_BENCH_SLOTS", 32),
              rounds = EnvInt("TOLVEK_BENCH_ROUNDS", 5);
    QTemporaryDir dir(QStringLiteral(TOLVEK_BINARY_DIR "/bench-rack-XXXXXX"));
    const auto one = RunRack(1, rounds, dir.filePath("one.sqlite"));
    const QString path = dir.filePath("rack.sqlite");
    const auto rack = RunRack(slotCount, rounds, path);
    int archived = 0;
    for (const auto& [address, runs] : ArchivedPerSlot(path))
        archived += runs;
    const auto median = [](std::vector<double> s) {
        std::sort(s.begin(), s.end());
        return s[s.size() / 2];
    };
    std::printf("bench-archive: rack of %d slots, %d rounds: median round %.2f s against one slot "
                "%.2f s, ratio %.2f; runs lost %d of %d (must be 0)\n",
                slotCount, rounds, median(rack), median(one), median(rack) / median(one),
                slotCount * rounds - archived, slotCount * rounds);
    EXPECT_EQ(archived, slotCount * rounds);
}
