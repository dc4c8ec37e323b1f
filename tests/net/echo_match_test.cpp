// Matching raw-socket packets to our echo request, without any socket.
#include "net/ping_client.h"

#include <gtest/gtest.h>

namespace {

const std::string kKey("\x08\x00\xAB\xCD\x34\x12\x01\x00", 8); // identifier 0x1234, LSB first

std::string Ipv4(const std::string& icmp, int ihlWords = 5)
{
    std::string ip(static_cast<size_t>(ihlWords) * 4, '\0');
    ip[0] = static_cast<char>(0x40 | ihlWords);
    return ip + icmp;
}

} // namespace

TEST(EchoMatch, AcceptsOurAnswersAndSkipsEverythingElse)
{
    uint8_t type = 0xEE, code = 0xEE;
    std::string reply("\x00\x00\x00\x00\x34\x12\x01\x00", 8);
    EXPECT_TRUE(MatchEchoAnswer(Ipv4(reply), false, 8, 0x1234, kKey, type, code));
    EXPECT_EQ(type, 0);
    // Our own request looped back, and a reply for someone else, are skipped.
    EXPECT_FALSE(MatchEchoAnswer(Ipv4(kKey), false, 8, 0x1234, kKey, type, code));
    std::string other("\x00\x00\x00\x00\x99\x99\x01\x00", 8);
    EXPECT_FALSE(MatchEchoAnswer(Ipv4(other), false, 8, 0x1234, kKey, type, code));
    // An unreachable message quoting our request header is ours, with its type and code.
    std::string unreach = std::string("\x03\x01\x00\x00\x00\x00\x00\x00", 8) + Ipv4(kKey);
    EXPECT_TRUE(MatchEchoAnswer(Ipv4(unreach), false, 8, 0x1234, kKey, type, code));
    EXPECT_EQ(type, 3);
    EXPECT_EQ(code, 1);
    // IP options move the ICMP header.
    EXPECT_TRUE(MatchEchoAnswer(Ipv4(reply, 6), false, 8, 0x1234, kKey, type, code));
    // IPv6 raw sockets deliver the ICMPv6 message alone.
    std::string reply6("\x81\x00\x00\x00\x34\x12\x01\x00", 8);
    EXPECT_TRUE(MatchEchoAnswer(reply6, true, 128, 0x1234, kKey, type, code));
    EXPECT_EQ(type, 129);
}

TEST(EchoMatch, TruncatedOrLyingHeadersAreNeverReadPast)
{
    uint8_t type = 0, code = 0;
    std::string reply("\x00\x00\x00\x00\x34\x12\x01\x00", 8);
    EXPECT_FALSE(MatchEchoAnswer("", false, 8, 0x1234, kKey, type, code));
    EXPECT_FALSE(MatchEchoAnswer(Ipv4(reply).substr(0, 27), false, 8, 0x1234, kKey, type, code));
    EXPECT_FALSE(
            MatchEchoAnswer(Ipv4(reply, 15).substr(0, 40), false, 8, 0x1234, kKey, type, code));
    std::string tooShortIhl = Ipv4(reply);
    tooShortIhl[0] = 0x41; // a header length below 20 bytes is not IPv4
    EXPECT_FALSE(MatchEchoAnswer(tooShortIhl, false, 8, 0x1234, kKey, type, code));
    EXPECT_FALSE(MatchEchoAnswer(reply.substr(0, 7), true, 128, 0x1234, kKey, type, code));
}
