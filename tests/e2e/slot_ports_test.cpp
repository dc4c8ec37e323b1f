// A rack whose units all sit at the same address, one network port per slot: veth pairs
// slot1…slotN in the test's namespace (the station's), each port with the same address
// 192.168.1.1/24, and at the other end of each a namespace of its own holding a stand-in unit
// at 192.168.1.178 with its own serial number and scenario. Each `tolvek --run --interface`
// must reach its own slot's unit and no other.
#include "support/slot_network.h"
#include "unit_harness.h"

#include "net/ftp_client.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <net/if.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <map>

using namespace e2e;

namespace {

using testsupport::Shell;
using testsupport::TSlotNetwork;

// One `tolvek --run` per slot, all started together; the settings file of each names
// `settingsPort` under [Network] when given.
struct TSlotRun
{
    std::unique_ptr<QProcess> process;
    QString json;
};

TSlotRun StartRun(const QString& dir, int slot, const QString& port, bool portFromSettings,
                  const QStringList& extra)
{
    TSlotRun run;
    static int count = 0;
    run.json = QStringLiteral("%1/slot%2-%3.json").arg(dir).arg(slot).arg(++count);
    const QString config = QStringLiteral("%1/config%2").arg(dir).arg(slot);
    QDir().mkpath(config);
    QStringList args{QStringLiteral("--run"),     QString::fromLatin1(kUnitAddress),
                     QStringLiteral("--json"),    run.json,
                     QStringLiteral("--archive"), dir + QStringLiteral("/runs.sqlite")};
    if (portFromSettings) {
        QFile ini(config + QStringLiteral("/tolvek.ini"));
        if (ini.open(QIODevice::WriteOnly))
            ini.write("[TForm1]\nName_Text=x\n\n[Network]\nInterface=" + port.toUtf8() + "\n");
    } else if (!port.isEmpty()) {
        args << QStringLiteral("--interface") << port;
    }
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    env.remove(QStringLiteral("TOLVEK_LINE_DATABASE"));
    run.process = std::make_unique<QProcess>();
    run.process->setProcessEnvironment(env);
    run.process->start(QStringLiteral(TOLVEK_BINARY_DIR "/app/tolvek"), args + extra);
    return run;
}

QJsonObject ReadRecord(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object()
                                       : QJsonObject();
}

// What one slot is given and what its run must end with.
struct TSlotCase
{
    const char* scenario;
    int exit;              // the run's exit status, every round
    const char* message;   // a line its standard error must hold; "" for none
    bool reached;          // its unit sees one telnet session a round
    const char* port = ""; // the --interface given; "" = the slot's own port, "-" = none
    bool portFromSettings = false;
    QStringList extra = {};
    int servedBy = 0; // the slot whose unit it reaches; 0 = its own
};

struct TRackCase
{
    const char* name;
    int rounds;
    const char* before; // shell run in the station's namespace first; NS = the units' prefix
    std::vector<TSlotCase> units;
    bool noPacket = false; // not one packet may leave the station
};

class SlotPorts : public ::testing::TestWithParam<TRackCase>
{};

TEST_P(SlotPorts, EachRunReachesItsOwnSlotsUnitOnly)
{
    const TRackCase& rack = GetParam();
    const int slotCount = static_cast<int>(rack.units.size());
    TSlotNetwork net(slotCount);
    ASSERT_TRUE(net.ok());
    for (int s = 1; s <= slotCount; ++s)
        ASSERT_TRUE(net.StartUnit(s, QString::fromLatin1(rack.units[s - 1].scenario)));
    if (*rack.before) {
        ASSERT_TRUE(Shell(QString::fromLatin1(rack.before).replace("NS", net.Prefix())));
    }
    const long long sentBefore = TSlotNetwork::StationPacketsSent();
    const auto portOf = [](const TSlotCase& c, int s) {
        return *c.port ? QString::fromLatin1(c.port) : QStringLiteral("slot%1").arg(s);
    };
    std::map<int, int> sessions; // per unit, each round
    for (int s = 1; s <= slotCount; ++s)
        if (rack.units[s - 1].reached)
            ++sessions[rack.units[s - 1].servedBy ? rack.units[s - 1].servedBy : s];
    for (int round = 1; round <= rack.rounds; ++round) {
        std::vector<TSlotRun> runs;
        for (int s = 1; s <= slotCount; ++s) {
            const TSlotCase& c = rack.units[s - 1];
            const QString port = portOf(c, s);
            runs.push_back(StartRun(net.dir(), s, port == QLatin1String("-") ? QString() : port,
                                    c.portFromSettings,
                                    QStringList{QStringLiteral("--quiet")} + c.extra));
        }
        for (int s = 1; s <= slotCount; ++s) {
            const TSlotCase& c = rack.units[s - 1];
            SCOPED_TRACE(QStringLiteral("round %1 slot %2").arg(round).arg(s).toStdString());
            QProcess& p = *runs[s - 1].process;
            ASSERT_TRUE(p.waitForFinished(180000));
            const QString err = QString::fromUtf8(p.readAllStandardError());
            EXPECT_EQ(p.exitCode(), c.exit) << err.toStdString();
            if (*c.message) {
                EXPECT_TRUE(err.contains(QString::fromUtf8(c.message))) << err.toStdString();
            }
            const QJsonObject record = ReadRecord(runs[s - 1].json);
            const QJsonValue port = record["station"].toObject()["interface"];
            if (portOf(c, s) == QLatin1String("-"))
                EXPECT_TRUE(port.isNull());
            else
                EXPECT_EQ(port.toString(), portOf(c, s));
            EXPECT_EQ(record["serial"].toString(),
                      c.reached ? TSlotNetwork::Serial(c.servedBy ? c.servedBy : s) : QString());
            EXPECT_EQ(net.UnitEvents(s, QStringLiteral("telnet connect ")), sessions[s] * round);
        }
    }
    if (rack.noPacket) {
        EXPECT_EQ(TSlotNetwork::StationPacketsSent(), sentBefore);
    }
}

void PrintTo(const TRackCase& rack, std::ostream* out)
{
    *out << rack.name;
}

const TSlotCase kPass{"pass", 0, "", true};

INSTANTIATE_TEST_SUITE_P(
        Rack, SlotPorts,
        ::testing::Values(
                // Eight units at one address, each its own serial and verdict, three rounds;
                // the transfer test runs on every other slot (passive FTP through the port).
                TRackCase{"EightSlotsThreeRounds",
                          3,
                          "",
                          {{"pass", 0, "", true},
                           {"fail-test", 1, "", true},
                           {"tamper-fail", 1, "", true, "", false, {"--tamper", "--no-ethernet"}},
                           {"pass", 0, "", true, "", true},
                           {"vac-fail", 1, "", true, "", false, {"--vac", "--no-ethernet"}},
                           {"ftp-corrupt", 1, "", true},
                           {"fail-test", 1, "", true, "", false, {"--no-ethernet"}},
                           {"pass", 0, "", true, "", false, {"--no-ethernet"}}}},
                // A slot whose unit is unplugged fails as a silent unit; its neighbours pass.
                TRackCase{"OneUnitAbsent",
                          1,
                          "ip -n NS2 link set unit2 down",
                          {kPass, {"pass", 1, "Блок не отвечает", false}, kPass}},
                // Replies to slot 2 arrive on a port that is not the subnet's first route:
                // strict reverse-path filtering drops them, so the rack needs it loose.
                TRackCase{"StrictReversePathFilter",
                          1,
                          "sysctl -qw net.ipv4.conf.all.rp_filter=1 "
                          "net.ipv4.conf.slot1.rp_filter=1 net.ipv4.conf.slot2.rp_filter=1",
                          {kPass, {"pass", 1, "Блок не отвечает", false}}},
                // Without a port the routing table picks the subnet's first port: slot 2's run
                // tests slot 1's unit, the mix-up the ports are there to prevent.
                TRackCase{"NoPortGoesToTheFirstRoute",
                          1,
                          "",
                          {kPass, {"pass", 0, "", true, "-", false, {}, 1}}},
                // A port that is not there, or is switched off: the station's fault, found
                // before anything is sent.
                TRackCase{"PortMissingOrDown",
                          1,
                          "ip link set slot2 down",
                          {{"pass", 3, "Нет сетевого порта станции \"slot9\"", false, "slot9"},
                           {"pass", 3, "Сетевой порт станции \"slot2\" выключен", false}},
                          true}),
        [](const ::testing::TestParamInfo<TRackCase>& info) {
            return std::string(info.param.name);
        });

// Active mode: the station listens on the slot's port, names that port's own address in
// PORT/EPRT, and the unit's data connection comes back through it. Every socket the client
// opens (control, listening, passive data) is bound to the port before it is used.
TEST(SlotPortsFtp, EveryModeThroughASlot)
{
    TSlotNetwork net(2);
    ASSERT_TRUE(net.ok());
    ASSERT_TRUE(net.StartUnit(1, QStringLiteral("pass")));
    ASSERT_TRUE(net.StartUnit(2, QStringLiteral("pass")));
    const std::string payload(200000, 'x');
    const struct
    {
        const char* name;
        bool passive, oldPort;
    } modes[] = {{"EPRT", false, false}, {"PORT", false, true}, {"EPSV", true, false}};
    std::vector<std::string> devices; // of every socket created
    const auto boundDevice = [&](TBlockSocket* socket) {
        char name[IFNAMSIZ + 1]{};
        socklen_t length = IFNAMSIZ;
        getsockopt(socket->Socket(), SOL_SOCKET, SO_BINDTODEVICE, name, &length);
        devices.emplace_back(name);
    };
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.name);
        TFTPSend ftp;
        ftp.TargetHost = kUnitAddress;
        ftp.TargetPort = "21";
        ftp.UserName = "root";
        ftp.Password = "";
        ftp.Interface = "slot2";
        ftp.PassiveMode = mode.passive;
        ftp.ForceOldPort = mode.oldPort;
        ftp.Timeout = 20000;
        ftp.Sock().OnCreateSocket = boundDevice;
        ftp.DSock().OnCreateSocket = boundDevice;
        ASSERT_TRUE(ftp.Login()) << ftp.Sock().LastErrorText() << " " << ftp.ResultString();
        ftp.DataStream().str(payload);
        ASSERT_TRUE(ftp.PutFile("/var/slot.bin", false));
        if (!mode.passive) {
            EXPECT_EQ(ftp.DataIP(), "192.168.1.1");
        }
        ftp.DataStream().str("");
        ASSERT_TRUE(ftp.FetchFile("/var/slot.bin", false));
        EXPECT_EQ(ftp.DataStream().str().size(), payload.size());
        ftp.Logout();
    }
    EXPECT_EQ(devices.size(), 9u); // each mode: a control socket and two data sockets
    EXPECT_EQ(std::count(devices.begin(), devices.end(), "slot2"), long(devices.size()));
    EXPECT_EQ(net.UnitEvents(2, QStringLiteral("ftp command EPRT |1|192.168.1.1|")), 2);
    EXPECT_EQ(net.UnitEvents(2, QStringLiteral("ftp command PORT 192,168,1,1,")), 2);
    EXPECT_EQ(net.UnitEvents(2, QStringLiteral("ftp stored /var/slot.bin 200000")), 3);
    EXPECT_EQ(net.UnitEvents(1, QStringLiteral("ftp connect")), 0);
}

} // namespace

