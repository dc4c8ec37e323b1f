#include "net/ping_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

bool EchoServiceV4 = false;
bool EchoServiceV6 = false;

namespace {

int gEchoServiceStarts = 0;
// Raw sockets opened by ReserveRawEchoSockets, or -1.
int gReservedRaw4 = -1;
int gReservedRaw6 = -1;
// The network port each reserved socket was bound to by an echo: an ordinary user binds a
// socket once, and so every later echo through it must ask for the same port.
std::string gReservedDevice4, gReservedDevice6;

// Probed once when the program starts, as the original loaded its echo library.
struct EchoServiceStartup
{
    EchoServiceStartup() { LoadEchoService(); }
    ~EchoServiceStartup() { UnloadEchoService(); }
} gEchoServiceStartup;

bool PingSocketAllowed(int family)
{
    int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC,
                      family == AF_INET6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP));
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

constexpr uint8_t kEchoRequest4 = 8, kEchoReply4 = 0, kUnreach4 = 3, kTimeExceeded4 = 11;
constexpr uint8_t kEchoRequest6 = 128, kEchoReply6 = 129, kUnreach6 = 1, kTimeExceeded6 = 3;
constexpr size_t kIcmpHeader = 8;

bool IsUnspecified(const TSocketAddress& a)
{
    if (a.FamilyTag() == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(a.Ptr())->sin_addr.s_addr == 0;
    if (a.FamilyTag() == AF_INET6)
        return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(a.Ptr())->sin6_addr);
    return true;
}

} // namespace

void ReserveRawEchoSockets()
{
    if (getuid() == 0)
        return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    if (syscall(SYS_capget, &header, caps) != 0)
        return;
    if (!(caps[CAP_NET_RAW / 32].permitted & (1u << (CAP_NET_RAW % 32))))
        return;
    // Never connected (the echo sends to its target), so that no local address sticks to them.
    gReservedRaw4 = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    gReservedRaw6 = ::socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6);
    __user_cap_data_struct none[2]{};
    syscall(SYS_capset, &header, none);
}

void LoadEchoService()
{
    if (gEchoServiceStarts++ > 0)
        return;
    EchoServiceV4 = PingSocketAllowed(AF_INET);
    EchoServiceV6 = PingSocketAllowed(AF_INET6);
}

void UnloadEchoService()
{
    if (gEchoServiceStarts > 0)
        --gEchoServiceStarts;
}

uint16_t InternetChecksum(const std::string& data)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        sum += (static_cast<uint8_t>(data[i]) << 8) | static_cast<uint8_t>(data[i + 1]);
    if (data.size() % 2)
        sum += static_cast<uint8_t>(data.back()) << 8;
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

std::string TPINGSend::ErrorDesc(TICMPError e)
{
    switch (e) {
    case IE_NoError: return "";
    case IE_Other: return "Unknown error";
    case IE_TTLExceed: return "TTL Exceeded";
    case IE_UnreachOther: return "Unknown unreachable";
    case IE_UnreachRoute: return "No route to destination";
    case IE_UnreachAdmin: return "Administratively prohibited";
    case IE_UnreachAddr: return "Address unreachable";
    case IE_UnreachPort: return "Port unreachable";
    }
    return "Unknown error";
}

TPINGSend::TPINGSend()
    : FRandom(static_cast<uint32_t>(
            std::chrono::high_resolution_clock::now().time_since_epoch().count()))
{
    Timeout = 5000;
}

TPINGSend::~TPINGSend() = default;

void TPINGSend::SetReplyError(TICMPError e)
{
    FReplyError = e;
    FReplyErrorDesc = ErrorDesc(e);
}

void TPINGSend::TranslateReplyType(bool ip6, uint8_t type, uint8_t code)
{
    TICMPError e = IE_Other;
    if (!ip6) {
        if (type == kEchoReply4)
            e = IE_NoError;
        else if (type == kUnreach4)
            e = code == 0    ? IE_UnreachRoute
                : code == 1  ? IE_UnreachAddr
                : code == 3  ? IE_UnreachPort
                : code == 13 ? IE_UnreachAdmin
                             : IE_UnreachOther;
        else if (type == kTimeExceeded4)
            e = IE_TTLExceed;
    } else {
        if (type == kEchoReply6)
            e = IE_NoError;
        else if (type == kUnreach6)
            e = code == 0   ? IE_UnreachRoute
                : code == 1 ? IE_UnreachAdmin
                : code == 3 ? IE_UnreachAddr
                : code == 4 ? IE_UnreachPort
                            : IE_UnreachOther;
        else if (type == kTimeExceeded6)
            e = IE_TTLExceed;
    }
    SetReplyError(e);
}

