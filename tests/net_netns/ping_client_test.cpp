// ICMP echo inside a network namespace of the test's own (lo up, 192.168.1.178 local).
#include "net/ping_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

long MsSince(std::chrono::steady_clock::time_point t)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - t)
                                     .count());
}

void WriteProc(const std::string& path, const std::string& value)
{
    std::ofstream(path) << value;
}

std::string ReadProc(const std::string& path)
{
    std::string s;
    std::getline(std::ifstream(path), s);
    return s;
}

// Restores a sysctl when the test ends, whatever happens.
class ProcSetting
{
public:
    ProcSetting(std::string path, const std::string& value)
        : path_(std::move(path))
        , saved_(ReadProc(path_))
    {
        WriteProc(path_, value);
    }
    ~ProcSetting() { WriteProc(path_, saved_); }

private:
    std::string path_, saved_;
};

const char* kIgnoreEcho = "/proc/sys/net/ipv4/icmp_echo_ignore_all";
const char* kPingGroups = "/proc/sys/net/ipv4/ping_group_range";

// Runs the echo once on each way, datagram ping socket first, then the raw socket.
template<class F>
void OnBothWays(F f)
{
    bool saved = EchoServiceV4, saved6 = EchoServiceV6;
    for (bool service : {true, false}) {
        SCOPED_TRACE(service ? "datagram ping socket" : "raw socket");
        EchoServiceV4 = EchoServiceV6 = service;
        f(service);
    }
    EchoServiceV4 = saved;
    EchoServiceV6 = saved6;
}

uint16_t Sum(const std::string& s)
{
    return InternetChecksum(s);
}

// Gives up CAP_NET_RAW for good; true when raw sockets are then refused.
bool DropNetRaw()
{
    __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    syscall(SYS_capget, &hdr, data);
    data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
    data[CAP_NET_RAW / 32].permitted &= ~(1u << (CAP_NET_RAW % 32));
    return syscall(SYS_capset, &hdr, data) == 0 && ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) < 0;
}

