// TCP and datagram sockets: graceful close, listening, and connecting through a SOCKS
// proxy or an HTTP tunnel.
#include "net/block_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

// A port given as text: a decimal number or a TCP service name; 0 when neither.
int PortNumber(const std::string& port)
{
    if (!port.empty() && port.size() <= 5
        && std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::stoi(port) <= 0xFFFF ? std::stoi(port) : 0;
    servent* s = getservbyname(port.c_str(), "tcp");
    return s ? ntohs(static_cast<uint16_t>(s->s_port)) : 0;
}

std::string Base64(const std::string& in)
{
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        for (int k = 3; k >= 0; --k)
            out += table[(v >> (6 * k)) & 63];
    }
    if (i + 1 == in.size()) {
        uint32_t v = uint8_t(in[i]) << 16;
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string PortBytes(int port)
{
    return std::string{static_cast<char>((port >> 8) & 0xFF), static_cast<char>(port & 0xFF)};
}

// Proxies are strangers too: their replies are read with a bounded line length.
constexpr int kProxyLineLimit = 8192;
constexpr int kProxyMaxHeaderLines = 200;

} // namespace

// ---------------------------------------------------------------------------------------
// SOCKS 4 and 5.

bool TSocksBlockSocket::SocksOpen()
{
    FSocksLastError.clear();
    if (SocksType == ST_Socks4)
        return true; // SOCKS 4 has no greeting
    std::string greeting = SocksUsername.empty() ? std::string("\x05\x01\x00", 3)
                                                 : std::string("\x05\x02\x00\x02", 4);
    SendText(greeting);
    if (LastError() != 0)
        return false;
    std::string reply = ReceiveExactText(2, SocksTimeout);
    if (reply.size() != 2 || reply[0] != 0x05)
        return false;
    uint8_t method = static_cast<uint8_t>(reply[1]);
    if (method == 0x00)
        return true;
    if (method != 0x02 || SocksUsername.empty())
        return false;
    std::string user = SocksUsername.substr(0, 255), pass = SocksPassword.substr(0, 255);
    std::string auth;
    auth += '\x01';
    auth += static_cast<char>(user.size());
    auth += user;
    auth += static_cast<char>(pass.size());
    auth += pass;
    SendText(auth);
    if (LastError() != 0)
        return false;
    reply = ReceiveExactText(2, SocksTimeout);
    return reply.size() == 2 && reply[1] == 0x00;
}

bool TSocksBlockSocket::SocksRequest(uint8_t command, const std::string& ip,
                                     const std::string& port)
{
    int portNumber = PortNumber(port);
    std::string request;
    bool literal4 = IsIPv4Literal(ip), literal6 = IsIPv6Literal(ip);
    in_addr a4{};
    in6_addr a6{};
    if (!literal4 && !literal6 && !SocksResolver) {
        // Resolve here and send the address.
        TSocketAddress addr;
        if (FillSocketAddress(ip, port, PreferIP4, SOCK_STREAM, IPPROTO_TCP,
                              SocksType == ST_Socks4 ? AF_INET : AF_UNSPEC, addr)
            != 0)
            return false;
        if (addr.FamilyTag() == AF_INET) {
            a4 = reinterpret_cast<sockaddr_in*>(addr.Ptr())->sin_addr;
            literal4 = true;
        } else {
            a6 = reinterpret_cast<sockaddr_in6*>(addr.Ptr())->sin6_addr;
            literal6 = true;
        }
    } else if (literal4) {
        inet_pton(AF_INET, ip.c_str(), &a4);
    } else if (literal6 && inet_pton(AF_INET6, ip.c_str(), &a6) != 1) {
        return false;
    }
    if (SocksType == ST_Socks4) {
        if (literal6)
            return false;
        request += '\x04';
        request += static_cast<char>(command);
        request += PortBytes(portNumber);
        if (literal4)
            request.append(reinterpret_cast<const char*>(&a4), 4);
        else
            request.append("\x00\x00\x00\x01", 4); // 4a: the proxy resolves the name below
        request += SocksUsername;
        request += '\0';
        if (!literal4) {
            request += ip;
            request += '\0';
        }
    } else {
        request.append("\x05", 1);
        request += static_cast<char>(command);
        request += '\0';
        if (literal4) {
            request += '\x01';
            request.append(reinterpret_cast<const char*>(&a4), 4);
        } else if (literal6) {
            request += '\x04';
            request.append(reinterpret_cast<const char*>(&a6), 16);
        } else {
            if (ip.size() > 255)
                return false;
            request += '\x03';
            request += static_cast<char>(ip.size());
            request += ip;
        }
        request += PortBytes(portNumber);
    }
    SendText(request);
    return LastError() == 0;
}

bool TSocksBlockSocket::SocksResponse()
{
    FSocksResponseIP.clear();
    FSocksResponsePort = 0;
    char text[INET6_ADDRSTRLEN] = "";
    auto port = [](const std::string& b) { return (uint8_t(b[0]) << 8) | uint8_t(b[1]); };
    if (SocksType == ST_Socks4) {
        std::string r = ReceiveExactText(8, SocksTimeout);
        if (r.size() != 8 || r[0] != 0 || uint8_t(r[1]) != 90) {
            if (r.size() == 8)
                FSocksLastError = "SOCKS4 request rejected (" + std::to_string(uint8_t(r[1])) + ")";
            return false;
        }
        inet_ntop(AF_INET, r.data() + 4, text, sizeof text);
        FSocksResponseIP = text;
        FSocksResponsePort = port(r.substr(2, 2));
        return true;
    }
    std::string r = ReceiveExactText(4, SocksTimeout);
    if (r.size() != 4 || r[0] != 0x05)
        return false;
    if (r[1] != 0) {
        FSocksLastError = "SOCKS5 request rejected (" + std::to_string(uint8_t(r[1])) + ")";
        return false;
    }
    switch (r[3]) {
    case 0x01: {
        std::string a = ReceiveExactText(4, SocksTimeout);
        if (a.size() != 4)
            return false;
        inet_ntop(AF_INET, a.data(), text, sizeof text);
        FSocksResponseIP = text;
        break;
    }
    case 0x04: {
        std::string a = ReceiveExactText(16, SocksTimeout);
        if (a.size() != 16)
            return false;
        inet_ntop(AF_INET6, a.data(), text, sizeof text);
        FSocksResponseIP = text;
        break;
    }
    case 0x03: {
        uint8_t len = ReceiveByte(SocksTimeout);
        if (LastError() != 0)
            return false;
        FSocksResponseIP = ReceiveExactText(len, SocksTimeout);
        if (LastError() != 0)
            return false;
        break;
    }
    default: return false;
    }
    std::string p = ReceiveExactText(2, SocksTimeout);
    if (p.size() != 2)
        return false;
    FSocksResponsePort = port(p);
    return true;
}

// ---------------------------------------------------------------------------------------
// TCP.

TTCPBlockSocket::TTCPBlockSocket()
    : FSSL(std::make_unique<TSSLNone>(this))
{}

TTCPBlockSocket::~TTCPBlockSocket()
{
    TTCPBlockSocket::CloseGracefully();
}

void TTCPBlockSocket::CloseGracefully()
{
    if (FSSL->SSLEnabled())
        FSSL->Shutdown();
    if (FSocket != INVALID_SOCKET && FLastError == 0) {
        // Half-close so the peer sees the end of our stream, then take what it still had to say.
        ::shutdown(FSocket, SHUT_WR);
        Drain();
    }
    CloseAbortively();
    FUsingSocks = false;
    FHTTPTunnel = false;
}

void TTCPBlockSocket::Connect(const std::string& ip, const std::string& port)
{
    if (!SocksIP.empty())
        SocksDoConnect(ip, port);
    else if (!HTTPTunnelIP.empty())
        HTTPTunnelDoConnect(ip, port);
    else
        TBlockSocket::Connect(ip, port);
    if (FLastError == 0 && OnAfterConnect)
        OnAfterConnect(this);
}

void TTCPBlockSocket::SocksDoConnect(const std::string& ip, const std::string& port)
{
    FUsingSocks = false;
    TBlockSocket::Connect(SocksIP, SocksPort);
    if (FLastError != 0)
        return;
    bool ok = SocksOpen() && SocksRequest(1, ip, port) && SocksResponse();
    if (!ok) {
        if (FLastError == 0)
            FLastError = WSASYSNOTREADY;
        CheckLastError();
        return;
    }
    FUsingSocks = true;
    ClearLastError();
}

void TTCPBlockSocket::HTTPTunnelDoConnect(const std::string& ip, const std::string& port)
{
    FHTTPTunnel = false;
    int portNumber = PortNumber(port);
    std::string host = IsIPv6Literal(ip) ? "[" + ip + "]" : ip;
    TBlockSocket::Connect(HTTPTunnelIP, HTTPTunnelPort);
    if (FLastError != 0)
        return;
    std::string request = "CONNECT " + host + ":" + std::to_string(portNumber) + " HTTP/1.0\r\n";
    if (!HTTPTunnelUser.empty())
        request += "Proxy-Authorization: Basic " + Base64(HTTPTunnelUser + ":" + HTTPTunnelPass)
                   + "\r\n";
    request += "\r\n";
    SendText(request);
    int savedLimit = MaxLineLength;
    if (MaxLineLength <= 0 || MaxLineLength > kProxyLineLimit)
        MaxLineLength = kProxyLineLimit;
    bool headerEnded = false;
    for (int lines = 0; FLastError == 0 && lines < kProxyMaxHeaderLines && !headerEnded; ++lines) {
        std::string line = ReceiveUntil(HTTPTunnelTimeout, "\n");
        if (FLastError != 0)
            break;
        headerEnded = line.empty() || line == "\r";
        if (line.size() > 11 && line.compare(0, 5, "HTTP/") == 0)
            FHTTPTunnel = line[9] == '2';
    }
    MaxLineLength = savedLimit;
    if (!headerEnded)
        FHTTPTunnel = false;
    if (FLastError == 0 && !FHTTPTunnel)
        FLastError = WSASYSNOTREADY;
    if (FHTTPTunnel) {
        FHTTPTunnelRemoteIP = ip;
        FHTTPTunnelRemotePort = portNumber;
    }
    CheckLastError();
}

int TTCPBlockSocket::SendBytes(const void* buffer, int length)
{
    if (!FSSL->SSLEnabled())
        return TBlockSocket::SendBytes(buffer, length);
    ClearLastError();
    int r = FSSL->SendBuffer(buffer, length);
    if (FSSL->LastError() != 0)
        FLastError = WSASYSNOTREADY;
    CheckLastError();
    return r;
}

int TTCPBlockSocket::ReceiveBytes(void* buffer, int length)
{
    if (!FSSL->SSLEnabled())
        return TBlockSocket::ReceiveBytes(buffer, length);
    ClearLastError();
    int r = FSSL->RecvBuffer(buffer, length);
    if (FSSL->LastError() != 0)
        FLastError = WSASYSNOTREADY;
    CheckLastError();
    return r;
}

int TTCPBlockSocket::PendingBytes()
{
    if (FSSL->SSLEnabled())
        return FSSL->WaitingData();
    return TBlockSocket::PendingBytes();
}

std::string TTCPBlockSocket::LocalAddress()
{
    return FUsingSocks ? FSocksResponseIP : TBlockSocket::LocalAddress();
}

std::string TTCPBlockSocket::RemoteAddress()
{
    if (FUsingSocks)
        return FSocksResponseIP;
    if (FHTTPTunnel)
        return FHTTPTunnelRemoteIP;
    return TBlockSocket::RemoteAddress();
}

int TTCPBlockSocket::LocalPort()
{
    return FUsingSocks ? FSocksResponsePort : TBlockSocket::LocalPort();
}

int TTCPBlockSocket::RemotePort()
{
    if (FUsingSocks)
        return FSocksResponsePort;
    if (FHTTPTunnel)
        return FHTTPTunnelRemotePort;
    return TBlockSocket::RemotePort();
}

std::string TTCPBlockSocket::GetErrorDescEx()
{
    if (FLastError == WSASYSNOTREADY && FSSL->LastError() != 0)
        return FSSL->LastErrorDesc();
    return TBlockSocket::GetErrorDescEx();
}

void TTCPBlockSocket::StartListening()
{
    ClearLastError();
    if (!SocksIP.empty()) {
        // The proxy listens for us: a SOCKS "bind" request, whose reply names where.
        FUsingSocks = false;
        TBlockSocket::Connect(SocksIP, SocksPort);
        if (FLastError == 0) {
            bool ok = SocksOpen() && SocksRequest(2, "0.0.0.0", "0") && SocksResponse();
            if (!ok && FLastError == 0)
                FLastError = WSANO_RECOVERY;
            FUsingSocks = ok;
        }
    } else {
        CheckCallResult(::listen(FSocket, 0x7FFFFFFF));
        if (FLastError == 0)
            ReadAddresses();
    }
    CheckLastError();
    ReportStatus(HR_Listen, "");
}

TSocket TTCPBlockSocket::AcceptConnection()
{
    ClearLastError();
    TSocket handle = INVALID_SOCKET;
    if (FUsingSocks) {
        // Through a proxy the second "bind" reply announces the peer; the connection is this one.
        if (SocksResponse())
            handle = FSocket;
        else if (FLastError == 0)
            FLastError = WSANO_RECOVERY;
    } else {
        TSocketAddress from;
        from.Length = sizeof from.Storage;
        handle = ::accept4(FSocket, from.Ptr(), &from.Length, SOCK_CLOEXEC);
        if (CheckCallResult(handle) == 0)
            FRemoteSin = from;
        else
            handle = INVALID_SOCKET;
    }
    CheckLastError();
    ReportStatus(HR_Accept, "");
    return handle;
}

// ---------------------------------------------------------------------------------------
// Datagrams.

void TDgramBlockSocket::Connect(const std::string& ip, const std::string& port)
{
    TSocketAddress sin;
    if (ResolveForUse(ip, port, sin)) {
        FRemoteSin = sin;
        if (FSocket == INVALID_SOCKET)
            CreateSocket(sin.FamilyTag());
        ClearPendingInput();
    }
    CheckLastError();
    ReportStatus(HR_Connect, ip + ":" + port);
}

int TDgramBlockSocket::SendBytes(const void* buffer, int length)
{
    return SendDatagram(buffer, length);
}
int TDgramBlockSocket::ReceiveBytes(void* buffer, int length)
{
    return ReceiveDatagram(buffer, length);
}
