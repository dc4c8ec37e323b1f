// A rack whose units all sit at the same address, one network port per slot: veth pairs
// slot1…slotN in the test's namespace (the station's), each port with the same address
// 192.168.1.1/24, and at the other end of each a namespace of its own holding a stand-in
// unit at 192.168.1.178 with its own serial number. For the e2e tests, which run as root
// in a namespace of their own.
#pragma once

#include "e2e/unit_harness.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace testsupport {

// Runs a shell script as root in the station's namespace; false (and a test failure with
// its output) on failure.
inline bool Shell(const QString& script, QString* output = nullptr)
{
    QProcess sh;
    sh.setProcessChannelMode(QProcess::MergedChannels);
    sh.start(QStringLiteral("bash"),
             {QStringLiteral("-euo"), QStringLiteral("pipefail"), QStringLiteral("-c"), script});
    const bool done = sh.waitForFinished(60000);
    const QString out = QString::fromLocal8Bit(sh.readAll());
    if (output)
        *output = out;
    if (!done || sh.exitStatus() != QProcess::NormalExit || sh.exitCode() != 0) {
        ADD_FAILURE() << "shell failed: " << script.toStdString() << "\n" << out.toStdString();
        return false;
    }
    return true;
}

// The slots' ports and the units' namespaces. Replies come back on the port a request went
// out of only with reverse-path filtering loose: every port routes the same subnet.
class TSlotNetwork
{
public:
    explicit TSlotNetwork(int slotCount)
        : prefix_(QStringLiteral("tvk%1u").arg(QCoreApplication::applicationPid()))
        , slots_(slotCount)
    {
        QString script = QStringLiteral(
                "ip addr del 192.168.1.178/32 dev lo 2>/dev/null || true\n"
                "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1\n"
                "sysctl -qw net.ipv4.conf.all.rp_filter=2 net.ipv4.conf.default.rp_filter=2\n");
        for (int s = 1; s <= slotCount; ++s)
            script +=
                    QStringLiteral("ns=%1%2\n"
                                   "ip netns del $ns 2>/dev/null || true\n"
                                   "ip netns add $ns\n"
                                   "ip netns exec $ns sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                                   "net.ipv6.conf.default.disable_ipv6=1\n"
                                   "ip link add slot%2 type veth peer name unit%2 netns $ns\n"
                                   "ip addr add 192.168.1.1/24 dev slot%2\n"
                                   "ip link set slot%2 up\n"
                                   "ip -n $ns link set lo up\n"
                                   "ip -n $ns addr add 192.168.1.178/24 dev unit%2\n"
                                   "ip -n $ns link set unit%2 up\n")
                            .arg(prefix_)
                            .arg(s);
        ok_ = Shell(script);
    }
    ~TSlotNetwork()
    {
        units_.clear();
        QString script;
        for (int s = 1; s <= slots_; ++s)
            script += QStringLiteral("ip netns del %1 2>/dev/null || true\n"
                                     "ip link del slot%2 2>/dev/null || true\n")
                              .arg(Namespace(s))
                              .arg(s);
        Shell(script);
    }
    TSlotNetwork(const TSlotNetwork&) = delete;
    TSlotNetwork& operator=(const TSlotNetwork&) = delete;

    bool ok() const { return ok_; }
    QString Prefix() const { return prefix_; }
    QString Namespace(int slot) const { return prefix_ + QString::number(slot); }
    QString dir() const { return dir_.path(); }
    static QString Serial(int slot)
    {
        return QStringLiteral("SLOT%1SN").arg(slot, 2, 10, QChar('0'));
    }

    // Starts the stand-in unit of one slot; its log is in the test's folder.
    bool StartUnit(int slot, const QString& scenario, const QStringList& extra = {})
    {
        const QStringList args{QStringLiteral("netns"),
                               QStringLiteral("exec"),
                               Namespace(slot),
                               QStringLiteral("python3"),
                               QStringLiteral(TOLVEK_SOURCE_DIR "/standin/tolvek_unit.py"),
                               QStringLiteral("--address"),
                               QString::fromLatin1(e2e::kUnitAddress),
                               QStringLiteral("--scenario"),
                               scenario,
                               QStringLiteral("--serial"),
                               Serial(slot),
                               QStringLiteral("--log"),
                               dir_.filePath(QStringLiteral("unit%1.log").arg(slot))};
        units_[slot] = std::make_unique<e2e::TPeer>(QStringLiteral("ip"), args + extra,
                                                    QStringLiteral("ready"));
        return units_[slot]->ok();
    }

    // The unit's end of the slot's cable: plugged in or pulled out.
    bool Plug(int slot, bool in)
    {
        return Shell(QStringLiteral("ip -n %1 link set unit%2 %3")
                             .arg(Namespace(slot))
                             .arg(slot)
                             .arg(in ? "up" : "down"));
    }

    // How many log lines of the slot's unit start with `event`.
    int UnitEvents(int slot, const QString& event) const
    {
        QFile f(dir_.filePath(QStringLiteral("unit%1.log").arg(slot)));
        if (!f.open(QIODevice::ReadOnly))
            return 0;
        int count = 0;
        for (const QByteArray& line : f.readAll().split('\n'))
            count += QString::fromUtf8(line).startsWith(event) ? 1 : 0;
        return count;
    }

    // Packets sent by every port of the station's namespace, lo included (/proc/net/dev
    // is the namespace's own; /sys/class/net may be another namespace's).
    static long long StationPacketsSent()
    {
        QFile dev(QStringLiteral("/proc/net/dev"));
        if (!dev.open(QIODevice::ReadOnly))
            return -1;
        long long sum = 0;
        for (const QByteArray& line : dev.readAll().split('\n')) {
            const QList<QByteArray> fields =
                    line.mid(line.indexOf(':') + 1).simplified().split(' ');
            if (line.contains(':') && fields.size() > 9)
                sum += fields[9].toLongLong(); // after the receive columns and transmitted bytes
        }
        return sum;
    }

private:
    QTemporaryDir dir_;
    QString prefix_;
    int slots_;
    bool ok_ = false;
    std::map<int, std::unique_ptr<e2e::TPeer>> units_;
};

} // namespace testsupport