// Runs `body` in a child process where echo sockets are allowed to the given groups, so that
// it may give up privileges for good; its result is the child's exit status.
template<class F>
int InChild(const char* echoGroups, F body)
{
    pid_t child = fork();
    if (child == 0) {
        WriteProc(kPingGroups, echoGroups);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    WriteProc(kPingGroups, "0\t2147483647");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Answers the first echo request it sees with an ICMP error quoting it, like a router would;
// before that it sends a truncated ICMP message that a careless parser would over-read.
void AnswerWithIcmpError(uint8_t type, uint8_t code, std::atomic<bool>& ready)
{
    int raw = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    ready = true;
    if (raw < 0)
        return;
    char buf[2048];
    auto start = std::chrono::steady_clock::now();
    while (MsSince(start) < 3000) {
        pollfd p{raw, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(raw, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 28)
            continue;
        size_t ihl = (static_cast<uint8_t>(buf[0]) & 0x0F) * 4u;
        if (static_cast<uint8_t>(buf[ihl]) != 8)
            continue;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr, buf + 12, 4); // back to the request's source
        std::string runt("\x00\x00\x00\x00", 4);
        sendto(raw, runt.data(), runt.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::string msg{static_cast<char>(type), static_cast<char>(code), 0, 0, 0, 0, 0, 0};
        msg.append(buf, ihl + 8);
        uint16_t sum = Sum(msg);
        msg[2] = static_cast<char>(sum >> 8);
        msg[3] = static_cast<char>(sum & 0xFF);
        sendto(raw, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        break;
    }
    ::close(raw);
}

} // namespace

TEST(Echo, LoopbackAndUnitAddressAnswerOnBothWays)
{
    ASSERT_TRUE(EchoServiceV4) << "ping_group_range should allow datagram ICMP here";
    OnBothWays([](bool service) {
        for (const char* host : {"127.0.0.1", "192.168.1.178"}) {
            TPINGSend p;
            ASSERT_TRUE(p.Echo(host)) << host;
            EXPECT_EQ(p.UsedEchoService(), service);
            EXPECT_EQ(p.ReplyError(), IE_NoError);
            EXPECT_EQ(p.ReplyErrorDesc(), "");
            EXPECT_EQ(p.ReplyFrom(), host);
            EXPECT_GE(p.PingTime(), 0); // within the same millisecond is 0, not a failure
            EXPECT_LT(p.PingTime(), 1000);
            EXPECT_EQ(p.ReplyType(), 0); // raw: echo reply type 0; datagram: left 0
            // Several echoes on one client, and an empty filler.
            p.PacketSize = 0;
            EXPECT_TRUE(p.Echo(host));
            EXPECT_EQ(p.ReplyError(), IE_NoError);
        }
        EXPECT_GE(EchoRoundTrip("127.0.0.1"), 0);
    });
}

TEST(Echo, IPv6LoopbackOnBothWays)
{
    int probe = ::socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool have6 = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (probe >= 0)
        ::close(probe);
    if (!have6)
        GTEST_SKIP() << "no ::1 in this namespace";
    OnBothWays([](bool service) {
        TPINGSend p;
        ASSERT_TRUE(p.Echo("::1"));
        EXPECT_EQ(p.UsedEchoService(), service);
        EXPECT_EQ(p.ReplyError(), IE_NoError);
        EXPECT_EQ(p.ReplyFrom(), "::1");
        if (!service) {
            EXPECT_TRUE(p.Sock.IPv6InUse());
            EXPECT_EQ(p.ReplyType(), 129);
        }
    });
}

TEST(Echo, LinkLocalTargetKeepsItsZone)
{
    if (std::system("ip link add tv0 type veth peer name tv1 && ip link set tv1 up && ip link set "
                    "tv0 up && ip -6 addr add fe80::17/64 dev tv0 nodad")
        != 0)
        GTEST_SKIP() << "no veth interface in this namespace";
    OnBothWays([](bool service) {
        TPINGSend p;
        EXPECT_TRUE(p.Echo("fe80::17%tv0")) << p.ReplyErrorDesc();
        EXPECT_EQ(p.UsedEchoService(), service);
    });
    // The namespace ends with the test program; a failed removal leaves nothing behind.
    [[maybe_unused]] const int removed = std::system("ip link del tv0");
}

TEST(Echo, SilentAddressFailsAfterTheTimeout)
{
    ProcSetting ignore(kIgnoreEcho, "1");
    OnBothWays([](bool) {
        TPINGSend p;
        p.Timeout = 600;
        auto t = std::chrono::steady_clock::now();
        EXPECT_FALSE(p.Echo("192.168.1.178"));
        long ms = MsSince(t);
        EXPECT_GE(ms, 590);
        EXPECT_LT(ms, 2000);
        EXPECT_EQ(p.PingTime(), -1);
        EXPECT_EQ(p.ReplyError(), IE_Other);
        EXPECT_EQ(p.ReplyErrorDesc(), "Unknown error");
        EXPECT_EQ(p.ReplyFrom(), "");
    });
    // The one-shot form with its default time-out of 5 s.
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(EchoRoundTrip("192.168.1.178"), -1);
    EXPECT_GE(MsSince(t), 4900);
    EXPECT_LT(MsSince(t), 7000);
}

TEST(Echo, BlackholeRouteGivesMinusOneWithoutHanging)
{
    ASSERT_EQ(std::system("ip route add blackhole 10.255.255.1"), 0);
    OnBothWays([](bool) {
        TPINGSend p;
        p.Timeout = 800;
        auto t = std::chrono::steady_clock::now();
        EXPECT_FALSE(p.Echo("10.255.255.1"));
        EXPECT_LT(MsSince(t), 2000);
        EXPECT_EQ(p.PingTime(), -1);
    });
    EXPECT_EQ(EchoRoundTrip("10.255.255.1"), -1);
    EXPECT_EQ(std::system("ip route del blackhole 10.255.255.1"), 0);
}

TEST(Echo, UnresolvableOrUnspecifiedTargetNeverPingsThisMachine)
{
    // Linux answers 0.0.0.0 itself: a mistyped address must not pass the gate.
    OnBothWays([](bool) {
        for (const char* host : {"no-such-unit.invalid", "0.0.0.0", "", "::", "192.168.1.1781"}) {
            TPINGSend p;
            p.Timeout = 500;
            EXPECT_FALSE(p.Echo(host)) << host;
            EXPECT_EQ(p.PingTime(), -1);
            EXPECT_EQ(EchoRoundTrip(host), -1) << host;
        }
    });
}

TEST(Echo, IcmpErrorsQuotingTheRequestAreAccepted)
{
    ProcSetting ignore(kIgnoreEcho, "1");
    struct Case
    {
        uint8_t type, code;
        TICMPError error;
        const char* text;
    };
    for (Case c : {Case{3, 1, IE_UnreachAddr, "Address unreachable"},
                   Case{11, 0, IE_TTLExceed, "TTL Exceeded"},
                   Case{3, 13, IE_UnreachAdmin, "Administratively prohibited"}}) {
        OnBothWays([&](bool service) {
            std::atomic<bool> ready{false};
            std::thread router(AnswerWithIcmpError, c.type, c.code, std::ref(ready));
            while (!ready)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            TPINGSend p;
            p.Timeout = 2000;
            bool ok = p.Echo("192.168.1.178");
            router.join();
            ASSERT_TRUE(ok) << int(c.type) << "/" << int(c.code);
            EXPECT_EQ(p.ReplyError(), c.error);
            EXPECT_EQ(p.ReplyErrorDesc(), c.text);
            EXPECT_EQ(p.ReplyFrom(), "192.168.1.178");
            EXPECT_GE(p.PingTime(), 0);
            if (service) {
                EXPECT_EQ(p.ReplyType(), 0);
                EXPECT_EQ(p.ReplyCode(), 0);
            } else {
                EXPECT_EQ(p.ReplyType(), c.type);
                EXPECT_EQ(p.ReplyCode(), c.code);
            }
        });
    }
}

TEST(Echo, FallsBackToRawAndFailsCleanlyWithoutEitherSocket)
{
    // Datagram ping sockets not allowed to anyone: the raw socket takes over.
    {
        ProcSetting groups(kPingGroups, "1\t0");
        TPINGSend p;
        ASSERT_TRUE(p.Echo("127.0.0.1"));
        EXPECT_FALSE(p.UsedEchoService());
        EXPECT_EQ(p.ReplyType(), 0);
        // A host out of reach is a host that does not answer, not a station that cannot ask.
        EXPECT_FALSE(p.Echo("192.0.2.1") || p.NoEchoSocket());
    }
    // And without the privilege for raw sockets as well: -1 at once, no crash, no hang.
    EXPECT_EQ(InChild("1\t0",
                      [] {
                          if (!DropNetRaw())
                              return 3;
                          auto t = std::chrono::steady_clock::now();
                          bool noSocket = false;
                          int r = EchoRoundTrip("127.0.0.1", &noSocket);
                          TPINGSend p;
                          bool ok = p.Echo("127.0.0.1");
                          return r == -1 && noSocket && !ok && p.NoEchoSocket()
                                                 && p.PingTime() == -1 && MsSince(t) < 1000
                                         ? 0
                                         : 5;
                      }),
              0);
    // An echo socket that opens but cannot send to an unroutable target: the target is amiss,
    // not the station's permission, though the raw socket it falls back to is refused.
    EXPECT_EQ(InChild("0\t2147483647",
                      [] {
                          bool noSocket = true;
                          return DropNetRaw() && EchoRoundTrip("192.0.2.1", &noSocket) == -1
                                                 && !noSocket
                                         ? 0
                                         : 1;
                      }),
              0);
}

TEST(Echo, ReservedRawSocketsServeAnOrdinaryUserWhoseCapabilityIsGone)
{
    // The installed program's case: an ordinary user holding only cap_net_raw, in a namespace
    // where echo sockets are not allowed. After the reservation no capability is left, and
    // the echo still works on both families and more than once.
    EXPECT_EQ(
            InChild("1\t0",
                    [] {
                        prctl(PR_SET_KEEPCAPS, 1);
                        if (setresgid(65534, 65534, 65534) != 0
                            || setresuid(65534, 65534, 65534) != 0)
                            return 3;
                        __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
                        __user_cap_data_struct data[2]{};
                        data[CAP_NET_RAW / 32].effective = data[CAP_NET_RAW / 32].permitted =
                                1u << (CAP_NET_RAW % 32);
                        if (syscall(SYS_capset, &hdr, data) != 0)
                            return 4;
                        ReserveRawEchoSockets();
                        syscall(SYS_capget, &hdr, data);
                        if (data[0].permitted || data[1].permitted || data[0].effective
                            || data[1].effective)
                            return 5;
                        if (::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP) >= 0)
                            return 6;
                        bool noSocket = true;
                        for (const char* host : {"127.0.0.1", "192.168.1.178", "::1", "127.0.0.1"})
                            if (EchoRoundTrip(host, &noSocket) < 0 || noSocket)
                                return 7;
                        return 0;
                    }),
            0);
}

TEST(Checksum, Rfc1071)
{
    // Worked example of RFC 1071: words 0001 f203 f4f5 f6f7 sum to ddf2 (complement 220d).
    EXPECT_EQ(InternetChecksum(std::string("\x00\x01\xf2\x03\xf4\xf5\xf6\xf7", 8)), 0x220d);
    EXPECT_EQ(InternetChecksum(std::string("\xff", 1)), 0x00ff); // odd byte padded with zero
    EXPECT_EQ(InternetChecksum(""), 0xffff);
}
