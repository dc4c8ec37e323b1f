#include "net/telnet_client.h"

#include <algorithm>
#include <netinet/in.h>
#include <netinet/tcp.h>

TTelnetSend::TTelnetSend()
{
    Timeout = 60000;
    TargetPort = "23";
    Sock.MaxLineLength = DefaultMaxLineLength;
    Sock.OnReadFilter = [this](TBlockSocket*, std::string& block) { ProcessTelnetInput(block); };
}

TTelnetSend::~TTelnetSend()
{
    // The socket outlives this body; its closing drain must not reach a half-destroyed client.
    Sock.OnReadFilter = nullptr;
}

void TTelnetSend::ProcessTelnetInput(std::string& block)
{
    FNegotiation.TermType = TermType;
    FCleaned.clear();
    // Answers go out from inside the receive and must never hold it: one that the system
    // does not take at once means the server has stopped reading, and waiting for it
    // (15 s per answer, thousands of requests per block) would freeze the station.
    FNegotiation.Process(block, FCleaned, [this](const std::string& reply) {
        if (!FAnswersStopped && Sock.SendWithoutWaiting(reply) != static_cast<int>(reply.size()))
            FAnswersStopped = true;
    });
    block.swap(FCleaned); // both buffers stay allocated for the next block
    AppendToLog(block);
}

void TTelnetSend::AppendToLog(const std::string& text)
{
    if (!FLogSplit && FSessionLog.size() + text.size() <= SessionLogHead + SessionLogTail) {
        FSessionLog += text;
        return;
    }
    if (!FLogSplit) {
        FLogSplit = true;
        FLogTail.assign(FSessionLog, std::min(SessionLogHead, FSessionLog.size()));
        FSessionLog.resize(std::min(SessionLogHead, FSessionLog.size()));
    }
    FLogTail += text;
    // Cut only when the tail has doubled, so each byte is moved at most once or twice.
    if (FLogTail.size() > 2 * SessionLogTail) {
        const size_t cut = FLogTail.size() - SessionLogTail;
        FLogTail.erase(0, cut);
        FLeftOut += cut;
    }
}

std::string TTelnetSend::SessionLog() const
{
    if (!FLogSplit)
        return FSessionLog;
    std::string marker =
            FLeftOut ? "\r\n[... " + std::to_string(FLeftOut) + " bytes left out ...]\r\n" : "";
    return FSessionLog + marker + FLogTail;
}

bool TTelnetSend::Login()
{
    FSessionLog.clear();
    FLogTail.clear();
    FLogSplit = false;
    FLeftOut = 0;
    FAnswersStopped = false;
    FNegotiation.Reset();
    Sock.CloseGracefully();
    Sock.ClearPendingInput();
    Sock.BindDevice = Interface;
    Sock.BindLocal(IPInterface, "0");
    Sock.Connect(TargetHost, TargetPort);
    if (Sock.LastError() != 0)
        return false;
    // Short commands and negotiation answers go out at once instead of waiting for the
    // unit's delayed acknowledgement (40 ms per exchange on Linux).
    const int one = 1;
    setsockopt(Sock.Socket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void TTelnetSend::Logout()
{
    Sock.CloseGracefully();
}

void TTelnetSend::Send(const std::string& text)
{
    std::string doubled;
    doubled.reserve(text.size());
    for (char c : text) {
        doubled += c;
        if (static_cast<uint8_t>(c) == TLNT_IAC)
            doubled += c;
    }
    Sock.SendText(doubled);
}

bool TTelnetSend::WaitForText(const std::string& text)
{
    TWaitLimit limit(Sock, WaitLimit);
    Sock.ReceiveUntil(Timeout, text);
    return Sock.LastError() == 0;
}

bool TTelnetSend::Exchange(const std::string& command, const std::string& prompt)
{
    TWaitLimit limit(Sock, WaitLimit);
    Send(command);
    return WaitForText(prompt);
}

std::string TTelnetSend::ReadLine()
{
    TWaitLimit limit(Sock, WaitLimit);
    return Sock.ReceiveUntil(Timeout, "\r\n");
}
