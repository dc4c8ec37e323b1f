// Blocking socket layer under every link to the unit: TCP (telnet, FTP), datagram and ICMP.
// Operations block until done, failed or timed out; failures are reported through
// LastError()/LastErrorText() with the classic Winsock numbers (10035, 10054, 10060, ...),
// so callers and the journal see the same codes on every platform.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

using TSocket = int;
inline constexpr TSocket INVALID_SOCKET = -1;

// Error numbers the layer reports (the Winsock numbering).
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAENOTEMPTY = 10066;
inline constexpr int WSAEPROCLIM = 10067;
inline constexpr int WSAEUSERS = 10068;
inline constexpr int WSAEDQUOT = 10069;
inline constexpr int WSAESTALE = 10070;
inline constexpr int WSAEREMOTE = 10071;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAEDISCON = 10101;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// Maps a Linux errno value onto the numbers above (unknown values: 20000 + errno).
int ErrnoToSocketError(int err);
// Maps a getaddrinfo() result onto the numbers above (0 stays 0).
int ResolverToSocketError(int gaiResult);

class ESocketError : public std::runtime_error
{
public:
    ESocketError(int code, const std::string& message, const std::string& what);
    int ErrorCode;
    std::string ErrorMessage;
};

enum TSocketFamily { SF_Any, SF_IP4, SF_IP6 };
enum TSocksType { ST_Socks5, ST_Socks4 };

enum THookSocketReason {
    HR_ResolvingBegin,
    HR_ResolvingEnd,
    HR_SocketCreate,
    HR_SocketClose,
    HR_Bind,
    HR_Connect,
    HR_CanRead,
    HR_CanWrite,
    HR_Listen,
    HR_Accept,
    HR_ReadCount,
    HR_WriteCount,
    HR_Wait,
    HR_Error
};

class TBlockSocket;
using THookSocketStatus = std::function<void(TBlockSocket* Sender, THookSocketReason Reason,
                                             const std::string& Value)>;
using THookDataFilter = std::function<void(TBlockSocket* Sender, std::string& Value)>;
using THookCreateSocket = std::function<void(TBlockSocket* Sender)>;
using THookMonitor =
        std::function<void(TBlockSocket* Sender, bool Writing, const void* Buffer, int Len)>;
using THookAfterConnect = std::function<void(TBlockSocket* Sender)>;
using THookHeartbeat = std::function<void(TBlockSocket* Sender)>;

enum TSocketOptionKind {
    OPT_Linger,
    OPT_RecvBuffer,
    OPT_SendBuffer,
    OPT_NonBlock,
    OPT_RecvTimeout,
    OPT_SendTimeout,
    OPT_Reuse,
    OPT_TTL,
    OPT_Broadcast,
    OPT_MulticastTTL,
    OPT_MulticastLoop
};

// One option waiting to be applied; Value is in ms for linger and the time-outs.
struct TSocketOption
{
    TSocketOptionKind Option = OPT_Linger;
    bool Enabled = false;
    int32_t Value = 0;
};

// Address record of either family.
struct TSocketAddress
{
    sockaddr_storage Storage{};
    socklen_t Length = 0;
    int FamilyTag() const { return Storage.ss_family; }
    const sockaddr* Ptr() const { return reinterpret_cast<const sockaddr*>(&Storage); }
    sockaddr* Ptr() { return reinterpret_cast<sockaddr*>(&Storage); }
};

// Numeric text and port of an address record ("" and 0 for an empty one).
std::string AddressText(const TSocketAddress& addr);
int AddressPort(const TSocketAddress& addr);

// Process-wide start-up and clean-up; the sockets need no loading here, so only the
// reference count is kept. Call once at program start and end.
bool LoadSocketLibrary(const std::string& libraryName = "ws2_32.dll");
void UnloadSocketLibrary();
int SocketLibraryReferences();