bool TPINGSend::ResolveEchoTarget(const std::string& host)
{
    int family = IsIPv4Literal(host) ? AF_INET : IsIPv6Literal(host) ? AF_INET6 : AF_UNSPEC;
    int r = Sock.FillSocketAddress(host, "0", Sock.PreferIP4, SOCK_DGRAM, IPPROTO_UDP, family,
                                   FTarget);
    FTargetIP6 = FTarget.FamilyTag() == AF_INET6;
    // An unresolved name, or the any-address, would be answered by this very machine.
    return r == 0 && !IsUnspecified(FTarget);
}

bool TPINGSend::Echo(const std::string& host)
{
    FPingTime = -1;
    FReplyFrom.clear();
    FReplyType = 0;
    FReplyCode = 0;
    SetReplyError(IE_Other);
    FUsedService = false;
    FNoEchoSocket = false;
    FServiceOpened = false;
    FBuffer.assign(static_cast<size_t>(std::max(PacketSize, 0)) + 12, '\x37');
    if (!ResolveEchoTarget(host))
        return false;
    if (FTargetIP6 ? EchoServiceV6 : EchoServiceV4) {
        TServiceResult r = EchoBySystemService();
        if (r != TServiceResult::Unavailable) {
            FUsedService = true;
            return r == TServiceResult::Answered;
        }
    }
    return EchoByRawSocket(host);
}

