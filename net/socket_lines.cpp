// Line reading on the blocking socket: a terminator searched in linear time, line ends
// of any kind, and overlong lines dropped rather than kept.
#include "net/block_socket.h"

#include <algorithm>

void TBlockSocket::RepairLineEnd(std::string& text, size_t from)
{
    if (!ConvertLineEnd || text.size() <= from)
        return;
    if ((FLastCR && text[from] == '\n') || (FLastLF && text[from] == '\r'))
        text.erase(from, 1);
    FLastCR = false;
    FLastLF = false;
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