// A 32-bit millisecond counter that wraps, and the elapsed time between two of its values.
uint32_t MillisecondTick();
uint32_t TickDifference(uint32_t oldTick, uint32_t newTick);
// Milliseconds of a monotonic clock that does not wrap; the time base of deadlines.
uint64_t SteadyMilliseconds();

// Binds `socket` to the network port `device` (SO_BINDTODEVICE); an empty name does nothing.
// Returns 0 or errno. An ordinary user may do this once on a socket (Linux 5.7 and later).
int BindSocketToDevice(TSocket socket, const std::string& device);

// Whether the network port `name` exists and is up (administratively: a port without
// carrier, its unit unplugged, is up).
enum class TPortState { Up, Down, Missing };
TPortState NetworkPortState(const std::string& name);

bool IsIPv4Literal(const std::string& text);
bool IsIPv6Literal(const std::string& text);

class TBlockSocket
{
public:
    TBlockSocket();
    virtual ~TBlockSocket();
    TBlockSocket(const TBlockSocket&) = delete;
    TBlockSocket& operator=(const TBlockSocket&) = delete;

    // Settings, free to change at any time.
    int32_t Tag = 0;
    bool RaiseExcept = false;
    int32_t MaxLineLength = 0;     // limit on ReceiveUntil's accumulated text; 0 = none
    uint32_t MaxSendBandwidth = 0; // bytes per second; 0 = unpaced
    uint32_t MaxRecvBandwidth = 0;
    bool ConvertLineEnd = false; // ReceiveUntil(CR LF) accepts CR, LF, CR LF and LF CR
    bool PreferIP4 = true;
    bool InterPacketTimeout = true; // time-outs bound each silence, not the whole operation
    int32_t SendMaxChunk = 65536;
    bool StopFlag = false;
    uint32_t NonblockSendTimeout = 15000;
    int32_t HeartbeatRate = 0;
    // Bound of a TCP connect to a silent address: Linux alone would try for about 127 s.
    uint32_t ConnectTimeout = 21000;
    // Time (SteadyMilliseconds) by which every wait of this socket ends with 10060, however
    // the peer trickles; 0 = none. Time-outs still bound each silence; this bounds the whole.
    uint64_t Deadline = 0;
    // The network port (e.g. "slot3") every socket this object creates is bound to before
    // it sends anything (SO_BINDTODEVICE); empty = wherever the routing table sends it. A
    // socket that cannot be bound is closed again with the error set.
    std::string BindDevice;
    THookSocketStatus OnStatus;
    THookDataFilter OnReadFilter;
    THookCreateSocket OnCreateSocket;
    THookMonitor OnMonitor;
    THookHeartbeat OnHeartbeat;

    void SetMaxBandwidth(uint32_t bytesPerSecond);
    TSocketFamily Family() const { return FFamily; }
    virtual void SetFamily(TSocketFamily value);

    TSocket Socket() const { return FSocket; }
    bool IPv6InUse() const { return FIP6Used; }
    bool NonBlockMode() const { return FNonBlockMode; }
    int32_t RecvCounter() const { return FRecvCounter; }
    int32_t SendCounter() const { return FSendCounter; }
    int LastError() const { return FLastError; }
    const std::string& LastErrorText() const { return FLastErrorText; }
    // Bytes received but not yet handed out (e.g. what followed a terminator).
    std::string PendingInput() const { return FBuffer.substr(FBufferPos); }
    void ClearPendingInput();

    // Addressing and connection.
    void CreateSocket(int systemFamily);
    virtual void Connect(const std::string& ip, const std::string& port);
    void BindLocal(const std::string& ip, const std::string& port);
    int FillSocketAddress(const std::string& ip, const std::string& port, bool preferIP4, int kind,
                          int protocol, int systemFamily, TSocketAddress& out);
    virtual std::string LocalAddress();
    virtual std::string RemoteAddress();
    virtual int LocalPort();
    virtual int RemotePort();
    std::string ResolveHost(const std::string& name);
    void ResolveHostList(const std::string& name, std::vector<std::string>& list);
    static std::string LocalHostName();
    virtual void AdoptHandle(TSocket handle);

