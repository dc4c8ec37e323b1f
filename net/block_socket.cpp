// The blocking socket's life: process start-up, error state, the handle (urgent data kept
// in line), bind and connect, closing, and the socket options.
#include "net/block_socket.h"

#include "net/socket_poll.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::mutex gLibraryLock;
int gLibraryReferences = 0;

// An urgent byte (a telnet Synch, say) is read as ordinary data. Out of line, the
// pending-byte count leaves it out and the socket looks readable with nothing to read.
void KeepUrgentDataInLine(int fd, int kind)
{
    if (kind != SOCK_STREAM)
        return;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
}

// Start-up and clean-up of the process, around every socket object.
struct SocketLibraryStartup
{
    SocketLibraryStartup()
    {
        if (!LoadSocketLibrary("ws2_32.dll")) {
            const std::string msg = "Error loading Socket interface (ws2_32.dll)!";
            throw ESocketError(0, msg, msg);
        }
    }
    ~SocketLibraryStartup() { UnloadSocketLibrary(); }
};

} // namespace

bool LoadSocketLibrary(const std::string&)
{
    std::lock_guard<std::mutex> lock(gLibraryLock);
    ++gLibraryReferences;
    return true;
}

void UnloadSocketLibrary()
{
    std::lock_guard<std::mutex> lock(gLibraryLock);
    if (gLibraryReferences > 0)
        --gLibraryReferences;
}

int SocketLibraryReferences()
{
    std::lock_guard<std::mutex> lock(gLibraryLock);
    return gLibraryReferences;
}

namespace {
SocketLibraryStartup gSocketLibraryStartup;
} // namespace

// ---------------------------------------------------------------------------------------

TBlockSocket::TBlockSocket() = default;

TBlockSocket::~TBlockSocket()
{
    // A base destructor cannot reach an override: each class closes in its own destructor.
    TBlockSocket::CloseAbortively();
}

void TBlockSocket::SetMaxBandwidth(uint32_t bytesPerSecond)
{
    MaxSendBandwidth = bytesPerSecond;
    MaxRecvBandwidth = bytesPerSecond;
}

void TBlockSocket::SetFamily(TSocketFamily value)
{
    FFamily = value;
    FFamilySave = value;
}

void TBlockSocket::ClearPendingInput()
{
    FBuffer.clear();
    FBufferPos = 0;
}

void TBlockSocket::ReportStatus(THookSocketReason reason, const std::string& value)
{
    if (OnStatus)
        OnStatus(this, reason, value);
}

void TBlockSocket::ClearLastError()
{
    FLastError = 0;
    FLastErrorText.clear();
}

void TBlockSocket::SetErrno(int err)
{
    FLastError = ErrnoToSocketError(err);
}

std::string TBlockSocket::GetErrorDescEx()
{
    return GetErrorDesc(FLastError);
}

void TBlockSocket::CheckLastError()
{
    FLastErrorText = GetErrorDescEx();
    if (FLastError == 0 || FLastError == WSAEWOULDBLOCK || FLastError == WSAEINPROGRESS)
        return;
    ReportStatus(HR_Error, std::to_string(FLastError) + "," + FLastErrorText);
    if (RaiseExcept)
        throw ESocketError(FLastError, FLastErrorText,
                           "TCP/IP Socket error " + std::to_string(FLastError) + ": "
                                   + FLastErrorText);
}

int TBlockSocket::CheckCallResult(int result)
{
    ClearLastError();
    if (result == -1) {
        SetErrno(errno);
        FLastErrorText = GetErrorDesc(FLastError);
    }
    return FLastError;
}

bool TBlockSocket::CheckStopFlag()
{
    if (HeartbeatRate != 0 && OnHeartbeat)
        OnHeartbeat(this);
    if (!StopFlag)
        return false;
    StopFlag = false;
    FLastError = WSAECONNABORTED;
    CheckLastError();
    return true;
}

// ---------------------------------------------------------------------------------------
// Handle, bind, connect.

