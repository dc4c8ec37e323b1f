// The process-wide stop: raised from a signal handler or another thread, it ends the poll
// going on at once. It is raised for good, so each case runs in a child process.
#include "net/block_socket.h"
#include "net/run_stop.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs check() in a child process; its result is the child's exit status.
bool InChild(const std::function<bool()>& check)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(check() ? 0 : 1);
    int status = -1;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)
           && WEXITSTATUS(status) == 0;
}

} // namespace

TEST(RunStop, PollEndsAtOnceWhenRaisedElsewhereOrPast)
{
    struct Case
    {
        const char* name;
        std::function<void()> stop; // called before the poll begins
    };
    const Case cases[] = {
            {"raised by another thread during the poll",
             [] {
                 std::thread([] {
                     usleep(200 * 1000);
                     RaiseRunStop();
                 }).detach();
             }},
            {"raised before the poll", [] { RaiseRunStop(); }},
            {"its deadline reached during the poll",
             [] { SetRunStopDeadline(SteadyMilliseconds() + 200); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(InChild([&] {
            PrepareRunStop();
            int quiet[2];
            if (pipe(quiet) != 0)
                return false;
            pollfd p{quiet[0], POLLIN, 0};
            const uint64_t start = SteadyMilliseconds();
            c.stop();
            const int r = PollUnlessStopped(p, 8000);
            const int error = errno;
            return r == -1 && error == ECANCELED && SteadyMilliseconds() - start < 3000;
        }));
    }
}