    // Sending.
    virtual int SendBytes(const void* buffer, int length);
    // One send that never waits, for answers sent from inside a receive (a read filter):
    // returns the bytes the system took and leaves the receive's error state alone.
    int SendWithoutWaiting(const std::string& data);
    virtual void SendByte(uint8_t value);
    virtual void SendText(const std::string& text);
    virtual void SendInteger(int32_t value);         // 4 bytes, little-endian
    virtual void SendBlock(const std::string& data); // 4-byte little-endian length, then data
    virtual void SendFromStream(std::istream& stream);
    virtual void SendStream(std::istream& stream);          // little-endian length prefix
    virtual void SendStreamBigEndian(std::istream& stream); // big-endian length prefix

    // Receiving.
    virtual int ReceiveBytes(void* buffer, int length);
    virtual int ReceiveExact(void* buffer, int length, int timeout);
    virtual std::string ReceiveExactText(int length, int timeout);
    virtual uint8_t ReceiveByte(int timeout);
    virtual int32_t ReceiveInteger(int timeout);
    virtual std::string ReceiveLine(int timeout);
    virtual std::string ReceiveUntil(int timeout, const std::string& terminator);
    virtual std::string ReceivePacket(int timeout);
    virtual std::string ReceiveBlock(int timeout);
    virtual void ReceiveToStream(std::ostream& stream, int timeout);
    virtual void ReceiveStream(std::ostream& stream, int timeout);
    virtual void ReceiveStreamBigEndian(std::ostream& stream, int timeout);
    virtual int PeekBytes(void* buffer, int length);
    virtual uint8_t PeekByte(int timeout);
    virtual int PendingBytes();

    // Waiting.
    virtual bool WaitReadable(int timeout);
    virtual bool CanReadOrBuffered(int timeout);
    virtual bool WaitWritable(int timeout);

    // Closing.
    virtual void CloseGracefully();
    virtual void CloseAbortively();
    // Reads and discards what is already pending (at most kMaxDrain bytes), then clears the error.
    void Drain();
    static constexpr size_t kMaxDrain = 65536;

    // Datagrams.
    virtual int SendDatagram(const void* buffer, int length);
    virtual int ReceiveDatagram(void* buffer, int length);

    // Options.
    void ConfigureOption(const TSocketOption& option);
    void ConfigureLinger(bool enabled, int32_t milliseconds);
    void ConfigureTTL(int32_t value);

    // Errors.
    static std::string GetErrorDesc(int code);
    virtual std::string GetErrorDescEx();
    virtual int CheckCallResult(int result);
    void ClearLastError();
    void CheckLastError();

    virtual int SocketKind() const { return 0; }
    virtual int SocketProtocol() const { return 0; }

protected:
    void ReportStatus(THookSocketReason reason, const std::string& value);
    void SetLastError(int code) { FLastError = code; }
    void SetErrno(int err);
    bool CheckStopFlag();
    void PaceTransfer(uint32_t& nextTick, uint32_t limit, int length);
    bool WaitOnce(short events, int timeout);
    bool ResolveForUse(const std::string& ip, const std::string& port, TSocketAddress& out);
    void ReadAddresses();
    void ApplyOption(const TSocketOption& option);
    void ApplyReadFilter(void* buffer, int& count);
    int ReceiveFromSystem(void* buffer, int length, int flags);
    // Appends one arrival to `dest`, without looking at the pending-input buffer (the error
    // state is left set).
    void FetchPacket(int timeout, std::string& dest);
    void RepairLineEnd(std::string& text, size_t from);
    // Drops pending input up to the end of the overlong line that gave 10055.
    void SkipRestOfLongLine(bool lineMode, size_t& scanFrom);
    // Length of the pending input's end that may be the start of the skipped-to terminator.
    size_t StartOfSkipTerminator() const;
    void TakeFromBuffer(void* buffer, int length);
    void SendStreamWithPrefix(std::istream& stream, bool bigEndian);
    void ReceiveStreamWithPrefix(std::ostream& stream, int timeout, bool bigEndian);
    void SetBuffer(std::string data)
    {
        FBuffer = std::move(data);
        FBufferPos = 0;
    }
    // The wait `timeout` (ms, -1 = none) cut to what is left before Deadline; -2 when the
    // deadline has passed.
    int WaitBudget(int timeout) const;