void TBlockSocket::CreateSocket(int systemFamily)
{
    StopFlag = false;
    FRecvCounter = 0;
    FSendCounter = 0;
    ClearLastError();
    if (FSocket != INVALID_SOCKET)
        return;
    ClearPendingInput();
    FBound = false;
    FIP6Used = systemFamily == AF_INET6;
    FSkipTo.clear();
    FSocket = socket(systemFamily == AF_UNSPEC ? AF_INET : systemFamily,
                     SocketKind() | SOCK_CLOEXEC, SocketProtocol());
    if (FSocket == INVALID_SOCKET)
        SetErrno(errno);
    CheckLastError();
    if (FSocket == INVALID_SOCKET)
        return;
    // Bound before anything can be sent: a unit at the same address behind another port
    // must never be reached.
    if (const int err = BindSocketToDevice(FSocket, BindDevice); err != 0) {
        ::close(FSocket);
        FSocket = INVALID_SOCKET;
        SetErrno(err);
        CheckLastError();
        return;
    }
    KeepUrgentDataInLine(FSocket, SocketKind());
    ReportStatus(HR_SocketCreate, FIP6Used ? "IPv6" : "IPv4");
    std::vector<TSocketOption> queued;
    queued.swap(FDelayedOptions);
    for (auto& o : queued)
        ApplyOption(o);
    if (OnCreateSocket)
        OnCreateSocket(this);
}

