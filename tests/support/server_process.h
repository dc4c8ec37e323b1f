// A peer process for the tests (a real FTP server, the stand-in unit), started on
// loopback and stopped with the object.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace testsupport {

inline int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    // 0 on failure: no server can be started on it, so the test fails at once.
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
                    && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? ntohs(a.sin_port) : 0;
}

// In a forked child: runs argv (argv[0] a path) in place of this process, or ends it with 127.
[[noreturn]] inline void ExecOrExit(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

inline bool Accepts(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// A server process, stopped when the object goes.
class ServerProcess
{
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    // Starts argv; stdout is readable through FirstLine.
    bool Start(const std::vector<std::string>& argv)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            ExecOrExit(argv);
        }
        close(fds[1]);
        out_ = fds[0];
        return pid_ > 0;
    }
    std::string FirstLine(int timeoutMs)
    {
        std::string line;
        char c;
        pollfd p{out_, POLLIN, 0};
        while (poll(&p, 1, timeoutMs) > 0 && read(out_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    bool WaitUntilAccepting(int port)
    {
        for (int i = 0; i < 100; ++i) {
            if (Accepts(port))
                return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            usleep(50000);
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

} // namespace testsupport