    TSocket FSocket = INVALID_SOCKET;
    TSocketAddress FLocalSin, FRemoteSin;
    std::string FBuffer; // pending input is FBuffer[FBufferPos..]
    size_t FBufferPos = 0;
    bool FNonBlockMode = false;
    uint32_t FNextSend = 0, FNextRecv = 0;
    bool FLastCR = false, FLastLF = false;
    bool FBound = false;
    TSocketFamily FFamily = SF_Any, FFamilySave = SF_Any;
    bool FIP6Used = false;
    std::vector<TSocketOption> FDelayedOptions;
    int32_t FRecvCounter = 0, FSendCounter = 0;
    int FLastError = 0;
    std::string FLastErrorText;
    std::string FFilterText; // the read filter's working text
    // After an overlong line (10055), the rest of that line up to this terminator is
    // dropped by the next ReceiveUntil instead of coming back as a line of its own.
    std::string FSkipTo;
};

// Narrows a socket's Deadline to `ms` from now (when that is earlier) for one scope;
// 0 or less leaves it as it is.
class TWaitLimit
{
public:
    TWaitLimit(TBlockSocket& socket, int ms)
        : FSocket(socket)
        , FSaved(socket.Deadline)
    {
        if (ms <= 0)
            return;
        const uint64_t until = SteadyMilliseconds() + static_cast<uint64_t>(ms);
        if (FSaved == 0 || until < FSaved)
            socket.Deadline = until;
    }
    ~TWaitLimit() { FSocket.Deadline = FSaved; }
    TWaitLimit(const TWaitLimit&) = delete;
    TWaitLimit& operator=(const TWaitLimit&) = delete;

private:
    TBlockSocket& FSocket;
    uint64_t FSaved;
};

// Adds the SOCKS proxy settings (a proxy is used only when SocksIP is not empty).
class TSocksBlockSocket : public TBlockSocket
{
public:
    std::string SocksIP;
    std::string SocksPort = "1080";
    std::string SocksUsername, SocksPassword;
    int SocksTimeout = 60000;
    bool SocksResolver = true; // let the proxy resolve names
    TSocksType SocksType = ST_Socks5;
    bool UsingSocks() const { return FUsingSocks; }
    const std::string& SocksLastError() const { return FSocksLastError; }
    std::string SocksResponseIP() const { return FSocksResponseIP; }
    int SocksResponsePort() const { return FSocksResponsePort; }

protected:
    // Greeting and authentication on an open connection to the proxy.
    bool SocksOpen();
    // One request (1 = connect, 2 = bind) and its reply.
    bool SocksRequest(uint8_t command, const std::string& ip, const std::string& port);
    bool SocksResponse();
    bool FUsingSocks = false;
    std::string FSocksLastError;
    std::string FSocksResponseIP;
    int FSocksResponsePort = 0;
};

// The encryption plug of a TCP socket; the only plug never encrypts.
class TCustomSSL
{
public:
    explicit TCustomSSL(TBlockSocket* socket)
        : FSocket(socket)
    {}
    virtual ~TCustomSSL() = default;
    virtual std::string LibName() const = 0;
    virtual std::string LibVersion() const = 0;
    virtual bool Connect() = 0;
    virtual bool Accept() = 0;
    virtual bool Shutdown() = 0;
    virtual int SendBuffer(const void* buffer, int length) = 0;
    virtual int RecvBuffer(void* buffer, int length) = 0;
    virtual int WaitingData() = 0;
    bool SSLEnabled() const { return FSSLEnabled; }
    int LastError() const { return FLastError; }
    const std::string& LastErrorDesc() const { return FLastErrorDesc; }

protected:
    TBlockSocket* FSocket;
    bool FSSLEnabled = false;
    int FLastError = 0;
    std::string FLastErrorDesc;
};

