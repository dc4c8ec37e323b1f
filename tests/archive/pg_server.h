// A PostgreSQL server of the test's own: a cluster made by initdb in a temporary folder,
// run by an unprivileged user (PostgreSQL refuses root), on a loopback port with password
// login.
#pragma once

#include "support/server_process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class PgServer
{
public:
    static constexpr const char* kPassword = "line-S3cret;pw";
    static constexpr const char* kBin = "/usr/lib/postgresql/15/bin/";

    PgServer()
    {
        char tmpl[] = "/tmp/tolvek-pg-XXXXXX";
        dir_ = mkdtemp(tmpl);
        Own(dir_);
        const std::string pw = dir_ + "/pw";
        if (FILE* f = fopen(pw.c_str(), "w")) {
            fprintf(f, "%s\n", kPassword);
            fclose(f);
        }
        Own(pw);
        port_ = FreePort();
        made_ = Spawn({std::string(kBin) + "initdb", "-D", dir_ + "/data", "-U", "tolvek",
                       "--pwfile=" + pw, "-A", "scram-sha-256", "-E", "UTF8", "--locale=C", "-N"},
                      true)
                == 0;
    }
    ~PgServer()
    {
        Stop(SIGINT);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    int Port() const { return port_; }
    std::string Uri(const std::string& password = kPassword) const
    {
        std::string encoded;
        for (char c : password)
            encoded += c == ';' ? std::string("%3B") : std::string(1, c);
        return "postgresql://tolvek:" + encoded + "@127.0.0.1:" + std::to_string(port_)
               + "/postgres";
    }

    // Starts the server and waits until it takes logins.
    bool Start()
    {
        if (!made_)
            return false;
        pid_ = Spawn({std::string(kBin) + "postgres", "-D", dir_ + "/data", "-p",
                      std::to_string(port_), "-h", "127.0.0.1", "-k", dir_, "-c", "fsync=off"},
                     false);
        for (int i = 0; i < 200; ++i) {
            if (Spawn({std::string(kBin) + "pg_isready", "-q", "-h", "127.0.0.1", "-p",
                       std::to_string(port_)},
                      true)
                == 0)
                return true;
            usleep(50000);
        }
        return false;
    }
    // SIGQUIT: the immediate shutdown, open transactions die as in a crash.
    void Stop(int signal = SIGQUIT)
    {
        if (pid_ <= 0)
            return;
        kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    static bool Root() { return geteuid() == 0; }
    static void Own(const std::string& path)
    {
        if (Root() && chown(path.c_str(), 65534, 65534) != 0)
            perror("chown");
    }
    // Runs argv as the unprivileged user; with `wait` returns its exit status, else its pid.
    int Spawn(const std::vector<std::string>& argv, bool wait) const
    {
        const pid_t pid = fork();
        if (pid == 0) {
            const int log = open((dir_ + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
            dup2(log, 1);
            dup2(log, 2);
            if (Root() && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
                _exit(126);
            testsupport::ExecOrExit(argv);
        }
        if (!wait)
            return pid;
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
    int port_ = 0;
    bool made_ = false;
    pid_t pid_ = -1;
};

// A "server" that takes connections into its backlog and never answers: a line database
// that hangs. Closing it refuses them.
class SilentServer
{
public:
    SilentServer()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 4) == 0
            && getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~SilentServer() { Close(); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    void Close()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    std::string Uri() const
    {
        return "postgresql://tolvek:x@127.0.0.1:" + std::to_string(port_) + "/postgres";
    }
    int Port() const { return port_; }

private:
    int fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int port_ = 0;
};

// A slow link to a server on loopback: every piece of data, each way, is passed on
// `delayMs` after it came (a login of a few round trips takes a second at 150 ms).
class DelayProxy
{
public:
    DelayProxy(int targetPort, int delayMs)
        : target_(targetPort)
        , delayMs_(delayMs)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 16) == 0
            && getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
        Start([this] { Accept(); });
    }
    ~DelayProxy()
    {
        stop_ = true;
        for (;;) { // the accepting thread may start pumps meanwhile
            std::vector<std::thread> threads;
            {
                std::lock_guard<std::mutex> g(lock_);
                threads.swap(threads_);
            }
            if (threads.empty())
                break;
            for (auto& t : threads)
                t.join();
        }
        for (int fd : fds_)
            close(fd);
        close(fd_);
    }
    DelayProxy(const DelayProxy&) = delete;
    DelayProxy& operator=(const DelayProxy&) = delete;
    int Port() const { return port_; }

private:
    void Start(std::function<void()> f)
    {
        std::lock_guard<std::mutex> g(lock_);
        threads_.emplace_back(std::move(f));
    }
    bool Readable(int fd) const
    {
        pollfd p{fd, POLLIN, 0};
        while (!stop_)
            if (poll(&p, 1, 100) > 0)
                return true;
        return false;
    }
    void Accept()
    {
        while (Readable(fd_)) {
            const int in = accept(fd_, nullptr, nullptr);
            const int out = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(target_));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (in < 0 || connect(out, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(in);
                close(out);
                continue;
            }
            {
                std::lock_guard<std::mutex> g(lock_);
                fds_.push_back(in);
                fds_.push_back(out);
            }
            Start([this, in, out] { Pump(in, out); });
            Start([this, in, out] { Pump(out, in); });
        }
    }
    void Pump(int from, int to)
    {
        char buffer[65536];
        while (Readable(from)) {
            const ssize_t n = recv(from, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
            if (send(to, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
                break;
        }
        shutdown(to, SHUT_WR);
    }

    int fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int port_ = 0, target_, delayMs_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<std::thread> threads_;
    std::vector<int> fds_;
};

} // namespace testsupport