// The datagram ping socket: the kernel sets the identifier and checksum, delivers only the
// answers to this socket, and reports ICMP errors through the socket's error queue.
TPINGSend::TServiceResult TPINGSend::EchoBySystemService()
{
    TICMPBlockSocket ping;
    ping.Datagram = true;
    ping.BindDevice = Interface;
    ping.ConfigureTTL(TTL);
    // A link-local target keeps its zone: without it the kernel refuses the send (EINVAL).
    std::string target = AddressText(FTarget);
    if (FTargetIP6 && reinterpret_cast<const sockaddr_in6*>(FTarget.Ptr())->sin6_scope_id != 0)
        target += "%"
                  + std::to_string(
                          reinterpret_cast<const sockaddr_in6*>(FTarget.Ptr())->sin6_scope_id);
    ping.Connect(target, "0");
    if (ping.Socket() == INVALID_SOCKET)
        return TServiceResult::Unavailable;
    FServiceOpened = true;
    if (ping.LastError() != 0)
        return TServiceResult::Failed;
    int on = 1;
    if (FTargetIP6)
        setsockopt(ping.Socket(), IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    else
        setsockopt(ping.Socket(), IPPROTO_IP, IP_RECVERR, &on, sizeof on);

    const uint16_t seq = static_cast<uint16_t>(FRandom());
    std::string request(kIcmpHeader, '\0');
    request[0] = static_cast<char>(FTargetIP6 ? kEchoRequest6 : kEchoRequest4);
    request[6] = static_cast<char>(seq >> 8);
    request[7] = static_cast<char>(seq & 0xFF);
    request += FBuffer;
    const uint32_t start = MillisecondTick();
    ping.SendText(request);
    // A request this socket cannot send at all may still go out on the raw socket.
    if (ping.LastError() != 0)
        return TServiceResult::Unavailable;
    for (;;) {
        int elapsed = static_cast<int>(TickDifference(start, MillisecondTick()));
        if (elapsed > Timeout)
            return TServiceResult::Failed;
        std::string reply = ping.ReceivePacket(Timeout - elapsed);
        if (ping.LastError() == 0) {
            if (reply.size() < kIcmpHeader)
                continue;
            if (static_cast<uint8_t>(reply[0]) != (FTargetIP6 ? kEchoReply6 : kEchoReply4))
                continue;
            if (reply.compare(6, 2, request, 6, 2) != 0
                || reply.compare(kIcmpHeader, std::string::npos, FBuffer) != 0)
                continue;
            FPingTime = static_cast<int>(TickDifference(start, MillisecondTick()));
            FReplyFrom = ping.RemoteAddress();
            SetReplyError(IE_NoError);
            return TServiceResult::Answered;
        }
        if (ping.LastError() == WSAETIMEDOUT)
            return TServiceResult::Failed;
        // An ICMP error about the request waits in the error queue.
        char data[512];
        char control[512];
        sockaddr_storage from{};
        iovec iov{data, sizeof data};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        if (recvmsg(ping.Socket(), &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            return TServiceResult::Failed;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            bool v4 = c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR;
            bool v6 = c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR;
            if (!v4 && !v6)
                continue;
            sock_extended_err err;
            std::memcpy(&err, CMSG_DATA(c), sizeof err);
            if (err.ee_origin != SO_EE_ORIGIN_ICMP && err.ee_origin != SO_EE_ORIGIN_ICMP6)
                continue;
            TSocketAddress offender;
            auto* off = SO_EE_OFFENDER(reinterpret_cast<sock_extended_err*>(CMSG_DATA(c)));
            std::memcpy(&offender.Storage, off, v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
            FPingTime = static_cast<int>(TickDifference(start, MillisecondTick()));
            FReplyFrom = AddressText(offender);
            TranslateReplyType(v6, err.ee_type, err.ee_code);
            return TServiceResult::Answered;
        }
        return TServiceResult::Failed;
    }
}

uint16_t TPINGSend::ChecksumV6(const std::string& message)
{
    // Pseudo-header: destination, the source the system would choose, length, next header.
    sockaddr_in6 dst{};
    std::memcpy(&dst, FTarget.Ptr(), sizeof dst);
    sockaddr_in6 src{};
    int probe = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && BindSocketToDevice(probe, Interface) != 0) {
        ::close(probe);
        probe = -1;
    }
    sockaddr_in6 to = dst;
    to.sin6_port = htons(9);
    socklen_t len = sizeof src;
    if (probe < 0 || ::connect(probe, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0
        || getsockname(probe, reinterpret_cast<sockaddr*>(&src), &len) != 0) {
        TSocketAddress local;
        local.Length = sizeof local.Storage;
        getsockname(Sock.Socket(), local.Ptr(), &local.Length);
        std::memcpy(&src, local.Ptr(), sizeof src);
    }
    if (probe >= 0)
        ::close(probe);
    std::string pseudo;
    pseudo.append(reinterpret_cast<const char*>(&dst.sin6_addr), 16);
    pseudo.append(reinterpret_cast<const char*>(&src.sin6_addr), 16);
    uint32_t n = static_cast<uint32_t>(message.size());
    pseudo += {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
               static_cast<char>(n)};
    pseudo += std::string(3, '\0');
    pseudo += static_cast<char>(IPPROTO_ICMPV6);
    return InternetChecksum(pseudo + message);
}

bool TPINGSend::EchoByRawSocket(const std::string& host)
{
    // A reserved socket is shared by every echo; a bind to a chosen local address would stick
    // to it, so such an echo opens its own socket. Its port sticks too, and may be chosen once.
    const int reserved = FTargetIP6 ? gReservedRaw6 : gReservedRaw4;
    std::string& reservedDevice = FTargetIP6 ? gReservedDevice6 : gReservedDevice4;
    const bool adopt = reserved >= 0 && Sock.Socket() == INVALID_SOCKET && IPInterface == "0.0.0.0"
                       && (reservedDevice.empty() || reservedDevice == Interface);
    Sock.BindDevice = Interface;
    if (adopt) {
        if (reservedDevice.empty() && !Interface.empty()) {
            if (const int err = BindSocketToDevice(reserved, Interface); err != 0) {
                FNoEchoSocket = !FServiceOpened && err == EPERM;
                return false;
            }
            reservedDevice = Interface;
        }
        // It has queued whatever ICMP came in since its last echo.
        char stale[2048];
        while (::recv(reserved, stale, sizeof stale, MSG_DONTWAIT) >= 0) {}
        Sock.AdoptHandle(::fcntl(reserved, F_DUPFD_CLOEXEC, 0));
    }
    Sock.ConfigureTTL(TTL);
    if (!adopt)
        Sock.BindLocal(IPInterface, "0");
    Sock.Connect(host, "0");
    if (Sock.LastError() != 0) {
        // The raw socket is the last way: when it may not even be opened, and the echo socket
        // did not open either (one that opened but could not send says the target is amiss),
        // no echo can be sent.
        FNoEchoSocket =
                !FServiceOpened && Sock.Socket() == INVALID_SOCKET && Sock.LastError() == WSAEACCES;
        return false;
    }
    Sock.ConfigureOption(TSocketOption{OPT_RecvBuffer, false, 61440});
    const bool ip6 = Sock.IPv6InUse();
    const uint8_t requestType = ip6 ? kEchoRequest6 : kEchoRequest4;

    FId = static_cast<uint16_t>(FRandom() % 32767);
    ++FSeq;
    const uint16_t seq = static_cast<uint16_t>(FSeq);
    const uint32_t tick = MillisecondTick();
    FBuffer[0] = static_cast<char>(requestType);
    FBuffer[1] = 0;
    FBuffer[2] = FBuffer[3] = 0;
    FBuffer[4] = static_cast<char>(FId & 0xFF);
    FBuffer[5] = static_cast<char>(FId >> 8);
    FBuffer[6] = static_cast<char>(seq & 0xFF);
    FBuffer[7] = static_cast<char>(seq >> 8);
    for (int i = 0; i < 4; ++i)
        FBuffer[8 + i] = static_cast<char>((tick >> (8 * i)) & 0xFF);
    uint16_t sum = ip6 ? ChecksumV6(FBuffer) : InternetChecksum(FBuffer);
    FBuffer[2] = static_cast<char>(sum >> 8);
    FBuffer[3] = static_cast<char>(sum & 0xFF);
    Sock.SendText(FBuffer);
    if (Sock.LastError() != 0)
        return false;
    const std::string key = FBuffer.substr(0, kIcmpHeader);
    const uint32_t start = MillisecondTick();
    for (;;) {
        // Each wait gets only what is left of Timeout, so unrelated traffic cannot stretch it.
        int elapsed = static_cast<int>(TickDifference(start, MillisecondTick()));
        if (elapsed > Timeout)
            return false;
        std::string packet = Sock.ReceivePacket(Timeout - elapsed);
        if (Sock.LastError() != 0)
            return false;
        if (TickDifference(start, MillisecondTick()) > static_cast<uint32_t>(Timeout))
            return false;
        uint8_t type = 0, code = 0;
        if (!MatchEchoAnswer(packet, ip6, requestType, FId, key, type, code))
            continue;
        FPingTime = static_cast<int>(TickDifference(start, MillisecondTick()));
        FReplyFrom = Sock.RemoteAddress();
        FReplyType = type;
        FReplyCode = code;
        TranslateReplyType(ip6, FReplyType, FReplyCode);
        return true;
    }
}

bool MatchEchoAnswer(const std::string& packet, bool ip6, uint8_t requestType, uint16_t id,
                     const std::string& key, uint8_t& type, uint8_t& code)
{
    size_t at = 0;
    if (!ip6) {
        // The IPv4 header comes first on a raw socket; its length is the packet's own claim.
        if (packet.empty())
            return false;
        at = std::size_t{static_cast<uint8_t>(packet[0]) & 0x0Fu} * 4;
        if (at < 20)
            return false;
    }
    if (at + kIcmpHeader > packet.size())
        return false; // too short to hold an ICMP header
    type = static_cast<uint8_t>(packet[at]);
    code = static_cast<uint8_t>(packet[at + 1]);
    if (type == requestType)
        return false; // our own request, seen on a loopback target
    uint16_t got = static_cast<uint16_t>(static_cast<uint8_t>(packet[at + 4])
                                         | (static_cast<uint8_t>(packet[at + 5]) << 8));
    // An ICMP error quotes the request's header, so the key may stand anywhere in it.
    return got == id || (!key.empty() && packet.find(key) != std::string::npos);
}

int32_t EchoRoundTrip(const std::string& host, bool* noEchoSocket, const std::string& port)
{
    TPINGSend ping;
    ping.Interface = port;
    const bool answered = ping.Echo(host);
    if (noEchoSocket)
        *noEchoSocket = ping.NoEchoSocket();
    if (answered && ping.ReplyError() == IE_NoError)
        return ping.PingTime();
    return -1;
}
