// ICMP echo client: one echo request per call, through the unprivileged datagram ping socket
// when the system allows it, else through a raw ICMP socket.
#pragma once

#include "net/block_socket.h"

#include <cstdint>
#include <random>
#include <string>

enum TICMPError : uint8_t {
    IE_NoError,
    IE_Other,
    IE_TTLExceed,
    IE_UnreachOther,
    IE_UnreachRoute,
    IE_UnreachAdmin,
    IE_UnreachAddr,
    IE_UnreachPort
};

// Whether the datagram ping socket (the system's echo service here) may be tried for IPv4 /
// IPv6. Set by LoadEchoService; a test may clear them to force the raw socket.
extern bool EchoServiceV4;
extern bool EchoServiceV6;
void LoadEchoService();
void UnloadEchoService();

// For a program given the cap_net_raw file capability: opens the raw ICMP sockets the echo
// may need, then gives up every capability, so that the plugins and settings a window
// program loads never run with it. The echo then uses these sockets. Call first thing in
// main. Does nothing for root or without the capability.
void ReserveRawEchoSockets();

// RFC 1071 checksum of `data` (checksum field zero), as the two bytes to store.
uint16_t InternetChecksum(const std::string& data);

class TPINGSend : public TLinkClient
{
public:
    TPINGSend();
    ~TPINGSend() override;

    TICMPBlockSocket Sock; // the raw socket
    int PacketSize = 32;
    uint8_t TTL = 128;

    int PingTime() const { return FPingTime; }
    const std::string& ReplyFrom() const { return FReplyFrom; }
    uint8_t ReplyType() const { return FReplyType; }
    uint8_t ReplyCode() const { return FReplyCode; }
    TICMPError ReplyError() const { return FReplyError; }
    const std::string& ReplyErrorDesc() const { return FReplyErrorDesc; }
    // Which way the last Echo went: true for the datagram ping socket.
    bool UsedEchoService() const { return FUsedService; }
    // True when the last Echo could open neither an echo socket nor a raw socket for want of
    // permission: this machine may not send echoes at all, which says nothing of the host.
    bool NoEchoSocket() const { return FNoEchoSocket; }

    bool Echo(const std::string& host);

    static std::string ErrorDesc(TICMPError e);

private:
    enum class TServiceResult { Answered, Failed, Unavailable };
    TServiceResult EchoBySystemService();
    bool EchoByRawSocket(const std::string& host);
    bool ResolveEchoTarget(const std::string& host);
    void TranslateReplyType(bool ip6, uint8_t type, uint8_t code);
    void SetReplyError(TICMPError e);
    uint16_t ChecksumV6(const std::string& message);

    std::string FBuffer;
    int32_t FSeq = 0;
    uint16_t FId = 0;
    int FPingTime = -1;
    std::string FReplyFrom;
    uint8_t FReplyType = 0, FReplyCode = 0;
    TICMPError FReplyError = IE_NoError;
    std::string FReplyErrorDesc;
    TSocketAddress FTarget;
    bool FTargetIP6 = false;
    bool FUsedService = false;
    bool FNoEchoSocket = false;
    bool FServiceOpened = false; // the last Echo opened a datagram ping socket
    std::mt19937 FRandom;
};

// Whether a packet received on the raw socket answers our request (identifier `id`, first
// eight bytes `key`); gives its ICMP type and code. Bounds-checked against any bytes.
bool MatchEchoAnswer(const std::string& packet, bool ip6, uint8_t requestType, uint16_t id,
                     const std::string& key, uint8_t& type, uint8_t& code);

// One echo on a fresh client: the round-trip time in ms, or -1 when no echo reply came.
// `noEchoSocket`, when given, tells whether the -1 came from not being allowed to send;
// `port`, when not empty, is the network port the echo goes through.
int32_t EchoRoundTrip(const std::string& host, bool* noEchoSocket = nullptr,
                      const std::string& port = {});