void TBlockSocket::Connect(const std::string& ip, const std::string& port)
{
    TSocketAddress sin;
    if (ResolveForUse(ip, port, sin)) {
        if (FSocket == INVALID_SOCKET)
            CreateSocket(sin.FamilyTag());
        if (FLastError == 0) {
            // Non-blocking connect, so that a silent address costs ConnectTimeout and not the
            // system's two minutes of SYN retries.
            int flags = fcntl(FSocket, F_GETFL);
            if (!FNonBlockMode)
                fcntl(FSocket, F_SETFL, flags | O_NONBLOCK);
            int r = ::connect(FSocket, sin.Ptr(), sin.Length);
            int err = r == 0 ? 0 : errno;
            if (r != 0 && err == EINPROGRESS && !FNonBlockMode) {
                const int budget = WaitBudget(static_cast<int>(ConnectTimeout));
                int p = budget < 0 ? 0 : PollRetrying(FSocket, POLLOUT, budget);
                if (p == 0) {
                    err = ETIMEDOUT;
                } else if (p < 0) {
                    err = errno;
                } else {
                    socklen_t len = sizeof err;
                    if (getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                        err = errno;
                }
            }
            if (!FNonBlockMode)
                fcntl(FSocket, F_SETFL, flags & ~O_NONBLOCK);
            SetErrno(err);
            // The system may still be trying; a later attempt needs a fresh handle.
            if (err == ETIMEDOUT)
                TBlockSocket::CloseAbortively();
            if (FLastError == 0)
                ReadAddresses();
        }
        ClearPendingInput();
        FLastCR = false;
        FLastLF = false;
    }
    CheckLastError();
    ReportStatus(HR_Connect, ip + ":" + port);
}

void TBlockSocket::BindLocal(const std::string& ip, const std::string& port)
{
    ClearLastError();
    if (FSocket == INVALID_SOCKET && FFamily == SF_Any && ip == "0.0.0.0" && port == "0")
        return;
    TSocketAddress sin;
    if (ResolveForUse(ip, port, sin)) {
        if (FSocket == INVALID_SOCKET)
            CreateSocket(sin.FamilyTag());
        if (FLastError == 0 && CheckCallResult(::bind(FSocket, sin.Ptr(), sin.Length)) == 0) {
            ReadAddresses();
            ClearPendingInput();
            FBound = true;
        }
    }
    CheckLastError();
    ReportStatus(HR_Bind, ip + ":" + port);
}

void TBlockSocket::AdoptHandle(TSocket handle)
{
    FSendCounter = 0;
    FRecvCounter = 0;
    FSocket = handle;
    FSkipTo.clear();
    KeepUrgentDataInLine(FSocket, SocketKind());
    ReadAddresses();
    // The socket's own family: an unconnected handle has no remote address to tell it.
    int family = 0;
    socklen_t length = sizeof family;
    if (getsockopt(FSocket, SOL_SOCKET, SO_DOMAIN, &family, &length) != 0)
        family = FRemoteSin.FamilyTag();
    FIP6Used = family == AF_INET6;
}

// ---------------------------------------------------------------------------------------
// Closing.

void TBlockSocket::Drain()
{
    // Only what is already there, and not much of it: a peer that keeps talking must not
    // keep a close or a command waiting.
    ClearPendingInput();
    const int32_t before = FRecvCounter;
    try {
        while (static_cast<size_t>(FRecvCounter - before) < kMaxDrain && PendingBytes() > 0) {
            ReceivePacket(0);
            if (FLastError != 0)
                break;
        }
    } catch (const ESocketError&) {}
    ClearLastError();
}

void TBlockSocket::CloseGracefully()
{
    TBlockSocket::CloseAbortively();
}

void TBlockSocket::CloseAbortively()
{
    if (FSocket != INVALID_SOCKET) {
        ::close(FSocket);
        FSocket = INVALID_SOCKET;
        FDelayedOptions.clear();
        FFamily = FFamilySave;
        ReportStatus(HR_SocketClose, "");
    }
}

// ---------------------------------------------------------------------------------------
// Options.

void TBlockSocket::ConfigureOption(const TSocketOption& option)
{
    if (FSocket == INVALID_SOCKET)
        FDelayedOptions.push_back(option);
    else
        ApplyOption(option);
}

void TBlockSocket::ConfigureLinger(bool enabled, int32_t milliseconds)
{
    ConfigureOption(TSocketOption{OPT_Linger, enabled, milliseconds});
}

void TBlockSocket::ConfigureTTL(int32_t value)
{
    ConfigureOption(TSocketOption{OPT_TTL, false, value});
}

void TBlockSocket::ApplyOption(const TSocketOption& option)
{
    int value = option.Value;
    int enabled = option.Enabled ? 1 : 0;
    int r = 0;
    auto set = [&](int level, int name, const void* data, socklen_t len) {
        r = setsockopt(FSocket, level, name, data, len);
    };
    auto setTimeout = [&](int name) {
        timeval tv{value / 1000, static_cast<suseconds_t>(value % 1000) * 1000};
        set(SOL_SOCKET, name, &tv, sizeof tv);
    };
    switch (option.Option) {
    case OPT_Linger: {
        linger l{enabled, value / 1000};
        set(SOL_SOCKET, SO_LINGER, &l, sizeof l);
        break;
    }
    case OPT_RecvBuffer: set(SOL_SOCKET, SO_RCVBUF, &value, sizeof value); break;
    case OPT_SendBuffer: set(SOL_SOCKET, SO_SNDBUF, &value, sizeof value); break;
    case OPT_NonBlock: {
        int flags = fcntl(FSocket, F_GETFL);
        r = fcntl(FSocket, F_SETFL, enabled ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
        FNonBlockMode = option.Enabled;
        break;
    }
    case OPT_RecvTimeout: setTimeout(SO_RCVTIMEO); break;
    case OPT_SendTimeout: setTimeout(SO_SNDTIMEO); break;
    case OPT_Reuse: set(SOL_SOCKET, SO_REUSEADDR, &enabled, sizeof enabled); break;
    case OPT_TTL:
        if (FIP6Used)
            set(IPPROTO_IPV6, IPV6_UNICAST_HOPS, &value, sizeof value);
        else
            set(IPPROTO_IP, IP_TTL, &value, sizeof value);
        break;
    case OPT_Broadcast: set(SOL_SOCKET, SO_BROADCAST, &enabled, sizeof enabled); break;
    case OPT_MulticastTTL:
        if (FIP6Used)
            set(IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &value, sizeof value);
        else
            set(IPPROTO_IP, IP_MULTICAST_TTL, &value, sizeof value);
        break;
    case OPT_MulticastLoop:
        if (FIP6Used)
            set(IPPROTO_IPV6, IPV6_MULTICAST_LOOP, &enabled, sizeof enabled);
        else
            set(IPPROTO_IP, IP_MULTICAST_LOOP, &enabled, sizeof enabled);
        break;
    }
    CheckCallResult(r);
}
