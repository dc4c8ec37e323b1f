// Name resolution, address literals and address texts of the socket layer.
#include "net/block_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

std::string Trimmed(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ')
        ++b;
    while (e > b && s[e - 1] == ' ')
        --e;
    return s.substr(b, e - b);
}

std::vector<std::string> SplitAt(const std::string& s, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        parts.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos)
            return parts;
        start = p + 1;
    }
}

// A non-empty run of digits of the given base whose value is at most `limit`.
bool IsNumberUpTo(const std::string& s, int base, long limit)
{
    if (s.empty() || s.size() > 8)
        return false;
    for (unsigned char c : s)
        if (base == 10 ? !std::isdigit(c) : !std::isxdigit(c))
            return false;
    return std::stol(s, nullptr, base) <= limit;
}

} // namespace

bool IsIPv4Literal(const std::string& text)
{
    auto fields = SplitAt(text, '.');
    if (fields.size() != 4)
        return false;
    for (auto& f : fields)
        if (!IsNumberUpTo(Trimmed(f), 10, 255))
            return false;
    return true;
}

bool IsIPv6Literal(const std::string& text)
{
    if (text == "::")
        return true;
    auto fields = SplitAt(text, ':');
    if (fields.size() < 2)
        return false;
    int emptyAfterFirst = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        std::string f = Trimmed(fields[i]);
        if (i == fields.size() - 1) {
            size_t zone = f.find('%');
            if (zone != std::string::npos) {
                if (!IsNumberUpTo(Trimmed(f.substr(zone + 1)), 16, 0xFFFF))
                    return false;
                f = Trimmed(f.substr(0, zone));
            }
            if (f.empty())
                return false;
        }
        if (f.empty()) {
            if (i > 0 && ++emptyAfterFirst > 1)
                return false;
            continue;
        }
        if (i >= 8 || !IsNumberUpTo(f, 16, 0xFFFF))
            return false;
    }
    return true;
}

namespace {
bool IsPortNumberTooLarge(const std::string& port)
{
    if (port.empty() || !std::all_of(port.begin(), port.end(), [](unsigned char c) {
            return c >= '0' && c <= '9';
        }))
        return false;
    const size_t first = std::min(port.find_first_not_of('0'), port.size());
    return port.size() - first > 5
           || (port.size() - first == 5 && port.compare(first, 5, "65535") > 0);
}
} // namespace

std::string AddressText(const TSocketAddress& addr)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.FamilyTag() == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr.Ptr())->sin_addr, text,
                  sizeof text);
    else if (addr.FamilyTag() == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr.Ptr())->sin6_addr, text,
                  sizeof text);
    return text;
}

int AddressPort(const TSocketAddress& addr)
{
    if (addr.FamilyTag() == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(addr.Ptr())->sin_port);
    if (addr.FamilyTag() == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(addr.Ptr())->sin6_port);
    return 0;
}

int TBlockSocket::FillSocketAddress(const std::string& ip, const std::string& port, bool preferIP4,
                                    int kind, int protocol, int systemFamily, TSocketAddress& out)
{
    out = TSocketAddress{};
    auto attempt = [&](int family) -> int {
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = kind;
        hints.ai_protocol = protocol;
        const char* host = ip.c_str();
        const char* service = port.c_str();
        if (kind == SOCK_RAW
            || (protocol != 0 && protocol != IPPROTO_TCP && protocol != IPPROTO_UDP)) {
            // Raw and ICMP sockets have no ports: look up the bare host.
            hints.ai_socktype = 0;
            hints.ai_protocol = 0;
            service = nullptr;
        } else if (ip == "0.0.0.0" || ip == "::0") {
            hints.ai_flags = AI_PASSIVE;
            host = nullptr;
        } else if (ip == "127.0.0.1" || ip == "::1") {
            host = nullptr;
        }
        if (kind == 0) {
            hints.ai_socktype = SOCK_STREAM; // any kind will do for the address itself
            hints.ai_protocol = 0;
        }
        // The resolver takes any decimal service and keeps its low 16 bits: "99999" would
        // quietly become port 34463.
        if (service && IsPortNumberTooLarge(port))
            return ResolverToSocketError(EAI_SERVICE);
        addrinfo* res = nullptr;
        int r = getaddrinfo(host, service, &hints, &res);
        if (r != 0)
            return ResolverToSocketError(r);
        std::memcpy(&out.Storage, res->ai_addr, res->ai_addrlen);
        out.Length = res->ai_addrlen;
        freeaddrinfo(res);
        return 0;
    };
    if (systemFamily != AF_UNSPEC)
        return attempt(systemFamily);
    int first = preferIP4 ? AF_INET : AF_INET6;
    int r = attempt(first);
    if (r != 0)
        r = attempt(first == AF_INET ? AF_INET6 : AF_INET);
    return r;
}

