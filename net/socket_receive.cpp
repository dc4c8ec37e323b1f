// Receiving on the blocking socket: packets, exact counts, blocks, streams, peeking and
// datagrams.
#include "net/block_socket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>

namespace {
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
// Datagrams.

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
