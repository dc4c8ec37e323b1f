#include "test_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace testpeer {

bool SendAll(int fd, const std::string& data)
{
    size_t off = 0;
    while (off < data.size()) {
        ssize_t r = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        off += static_cast<size_t>(r);
    }
    return true;
}

static bool WaitIn(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, timeoutMs);
    while (r < 0 && errno == EINTR);
    return r > 0;
}

std::string ReadN(int fd, size_t n, int timeoutMs)
{
    std::string out;
    char buf[65536];
    while (out.size() < n && WaitIn(fd, timeoutMs)) {
        ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (r <= 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

std::string ReadUntil(int fd, const std::string& marker, int timeoutMs)
{
    std::string out;
    while (out.find(marker) == std::string::npos) {
        std::string c = ReadN(fd, 1, timeoutMs);
        if (c.empty())
            break;
        out += c;
    }
    return out;
}

std::string ReadAll(int fd, int timeoutMs)
{
    std::string out;
    char buf[65536];
    while (WaitIn(fd, timeoutMs)) {
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0)
            break;
        out.append(buf, static_cast<size_t>(r));
    }
    return out;
}

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

static int ListenOnLoopback(int backlog, int& port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
        || ::listen(fd, backlog) != 0)
        throw std::runtime_error("test peer: cannot listen");
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

ScriptedPeer::ScriptedPeer(std::function<void(int fd)> script, int connections, int backlog)
{
    listenFd_ = ListenOnLoopback(backlog, port_);
    thread_ = std::thread([this, script, connections] {
        for (int i = 0; i < connections; ++i) {
            if (!WaitIn(listenFd_, 10000))
                break;
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0)
                break;
            script(fd);
            ::close(fd);
        }
    });
}

void ScriptedPeer::Join()
{
    if (thread_.joinable())
        thread_.join();
}

ScriptedPeer::~ScriptedPeer()
{
    Join();
    ::close(listenFd_);
}

std::string UnusedPort()
{
    int port = 0;
    int fd = ListenOnLoopback(1, port);
    ::close(fd);
    return std::to_string(port);
}

} // namespace testpeer