bool TBlockSocket::ResolveForUse(const std::string& ip, const std::string& port,
                                 TSocketAddress& out)
{
    ReportStatus(HR_ResolvingBegin, ip + ":" + port);
    ClearLastError();
    int family = AF_UNSPEC;
    TSocketFamily want = FFamily;
    if (FSocket == INVALID_SOCKET && want == SF_Any) {
        if (IsIPv4Literal(ip))
            want = SF_IP4;
        else if (IsIPv6Literal(ip))
            want = SF_IP6;
    } else if (FSocket != INVALID_SOCKET) {
        want = FIP6Used ? SF_IP6 : SF_IP4;
    }
    if (want == SF_IP4)
        family = AF_INET;
    if (want == SF_IP6)
        family = AF_INET6;
    FLastError =
            FillSocketAddress(ip, port, PreferIP4, SocketKind(), SocketProtocol(), family, out);
    ReportStatus(HR_ResolvingEnd, ip + ":" + port);
    return FLastError == 0;
}

void TBlockSocket::ResolveHostList(const std::string& name, std::vector<std::string>& list)
{
    list.clear();
    if (IsIPv4Literal(name)) {
        list.push_back(name);
        return;
    }
    addrinfo hints{};
    hints.ai_family = FFamily == SF_IP4 ? AF_INET : FFamily == SF_IP6 ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &res) == 0) {
        for (addrinfo* a = res; a; a = a->ai_next) {
            TSocketAddress addr;
            std::memcpy(&addr.Storage, a->ai_addr, a->ai_addrlen);
            std::string text = AddressText(addr);
            bool seen = false;
            for (auto& t : list)
                seen = seen || t == text;
            if (!seen)
                list.push_back(text);
        }
        freeaddrinfo(res);
    }
    if (list.empty())
        list.push_back("0.0.0.0");
}

std::string TBlockSocket::ResolveHost(const std::string& name)
{
    std::vector<std::string> list;
    ResolveHostList(name, list);
    return list.front();
}

std::string TBlockSocket::LocalHostName()
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0)
        return "127.0.0.1";
    return name;
}

std::string TBlockSocket::LocalAddress()
{
    return AddressText(FLocalSin);
}
std::string TBlockSocket::RemoteAddress()
{
    return AddressText(FRemoteSin);
}
int TBlockSocket::LocalPort()
{
    return AddressPort(FLocalSin);
}
int TBlockSocket::RemotePort()
{
    return AddressPort(FRemoteSin);
}

void TBlockSocket::ReadAddresses()
{
    FLocalSin = TSocketAddress{};
    FRemoteSin = TSocketAddress{};
    if (FSocket == INVALID_SOCKET)
        return;
    FLocalSin.Length = sizeof FLocalSin.Storage;
    if (getsockname(FSocket, FLocalSin.Ptr(), &FLocalSin.Length) != 0)
        FLocalSin = TSocketAddress{};
    FRemoteSin.Length = sizeof FRemoteSin.Storage;
    if (getpeername(FSocket, FRemoteSin.Ptr(), &FRemoteSin.Length) != 0)
        FRemoteSin = TSocketAddress{};
}
