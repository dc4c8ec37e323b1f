#include "ftp_scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <sstream>

namespace {

constexpr int kWaitMs = 5000; // no test waits longer than this on the client

bool WaitFor(int fd, short events, int ms)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) > 0;
}

int Listen(const char* host, int& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, host, &a.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int AcceptWithin(int listenFd, int ms)
{
    if (!WaitFor(listenFd, POLLIN, ms))
        return -1;
    return accept(listenFd, nullptr, nullptr);
}

std::string Verb(const std::string& line)
{
    return line.substr(0, line.find(' '));
}

std::string Argument(const std::string& line)
{
    const auto space = line.find(' ');
    return space == std::string::npos ? std::string() : line.substr(space + 1);
}

} // namespace

void SendAll(int fd, const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        const auto n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

ScriptedFtpServer::ScriptedFtpServer()
{
    listenFd_ = Listen("127.0.0.1", port_);
    thread_ = std::thread([this] { Run(); });
}

ScriptedFtpServer::~ScriptedFtpServer()
{
    stop_ = true;
    thread_.join();
    if (listenFd_ >= 0)
        close(listenFd_);
}

std::vector<std::string> ScriptedFtpServer::Log() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

std::string ScriptedFtpServer::File(const std::string& name) const
{
    std::lock_guard lock(mutex_);
    const auto it = files.find(name);
    return it == files.end() ? std::string() : it->second;
}

void ScriptedFtpServer::Run()
{
    while (!stop_) {
        const int fd = AcceptWithin(listenFd_, 50);
        if (fd < 0)
            continue;
        ++sessions_;
        Session(fd);
        close(fd);
        if (passiveFd_ >= 0)
            close(passiveFd_);
        passiveFd_ = -1;
    }
}

void ScriptedFtpServer::SendRaw(int fd, const std::string& text)
{
    SendAll(fd, text);
}

bool ScriptedFtpServer::ReadLine(int fd, std::string& buffer, std::string& line)
{
    for (;;) {
        const auto end = buffer.find("\r\n");
        if (end != std::string::npos) {
            line = buffer.substr(0, end);
            buffer.erase(0, end + 2);
            return true;
        }
        // Poll in short slices so that the destructor never waits for a silent client.
        bool readable = false;
        for (int waited = 0; waited < kWaitMs && !stop_ && !readable; waited += 50)
            readable = WaitFor(fd, POLLIN, 50);
        if (!readable)
            return false;
        char chunk[4096];
        const auto n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

int ScriptedFtpServer::OpenDataConnection()
{
    if (passiveFd_ >= 0) {
        const int fd = AcceptWithin(passiveFd_, kWaitMs);
        close(passiveFd_);
        passiveFd_ = -1;
        return fd;
    }
    if (activePort_ == 0)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(activePort_));
    inet_pton(AF_INET, activeHost_.c_str(), &a.sin_addr);
    activePort_ = 0;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void ScriptedFtpServer::Session(int fd)
{
    SendRaw(fd, greeting);
    std::string buffer, line;
    while (!stop_ && ReadLine(fd, buffer, line)) {
        {
            std::lock_guard lock(mutex_);
            log_.push_back(line);
        }
        const std::string verb = Verb(line), arg = Argument(line);
        std::string reply;
        if (auto it = replies.find(line); it != replies.end())
            reply = it->second;
        else if (auto v = replies.find(verb); v != replies.end())
            reply = v->second;
        else if (verb == "USER")
            reply = "331 Password required\r\n";
        else if (verb == "PASS")
            reply = "230 Logged in\r\n";
        else if (verb == "REST")
            reply = "350 Restarting at " + arg + "\r\n";
        else if (verb == "EPSV" || verb == "PASV") {
            if (passiveFd_ >= 0)
                close(passiveFd_);
            int dataPort = 0;
            passiveFd_ = Listen("127.0.0.1", dataPort);
            std::ostringstream r;
            if (verb == "EPSV")
                r << "229 Entering Extended Passive Mode (|||" << dataPort << "|)\r\n";
            else
                r << "227 Entering Passive Mode (" << passiveHost << "," << dataPort / 256 << ","
                  << dataPort % 256 << ").\r\n";
            reply = r.str();
        } else if (verb == "PORT") {
            int h[4], p[2];
            // Six numbers or a 501; numbers past int's range are no case this script plays.
            // NOLINTNEXTLINE(cert-err34-c)
            if (std::sscanf(arg.c_str(), "%d,%d,%d,%d,%d,%d", &h[0], &h[1], &h[2], &h[3], &p[0],
                            &p[1])
                == 6) {
                activeHost_ = std::to_string(h[0]) + "." + std::to_string(h[1]) + "."
                              + std::to_string(h[2]) + "." + std::to_string(h[3]);
                activePort_ = p[0] * 256 + p[1];
                reply = "200 PORT command successful\r\n";
            } else {
                reply = "501 Bad PORT\r\n";
            }
        } else if (verb == "EPRT") {
            // |1|host|port|
            const auto a = arg.find('|', 1), b = arg.find('|', a + 1), c = arg.find('|', b + 1);
            int port = 0;
            if (arg.size() > 1 && a != std::string::npos && b != std::string::npos
                && c != std::string::npos
                && std::from_chars(arg.data() + b + 1, arg.data() + c, port).ec == std::errc()) {
                activeHost_ = arg.substr(a + 1, b - a - 1);
                activePort_ = port;
                reply = "200 EPRT command successful\r\n";
            } else {
                reply = "501 Bad EPRT\r\n";
            }
        } else if (verb == "SIZE") {
            std::lock_guard lock(mutex_);
            const auto it = files.find(arg);
            reply = it == files.end() ? "550 No such file\r\n"
                                      : "213 " + std::to_string(it->second.size()) + "\r\n";
        } else if (verb == "RETR") {
            std::lock_guard lock(mutex_);
            reply = files.count(arg) || retrieveWriter ? "150 Opening data connection\r\n"
                                                       : "550 No such file\r\n";
        } else if (verb == "STOR" || verb == "LIST" || verb == "NLST")
            reply = "150 Opening data connection\r\n";
        else if (verb == "QUIT")
            reply = "221 Goodbye\r\n";
        else if (verb == "PWD")
            reply = "257 \"/home/unit\" is the current directory\r\n";
        else if (verb == "RNFR")
            reply = "350 Ready for RNTO\r\n";
        else
            reply = "200 OK\r\n";
        SendRaw(fd, reply);

        const bool dataPhase =
                (verb == "STOR" || verb == "RETR" || verb == "LIST" || verb == "NLST")
                && !reply.empty() && reply[0] == '1';
        if (dataPhase) {
            const int data = OpenDataConnection();
            if (data < 0) {
                SendRaw(fd, "425 Can't open data connection\r\n");
                continue;
            }
            bool done = true;
            if (verb == "STOR") {
                std::string received;
                char chunk[65536];
                while (WaitFor(data, POLLIN, kWaitMs)) {
                    const auto n = recv(data, chunk, sizeof chunk, 0);
                    if (n <= 0)
                        break;
                    received.append(chunk, static_cast<std::size_t>(n));
                }
                std::lock_guard lock(mutex_);
                files[arg] = std::move(received);
            } else if (verb == "RETR" && retrieveWriter) {
                done = retrieveWriter(data);
            } else if (verb == "RETR") {
                SendAll(data, File(arg));
            } else {
                SendAll(data, "-rw-r--r-- 1 root root 4 Jan 01 00:00 a.txt\r\n");
            }
            close(data);
            if (done)
                SendRaw(fd, transferDone);
        }
        if (verb == "QUIT")
            break;
    }
}
