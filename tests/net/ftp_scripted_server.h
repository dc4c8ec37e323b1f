// A small FTP server for the client tests, on plain POSIX sockets (not the socket
// layer under test). It answers as an ordinary server unless a reply is scripted,
// records every command line it receives, and serves sessions one after another.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ScriptedFtpServer
{
public:
    ScriptedFtpServer();
    ~ScriptedFtpServer();
    ScriptedFtpServer(const ScriptedFtpServer&) = delete;
    ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

    int Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }

    // Set these before the client connects.
    // Sent raw on connect (line ends included).
    std::string greeting = "220 scripted server ready\r\n";
    // Replies by whole command line (checked first) or by verb: raw text, each line
    // ended with CR LF. An empty text sends nothing. For STOR, RETR, LIST and NLST a
    // reply beginning with "1" still opens the data phase.
    std::map<std::string, std::string> replies;
    // Address written into PASV replies, "h1,h2,h3,h4".
    std::string passiveHost = "127,0,0,1";
    // Files on the "server": STOR fills them, RETR and SIZE read them.
    std::map<std::string, std::string> files;
    // When set, RETR writes through this instead of sending the file; it gets the data
    // socket and returns whether to send the final 226.
    std::function<bool(int dataFd)> retrieveWriter;
    // Final reply after a stored or retrieved file.
    std::string transferDone = "226 Transfer complete\r\n";

    // Commands received so far, in order, over all sessions (without CR LF).
    std::vector<std::string> Log() const;
    std::string File(const std::string& name) const;
    int Sessions() const { return sessions_; }

private:
    void Run();
    void Session(int fd);
    bool ReadLine(int fd, std::string& buffer, std::string& line);
    int OpenDataConnection();
    void SendRaw(int fd, const std::string& text);

    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> sessions_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> log_;
    // Data connection state of the current session.
    int passiveFd_ = -1;
    std::string activeHost_;
    int activePort_ = 0;
    std::thread thread_;
};

// Sends all of text on fd, ignoring a closed peer.
void SendAll(int fd, const std::string& text);
