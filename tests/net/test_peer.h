// A scripted peer on loopback: listens on 127.0.0.1, accepts connections and runs a script
// with exact bytes in and out, on a thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace testpeer {

// Sends every byte (no SIGPIPE); false when the connection broke.
bool SendAll(int fd, const std::string& data);
// Reads exactly n bytes unless `timeoutMs` of silence or the close comes first.
std::string ReadN(int fd, size_t n, int timeoutMs = 5000);
// Reads until `marker` has been seen (returned text includes it) or silence/close.
std::string ReadUntil(int fd, const std::string& marker, int timeoutMs = 5000);
// Reads whatever arrives until `timeoutMs` of silence or the close.
std::string ReadAll(int fd, int timeoutMs);
void SleepMs(int ms);

class ScriptedPeer
{
public:
    // `connections` accepted one after another, each handed to `script`; the fd is closed after.
    explicit ScriptedPeer(std::function<void(int fd)> script, int connections = 1,
                          int backlog = 16);
    ~ScriptedPeer();
    std::string Port() const { return std::to_string(port_); }
    int PortNumber() const { return port_; }
    void Join();

private:
    int listenFd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens.
std::string UnusedPort();

class Stopwatch
{
public:
    Stopwatch()
        : start_(std::chrono::steady_clock::now())
    {}
    long Ms() const
    {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start_)
                                         .count());
    }

private:
    std::chrono::steady_clock::time_point start_;
};

} // namespace testpeer