class TSSLNone : public TCustomSSL
{
public:
    using TCustomSSL::TCustomSSL;
    std::string LibName() const override { return "ssl_none"; }
    std::string LibVersion() const override { return "Without SSL support"; }
    bool Connect() override { return NotCompiled(); }
    bool Accept() override { return NotCompiled(); }
    bool Shutdown() override { return NotCompiled(); }
    int SendBuffer(const void*, int) override
    {
        NotCompiled();
        return 0;
    }
    int RecvBuffer(void*, int) override
    {
        NotCompiled();
        return 0;
    }
    int WaitingData() override { return 0; }

private:
    bool NotCompiled()
    {
        FLastError = -1;
        FLastErrorDesc = "SSL/TLS support is not compiled!";
        return false;
    }
};

class TTCPBlockSocket : public TSocksBlockSocket
{
public:
    TTCPBlockSocket();
    ~TTCPBlockSocket() override;

    THookAfterConnect OnAfterConnect;
    std::string HTTPTunnelIP, HTTPTunnelPort, HTTPTunnelUser, HTTPTunnelPass;
    int HTTPTunnelTimeout = 30000;
    bool HTTPTunnel() const { return FHTTPTunnel; }
    TCustomSSL& SSL() { return *FSSL; }

    void CloseGracefully() override;
    void Connect(const std::string& ip, const std::string& port) override;
    int SendBytes(const void* buffer, int length) override;
    int ReceiveBytes(void* buffer, int length) override;
    int PendingBytes() override;
    std::string LocalAddress() override;
    std::string RemoteAddress() override;
    int LocalPort() override;
    int RemotePort() override;
    std::string GetErrorDescEx() override;
    int SocketKind() const override { return SOCK_STREAM; }
    int SocketProtocol() const override { return IPPROTO_TCP; }

    virtual void StartListening();
    TSocket AcceptConnection();

private:
    void SocksDoConnect(const std::string& ip, const std::string& port);
    void HTTPTunnelDoConnect(const std::string& ip, const std::string& port);
    std::unique_ptr<TCustomSSL> FSSL;
    bool FHTTPTunnel = false;
    std::string FHTTPTunnelRemoteIP;
    int FHTTPTunnelRemotePort = 0;
};

// Datagram socket: Connect only records the peer; sends go to it, receives update it.
class TDgramBlockSocket : public TSocksBlockSocket
{
public:
    void Connect(const std::string& ip, const std::string& port) override;
    int SendBytes(const void* buffer, int length) override;
    int ReceiveBytes(void* buffer, int length) override;
    int SocketKind() const override { return SOCK_DGRAM; }
    int SocketProtocol() const override { return IPPROTO_UDP; }
};

// ICMP socket: raw by default; with Datagram set, the unprivileged ping socket, where the
// kernel owns the identifier and replies carry no IPv4 header.
class TICMPBlockSocket : public TDgramBlockSocket
{
public:
    bool Datagram = false;
    int SocketKind() const override { return Datagram ? int(SOCK_DGRAM) : int(SOCK_RAW); }
    int SocketProtocol() const override
    {
        return FIP6Used ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP);
    }
};

// Base of the protocol clients.
class TLinkClient
{
public:
    virtual ~TLinkClient() = default;
    std::string TargetHost = "127.0.0.1";
    std::string TargetPort = "0";
    std::string IPInterface = "0.0.0.0";
    // The network port all of the client's sockets go through (see BindDevice); empty = any.
    std::string Interface;
    int Timeout = 5000;
    // Bound (ms) on the whole of each wait of the client, however the peer trickles: a
    // peer sending a byte now and then never lets Timeout (a bound per silence) end a
    // wait. 0 = none.
    int WaitLimit = 0;
    std::string UserName, Password;
};
