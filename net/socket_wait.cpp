// Waiting on the socket: each wait bounded per silence and by the whole-operation
// deadline, and the pacing of a bandwidth limit.
#include "net/block_socket.h"

#include "net/socket_poll.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

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

namespace {

void SleepMs(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

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
