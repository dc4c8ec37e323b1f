// Core of the blocking socket: handle, error state, waiting, sending and receiving.
#include "net/block_socket.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <istream>
#include <ostream>
#include <thread>

namespace {

std::mutex gLibraryLock;
int gLibraryReferences = 0;

// Most of the layer's waits are bounded; a poll() interrupted by a signal goes on with the
// time that is left.
int PollRetrying(int fd, short events, int timeout)
{
    pollfd p{fd, events, 0};
    auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
    for (;;) {
        int r = poll(&p, 1, timeout);
        if (r >= 0 || errno != EINTR)
            return r;
        if (timeout >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                deadline - std::chrono::steady_clock::now())
                                .count();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

void SleepMs(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

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

uint32_t MillisecondTick()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
            static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t SteadyMilliseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t TickDifference(uint32_t oldTick, uint32_t newTick)
{
    if (newTick == oldTick)
        return 0;
    if (newTick > oldTick)
        return newTick - oldTick;
    uint32_t o = oldTick + 0x80000000u, n = newTick + 0x80000000u;
    if (o <= n)
        return n - o;
    return o - n;
}

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

void TBlockSocket::PaceTransfer(uint32_t& nextTick, uint32_t limit, int length)
{
    if (limit == 0 || StopFlag)
        return;
    uint32_t now = MillisecondTick();
    // "now is before next" in wrapping arithmetic: the signed distance is positive.
    if (static_cast<int32_t>(nextTick - now) > 0) {
        uint32_t d = nextTick - now;
        ReportStatus(HR_Wait, std::to_string(d));
        SleepMs(d % 250);
        for (uint32_t i = 0; i < d / 250 && !StopFlag; ++i)
            SleepMs(250);
    }
    nextTick =
            MillisecondTick() + static_cast<uint32_t>(static_cast<double>(length) / limit * 1000.0);
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
// Waiting.

int TBlockSocket::WaitBudget(int timeout) const
{
    if (Deadline == 0)
        return timeout;
    const uint64_t now = SteadyMilliseconds();
    if (now >= Deadline)
        return -2;
    const uint64_t left = std::min<uint64_t>(Deadline - now, 0x7FFFFFFF);
    return timeout < 0 || static_cast<uint64_t>(timeout) > left ? static_cast<int>(left) : timeout;
}

bool TBlockSocket::WaitOnce(short events, int timeout)
{
    if (FSocket == INVALID_SOCKET) {
        FLastError = WSAENOTSOCK;
        return false;
    }
    timeout = WaitBudget(timeout);
    if (timeout == -2)
        return false; // past the deadline: the caller reports a time-out
    int r = PollRetrying(FSocket, events, timeout);
    return CheckCallResult(r) == 0 && r > 0;
}

bool TBlockSocket::WaitReadable(int timeout)
{
    int n = 0, first = timeout;
    if (HeartbeatRate != 0 && timeout != -1) {
        n = timeout / HeartbeatRate;
        first = timeout % HeartbeatRate;
    }
    bool ready = WaitOnce(POLLIN, first);
    for (int i = 0; !ready && FLastError == 0 && i < n + 1; ++i) {
        if (HeartbeatRate != 0 && OnHeartbeat)
            OnHeartbeat(this);
        if (StopFlag) {
            StopFlag = false;
            ready = false;
            break;
        }
        ready = WaitOnce(POLLIN, HeartbeatRate);
    }
    CheckLastError();
    if (ready)
        ReportStatus(HR_CanRead, "");
    return ready;
}

bool TBlockSocket::WaitWritable(int timeout)
{
    bool ready = WaitOnce(POLLOUT, timeout);
    CheckLastError();
    if (ready)
        ReportStatus(HR_CanWrite, "");
    return ready;
}

bool TBlockSocket::CanReadOrBuffered(int timeout)
{
    if (FBufferPos < FBuffer.size())
        return true;
    return WaitReadable(timeout);
}

// ---------------------------------------------------------------------------------------
// Sending.

int TBlockSocket::SendWithoutWaiting(const std::string& data)
{
    if (FSocket == INVALID_SOCKET || data.empty())
        return 0;
    if (OnMonitor)
        OnMonitor(this, true, data.data(), static_cast<int>(data.size()));
    const ssize_t r = ::send(FSocket, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r <= 0)
        return 0;
    FSendCounter += static_cast<int32_t>(r);
    ReportStatus(HR_WriteCount, std::to_string(r));
    return static_cast<int>(r);
}

int TBlockSocket::SendBytes(const void* buffer, int length)
{
    ClearLastError();
    if (CheckStopFlag())
        return 0;
    if (OnMonitor)
        OnMonitor(this, true, buffer, length);
    const char* data = static_cast<const char*>(buffer);
    int sent = 0;
    while (sent < length) {
        int piece = std::min(SendMaxChunk, length - sent);
        if (piece <= 0)
            break;
        PaceTransfer(FNextSend, MaxSendBandwidth, piece);
        // Never blocks inside the system: a peer that stops reading costs at most
        // NonblockSendTimeout of silence, and a closed peer gives an error, not SIGPIPE.
        ssize_t r = ::send(FSocket, data + sent, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
        CheckCallResult(static_cast<int>(r));
        if (FLastError == WSAEWOULDBLOCK) {
            if (FNonBlockMode)
                break;
            if (!WaitWritable(static_cast<int>(NonblockSendTimeout))) {
                if (FLastError == 0)
                    FLastError = WSAETIMEDOUT;
                break;
            }
            continue;
        }
        if (FLastError != 0)
            break;
        sent += static_cast<int>(r);
        FSendCounter += static_cast<int32_t>(r);
        ReportStatus(HR_WriteCount, std::to_string(r));
    }
    CheckLastError();
    return sent;
}

void TBlockSocket::SendText(const std::string& text)
{
    if (text.empty()) {
        ClearLastError();
        return;
    }
    SendBytes(text.data(), static_cast<int>(text.size()));
}

void TBlockSocket::SendByte(uint8_t value)
{
    SendBytes(&value, 1);
}

namespace {
std::string LittleEndian32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
std::string BigEndian32(uint32_t v)
{
    std::string s = LittleEndian32(v);
    std::reverse(s.begin(), s.end());
    return s;
}
uint32_t Read32(const std::string& s, bool bigEndian)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t b = static_cast<unsigned char>(s[bigEndian ? i : 3 - i]);
        v = (v << 8) | b;
    }
    return v;
}
} // namespace

void TBlockSocket::SendInteger(int32_t value)
{
    SendText(LittleEndian32(static_cast<uint32_t>(value)));
}

void TBlockSocket::SendBlock(const std::string& data)
{
    SendText(LittleEndian32(static_cast<uint32_t>(data.size())) + data);
}

void TBlockSocket::SendFromStream(std::istream& stream)
{
    ClearLastError();
    std::string piece(static_cast<size_t>(std::max(SendMaxChunk, 1)), '\0');
    for (;;) {
        stream.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        std::streamsize got = stream.gcount();
        if (got <= 0)
            break;
        SendBytes(piece.data(), static_cast<int>(got));
        if (FLastError != 0)
            break;
    }
}

void TBlockSocket::SendStreamWithPrefix(std::istream& stream, bool bigEndian)
{
    auto start = stream.tellg();
    stream.seekg(0, std::ios::end);
    auto end = stream.tellg();
    stream.seekg(start);
    uint32_t size = start < 0 || end < start ? 0 : static_cast<uint32_t>(end - start);
    SendText(bigEndian ? BigEndian32(size) : LittleEndian32(size));
    if (FLastError == 0)
        SendFromStream(stream);
}

void TBlockSocket::SendStream(std::istream& stream)
{
    SendStreamWithPrefix(stream, false);
}
void TBlockSocket::SendStreamBigEndian(std::istream& stream)
{
    SendStreamWithPrefix(stream, true);
}

// ---------------------------------------------------------------------------------------
// Receiving.

int TBlockSocket::ReceiveFromSystem(void* buffer, int length, int flags)
{
    ssize_t r;
    do {
        r = ::recv(FSocket, buffer, static_cast<size_t>(length), flags);
    } while (r < 0 && errno == EINTR);
    return static_cast<int>(r);
}

void TBlockSocket::ApplyReadFilter(void* buffer, int& count)
{
    if (!OnReadFilter || count <= 0)
        return;
    std::string& text = FFilterText; // kept between packets, so its memory is reused
    text.assign(static_cast<char*>(buffer), static_cast<size_t>(count));
    OnReadFilter(this, text);
    if (text.size() > static_cast<size_t>(count))
        text.resize(static_cast<size_t>(count));
    std::memcpy(buffer, text.data(), text.size());
    count = static_cast<int>(text.size());
}

int TBlockSocket::ReceiveBytes(void* buffer, int length)
{
    ClearLastError();
    if (CheckStopFlag())
        return 0;
    PaceTransfer(FNextRecv, MaxRecvBandwidth, length);
    int r = ReceiveFromSystem(buffer, length, 0);
    if (r == 0)
        FLastError = WSAECONNRESET; // the peer closed; a close and a reset look alike
    else if (r < 0)
        SetErrno(errno);
    CheckLastError();
    if (r <= 0)
        return 0;
    FRecvCounter += r;
    ReportStatus(HR_ReadCount, std::to_string(r));
    if (OnMonitor)
        OnMonitor(this, false, buffer, r);
    ApplyReadFilter(buffer, r);
    return r;
}

int TBlockSocket::PendingBytes()
{
    int n = 0;
    if (FSocket == INVALID_SOCKET || ioctl(FSocket, FIONREAD, &n) != 0 || n < 0)
        return 0;
    return std::min(n, 65536);
}

void TBlockSocket::RepairLineEnd(std::string& text, size_t from)
{
    if (!ConvertLineEnd || text.size() <= from)
        return;
    if ((FLastCR && text[from] == '\n') || (FLastLF && text[from] == '\r'))
        text.erase(from, 1);
    FLastCR = false;
    FLastLF = false;
}

void TBlockSocket::FetchPacket(int timeout, std::string& dest)
{
    ClearLastError();
    const size_t old = dest.size();
    // Received straight into the destination: no intermediate copy of every packet.
    auto receive = [&](int n) {
        dest.resize(old + static_cast<size_t>(n));
        int got = ReceiveBytes(dest.data() + old, n);
        dest.resize(old + static_cast<size_t>(std::max(got, 0)));
    };
    // Past the deadline even a peer that keeps sending gets no further.
    if (WaitBudget(0) == -2) {
        FLastError = WSAETIMEDOUT;
        return;
    }
    bool stream = SocketKind() == SOCK_STREAM;
    int n = PendingBytes();
    if (n > 0) {
        receive(n);
    } else if (WaitReadable(timeout)) {
        if (stream) {
            n = PendingBytes();
            if (n == 0) {
                // Readable with nothing counted: only a receive that sees the end of the stream
                // (or an error) means the peer has gone; anything else is data after all.
                char probe = 0;
                const int r = ReceiveFromSystem(&probe, 1, MSG_PEEK | MSG_DONTWAIT);
                if (r > 0) {
                    receive(4096);
                } else if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    if (r == 0)
                        FLastError = WSAECONNRESET;
                    else
                        SetErrno(errno);
                    CheckLastError();
                }
            } else {
                receive(n);
            }
        } else {
            receive(65536); // a datagram may be empty; its size is only known by receiving it
        }
    } else if (FLastError == 0) {
        FLastError = WSAETIMEDOUT;
    }
    RepairLineEnd(dest, old);
}

std::string TBlockSocket::ReceivePacket(int timeout)
{
    ClearLastError();
    std::string result;
    if (FBufferPos < FBuffer.size()) {
        result = FBuffer.substr(FBufferPos);
        ClearPendingInput();
        RepairLineEnd(result, 0);
    } else {
        FetchPacket(timeout, result);
    }
    CheckLastError();
    return result;
}

namespace {

// First line end at or after `from`: CR, LF, CR LF or LF CR. Returns its position and length.
bool FindLineEnd(const std::string& s, size_t from, size_t& pos, size_t& len, bool& loneCR,
                 bool& loneLF)
{
    for (size_t i = from; i < s.size(); ++i) {
        char c = s[i];
        if (c != '\r' && c != '\n')
            continue;
        pos = i;
        char other = c == '\r' ? '\n' : '\r';
        if (i + 1 < s.size() && s[i + 1] == other) {
            len = 2;
        } else {
            len = 1;
            loneCR = c == '\r';
            loneLF = c == '\n';
        }
        return true;
    }
    return false;
}

} // namespace

std::string TBlockSocket::ReceiveUntil(int timeout, const std::string& terminator)
{
    ClearLastError();
    std::string result;
    if (terminator.empty())
        return result;
    const bool lineMode = ConvertLineEnd && terminator == "\r\n";
    // The accumulator is the pending-input buffer from FBufferPos on; each pass searches only
    // what is new (plus a terminator's length of overlap), so the work stays linear.
    size_t scanFrom = FBufferPos;
    int remaining = timeout;
    bool useBuffered = FBufferPos < FBuffer.size();
    bool found = false;
    size_t matchPos = 0, matchLen = 0;
    uint64_t rawReceived = 0;
    const bool wholeOperation = !InterPacketTimeout && remaining != -1;
    for (;;) {
        const uint32_t start = wholeOperation ? MillisecondTick() : 0;
        if (useBuffered) {
            useBuffered = false;
            RepairLineEnd(FBuffer, FBufferPos);
        } else {
            if (FBufferPos > 0) {
                // Nothing before FBufferPos is needed any more; the rest holds no terminator.
                FBuffer.erase(0, FBufferPos);
                scanFrom -= FBufferPos;
                FBufferPos = 0;
            }
            const int32_t before = FRecvCounter;
            FetchPacket(remaining, FBuffer);
            rawReceived += static_cast<uint32_t>(FRecvCounter - before);
        }
        if (FLastError != 0)
            break;
        if (!FSkipTo.empty())
            SkipRestOfLongLine(lineMode, scanFrom);
        if (FBuffer.size() > FBufferPos) {
            if (lineMode) {
                bool loneCR = false, loneLF = false;
                found = FindLineEnd(FBuffer, scanFrom, matchPos, matchLen, loneCR, loneLF);
                if (found) {
                    FLastCR = loneCR;
                    FLastLF = loneLF;
                }
                scanFrom = FBuffer.size();
            } else {
                size_t p = FBuffer.find(terminator, scanFrom);
                if (p != std::string::npos) {
                    found = true;
                    matchPos = p;
                    matchLen = terminator.size();
                } else {
                    size_t overlap = terminator.size() - 1;
                    scanFrom = std::max(FBufferPos,
                                        FBuffer.size() > overlap ? FBuffer.size() - overlap : 0);
                }
            }
        }
        if (found)
            break;
        // The limit also counts what a read filter swallowed, so a peer sending nothing but
        // telnet commands cannot keep the wait going for ever either.
        if (MaxLineLength > 0
            && (FBuffer.size() - FBufferPos > static_cast<size_t>(MaxLineLength)
                || rawReceived > static_cast<uint64_t>(MaxLineLength))) {
            // An overlong line is dropped rather than kept: kept, it would make every later
            // call fail at once and the caller spin. The rest of it, still to come, is dropped
            // too; a terminator's first bytes at the very end stay to be completed.
            FSkipTo = terminator;
            SetBuffer(FBuffer.substr(FBuffer.size() - StartOfSkipTerminator()));
            FLastError = WSAENOBUFS;
            break;
        }
        if (wholeOperation) {
            remaining -= static_cast<int>(TickDifference(start, MillisecondTick()));
            if (remaining <= 0) {
                FLastError = WSAETIMEDOUT;
                break;
            }
        }
    }
    if (found) {
        result.assign(FBuffer, FBufferPos, matchPos - FBufferPos);
        FBufferPos = matchPos + matchLen;
        if (FBufferPos >= FBuffer.size())
            ClearPendingInput();
    }
    CheckLastError();
    return result;
}

void TBlockSocket::SkipRestOfLongLine(bool lineMode, size_t& scanFrom)
{
    size_t pos = 0, len = 0;
    bool found;
    if (lineMode) {
        FLastCR = FLastLF = false;
        found = FindLineEnd(FBuffer, FBufferPos, pos, len, FLastCR, FLastLF);
    } else {
        pos = FBuffer.find(FSkipTo, FBufferPos);
        found = pos != std::string::npos;
        len = FSkipTo.size();
    }
    if (found) {
        FBufferPos = pos + len;
        FSkipTo.clear();
    } else {
        FBufferPos = FBuffer.size() - StartOfSkipTerminator();
    }
    scanFrom = FBufferPos;
}

size_t TBlockSocket::StartOfSkipTerminator() const
{
    size_t keep = std::min(FSkipTo.size() - 1, FBuffer.size() - FBufferPos);
    while (keep > 0 && FBuffer.compare(FBuffer.size() - keep, keep, FSkipTo, 0, keep) != 0)
        --keep;
    return keep;
}

std::string TBlockSocket::ReceiveLine(int timeout)
{
    std::string s = ReceiveUntil(timeout, "\r\n");
    return FLastError == 0 ? s : std::string();
}

void TBlockSocket::TakeFromBuffer(void* buffer, int length)
{
    std::memcpy(buffer, FBuffer.data() + FBufferPos, static_cast<size_t>(length));
    FBufferPos += static_cast<size_t>(length);
    if (FBufferPos >= FBuffer.size())
        ClearPendingInput();
}

int TBlockSocket::ReceiveExact(void* buffer, int length, int timeout)
{
    ClearLastError();
    if (length <= 0)
        return 0;
    // Collect into the pending-input buffer, so that nothing is lost when the wait fails.
    while (FBuffer.size() - FBufferPos < static_cast<size_t>(length)) {
        FetchPacket(timeout, FBuffer);
        if (FLastError != 0)
            break;
    }
    CheckLastError();
    if (FLastError != 0)
        return 0;
    TakeFromBuffer(buffer, length);
    return length;
}

std::string TBlockSocket::ReceiveExactText(int length, int timeout)
{
    if (length <= 0) {
        ClearLastError();
        return {};
    }
    std::string s(static_cast<size_t>(length), '\0');
    if (ReceiveExact(s.data(), length, timeout) != length)
        return {};
    return s;
}

uint8_t TBlockSocket::ReceiveByte(int timeout)
{
    uint8_t b = 0;
    ReceiveExact(&b, 1, timeout);
    return b;
}

int32_t TBlockSocket::ReceiveInteger(int timeout)
{
    std::string s = ReceiveExactText(4, timeout);
    return s.size() == 4 ? static_cast<int32_t>(Read32(s, false)) : 0;
}

std::string TBlockSocket::ReceiveBlock(int timeout)
{
    std::string prefix = ReceiveExactText(4, timeout);
    if (prefix.size() != 4)
        return {};
    uint32_t size = Read32(prefix, false);
    if (MaxLineLength > 0 && size > static_cast<uint32_t>(MaxLineLength)) {
        FLastError = WSAENOBUFS;
        CheckLastError();
        return {};
    }
    return ReceiveExactText(static_cast<int>(std::min<uint32_t>(size, 0x7FFFFFFF)), timeout);
}

void TBlockSocket::ReceiveToStream(std::ostream& stream, int timeout)
{
    ClearLastError();
    while (FLastError == 0) {
        std::string packet = ReceivePacket(timeout);
        if (FLastError == 0)
            stream.write(packet.data(), static_cast<std::streamsize>(packet.size()));
    }
}

void TBlockSocket::ReceiveStreamWithPrefix(std::ostream& stream, int timeout, bool bigEndian)
{
    std::string prefix = ReceiveExactText(4, timeout);
    if (prefix.size() != 4)
        return;
    uint64_t left = Read32(prefix, bigEndian);
    while (left > 0 && FLastError == 0) {
        std::string packet = ReceivePacket(timeout);
        if (FLastError != 0)
            break;
        if (packet.size() > left) {
            // What follows the stream stays pending for the next receive.
            SetBuffer(packet.substr(static_cast<size_t>(left)));
            packet.resize(static_cast<size_t>(left));
        }
        stream.write(packet.data(), static_cast<std::streamsize>(packet.size()));
        left -= packet.size();
    }
}

void TBlockSocket::ReceiveStream(std::ostream& stream, int timeout)
{
    ReceiveStreamWithPrefix(stream, timeout, false);
}
void TBlockSocket::ReceiveStreamBigEndian(std::ostream& stream, int timeout)
{
    ReceiveStreamWithPrefix(stream, timeout, true);
}

int TBlockSocket::PeekBytes(void* buffer, int length)
{
    ClearLastError();
    if (length <= 0)
        return 0;
    size_t buffered = FBuffer.size() - FBufferPos;
    if (buffered > 0) {
        int n = static_cast<int>(std::min(buffered, static_cast<size_t>(length)));
        std::memcpy(buffer, FBuffer.data() + FBufferPos, static_cast<size_t>(n));
        return n;
    }
    int r = ReceiveFromSystem(buffer, length, MSG_PEEK | MSG_DONTWAIT);
    if (r < 0)
        SetErrno(errno);
    CheckLastError();
    return r < 0 ? 0 : r;
}

uint8_t TBlockSocket::PeekByte(int timeout)
{
    ClearLastError();
    uint8_t b = 0;
    if (FBufferPos < FBuffer.size())
        return static_cast<uint8_t>(FBuffer[FBufferPos]);
    if (!WaitReadable(timeout)) {
        if (FLastError == 0)
            FLastError = WSAETIMEDOUT;
        CheckLastError();
        return 0;
    }
    int r = ReceiveFromSystem(&b, 1, MSG_PEEK | MSG_DONTWAIT);
    if (r == 0)
        FLastError = WSAECONNRESET;
    else if (r < 0)
        SetErrno(errno);
    CheckLastError();
    return r == 1 ? b : 0;
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
// Datagrams.

int TBlockSocket::SendDatagram(const void* buffer, int length)
{
    ClearLastError();
    if (CheckStopFlag())
        return 0;
    if (OnMonitor)
        OnMonitor(this, true, buffer, length);
    PaceTransfer(FNextSend, MaxSendBandwidth, length);
    ssize_t r = ::sendto(FSocket, buffer, static_cast<size_t>(length), MSG_NOSIGNAL,
                         FRemoteSin.Ptr(), FRemoteSin.Length);
    CheckCallResult(static_cast<int>(r));
    CheckLastError();
    if (r <= 0)
        return 0;
    FSendCounter += static_cast<int32_t>(r);
    ReportStatus(HR_WriteCount, std::to_string(r));
    return static_cast<int>(r);
}

int TBlockSocket::ReceiveDatagram(void* buffer, int length)
{
    ClearLastError();
    if (CheckStopFlag())
        return 0;
    PaceTransfer(FNextRecv, MaxRecvBandwidth, length);
    TSocketAddress from;
    from.Length = sizeof from.Storage;
    ssize_t r;
    do {
        r = ::recvfrom(FSocket, buffer, static_cast<size_t>(length), 0, from.Ptr(), &from.Length);
    } while (r < 0 && errno == EINTR);
    CheckCallResult(static_cast<int>(r));
    if (r >= 0)
        FRemoteSin = from;
    CheckLastError();
    if (r <= 0)
        return 0;
    FRecvCounter += static_cast<int32_t>(r);
    ReportStatus(HR_ReadCount, std::to_string(r));
    if (OnMonitor)
        OnMonitor(this, false, buffer, static_cast<int>(r));
    return static_cast<int>(r);
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