namespace {

int EnvInt(const char* name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok && v > 0 ? v : fallback;
}

double ChildCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct TRackTiming
{
    double medianRound = 0, cpuPerRun = 0;
};

// `rounds` rounds of `slots` runs started together (slots 1..slots), every run passing.
TRackTiming TimeRack(TSlotNetwork& net, int slotCount, int rounds)
{
    std::vector<double> seconds;
    const double cpuBefore = ChildCpuSeconds();
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer t;
        t.start();
        std::vector<TSlotRun> runs;
        for (int s = 1; s <= slotCount; ++s)
            runs.push_back(StartRun(net.dir(), s, QStringLiteral("slot%1").arg(s), false,
                                    {QStringLiteral("--quiet")}));
        for (auto& r : runs) {
            EXPECT_TRUE(r.process->waitForFinished(180000));
            EXPECT_EQ(r.process->exitCode(), 0);
        }
        seconds.push_back(double(t.nsecsElapsed()) / 1e9);
    }
    std::sort(seconds.begin(), seconds.end());
    return {seconds[seconds.size() / 2], (ChildCpuSeconds() - cpuBefore) / (slotCount * rounds)};
}

} // namespace

// scripts/bench-slots: eight slots at once against one slot alone, each unit pacing its
// report, on the same namespaces in the same run.
TEST(Bench, DISABLED_EightSlotsAgainstOneSlot)
{
    const int slotCount = EnvInt("TOLVEK_BENCH_SLOTS", 8),
              rounds = EnvInt("TOLVEK_BENCH_ROUNDS", 5);
    const QString delay = qEnvironmentVariable("TOLVEK_BENCH_DELAY", QStringLiteral("0.1"));
    TSlotNetwork net(slotCount);
    ASSERT_TRUE(net.ok());
    for (int s = 1; s <= slotCount; ++s)
        ASSERT_TRUE(net.StartUnit(s, QStringLiteral("pass"), {QStringLiteral("--delay"), delay}));
    const TRackTiming one = TimeRack(net, 1, rounds);
    const TRackTiming rack = TimeRack(net, slotCount, rounds);
    std::printf("bench-slots: %d slots at once, %d rounds, report lines %s s apart: median "
                "round "
                "%.2f s against one slot %.2f s, wall-time ratio %.2f (goal <= 1.2); CPU per run "
                "%.0f ms against %.0f ms, ratio %.2f\n",
                slotCount, rounds, qPrintable(delay), rack.medianRound, one.medianRound,
                rack.medianRound / one.medianRound, 1000 * rack.cpuPerRun, 1000 * one.cpuPerRun,
                rack.cpuPerRun / one.cpuPerRun);
}
