#include "net/run_stop.h"

#include "net/block_socket.h"

#include <atomic>
#include <cerrno>

#include <sys/eventfd.h>
#include <unistd.h>

namespace {

std::atomic<int> gStopFd{-1};
std::atomic<bool> gStopRaised{false};
std::atomic<uint64_t> gStopDeadline{0};

} // namespace

void PrepareRunStop()
{
    if (gStopFd.load() < 0)
        gStopFd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

void RaiseRunStop()
{
    gStopRaised.store(true);
    const int fd = gStopFd.load();
    if (fd >= 0) {
        const uint64_t one = 1;
        // Readable from now on; nothing ever reads it, so every later poll sees it too.
        [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
    }
}

void SetRunStopDeadline(uint64_t steadyMs)
{
    gStopDeadline.store(steadyMs);
}

bool RunStopRaised()
{
    const uint64_t deadline = gStopDeadline.load();
    return gStopRaised.load() || (deadline != 0 && SteadyMilliseconds() >= deadline);
}

int PollUnlessStopped(pollfd& p, int timeout)
{
    const uint64_t end = SteadyMilliseconds() + static_cast<uint64_t>(timeout < 0 ? 0 : timeout);
    for (;;) {
        if (RunStopRaised()) {
            errno = ECANCELED;
            return -1;
        }
        int wait = timeout;
        if (const uint64_t deadline = gStopDeadline.load(); deadline != 0) {
            const uint64_t now = SteadyMilliseconds();
            const uint64_t left = deadline > now ? deadline - now : 0;
            if (wait < 0 || static_cast<uint64_t>(wait) > left)
                wait = static_cast<int>(left + 1); // the stop's own time comes first
        }
        pollfd both[2] = {p, {gStopFd.load(), POLLIN, 0}};
        const int r = poll(both, both[1].fd >= 0 ? 2 : 1, wait);
        if (r > 0 && both[0].revents == 0)
            continue; // the stop: seen at the top
        if (r > 0) {
            p.revents = both[0].revents;
            return 1;
        }
        if (r < 0 && errno != EINTR)
            return r;
        if (timeout >= 0) {
            const uint64_t now = SteadyMilliseconds();
            if (r == 0 && wait == timeout)
                return 0;
            if (now >= end)
                return 0;
            timeout = static_cast<int>(end - now);
        }
        // r == 0 before the caller's time: the stop's deadline was reached, seen at the top.
    }
}
