// Sending on the blocking socket: bytes, texts, length-prefixed blocks and streams,
// datagrams.
#include "net/block_socket.h"

#include <sys/socket.h>

#include <algorithm>
#include <istream>

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
