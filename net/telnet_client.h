// Telnet client session with the unit's shell: log in, type commands, read the output.
#pragma once

#include "net/block_socket.h"
#include "net/telnet_negotiation.h"

#include <cstdint>
#include <string>

class TTelnetSend : public TLinkClient
{
public:
    // A peer that floods without ever sending the awaited text ends the wait with 10055
    // after this many bytes instead of exhausting memory.
    static constexpr int DefaultMaxLineLength = 1 << 20;

    TTelnetSend();
    ~TTelnetSend() override;

    TTCPBlockSocket Sock;
    std::string TermType = "DUMB";
    // SessionLog keeps the session's first SessionLogHead bytes and its latest
    // SessionLogTail to 2 x SessionLogTail bytes, with a marker where text was left out:
    // a unit that talks without end must not eat the station's memory.
    size_t SessionLogHead = size_t{64} * 1024;
    size_t SessionLogTail = size_t{1024} * 1024;
    // Every received byte that is not part of a telnet command, within the bound above.
    std::string SessionLog() const;
    // True once an answer to the server's negotiation could not be sent at once (the
    // server stopped reading); from then on the session answers nothing.
    bool AnswersStopped() const { return FAnswersStopped; }

    bool Login();
    void Logout();
    void Send(const std::string& text);
    bool WaitForText(const std::string& text);
    // Sends a command and waits for its prompt within one WaitLimit, so a peer that has
    // stopped reading cannot add the send's own time-out to the wait.
    bool Exchange(const std::string& command, const std::string& prompt);
    std::string ReadLine();

private:
    void ProcessTelnetInput(std::string& block);
    void AppendToLog(const std::string& text);
    TTelnetNegotiation FNegotiation;
    std::string FSessionLog; // all of it, or its head once text has been left out
    std::string FLogTail;
    bool FLogSplit = false;
    uint64_t FLeftOut = 0;
    std::string FCleaned;
    bool FAnswersStopped = false;
};
