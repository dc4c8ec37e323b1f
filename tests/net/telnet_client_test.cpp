// The telnet client against scripted servers (exact bytes both ways) on loopback.
#include "net/telnet_client.h"
#include "test_peer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

using namespace testpeer;

namespace {

const std::string IAC = "\xFF", DONT = "\xFE", DO = "\xFD", WONT = "\xFC", WILL = "\xFB",
                  SB = "\xFA", SE = "\xF0";
std::string Opt(int o)
{
    return std::string(1, static_cast<char>(o));
}

void Start(TTelnetSend& t, const ScriptedPeer& peer, int timeout = 2000)
{
    t.TargetHost = "127.0.0.1";
    t.TargetPort = peer.Port();
    t.Timeout = timeout;
    ASSERT_TRUE(t.Login()) << t.Sock.LastErrorText();
}

} // namespace

TEST(TelnetClient, Defaults)
{
    TTelnetSend t;
    EXPECT_EQ(t.Timeout, 60000);
    EXPECT_EQ(t.TargetPort, "23");
    EXPECT_EQ(t.TargetHost, "127.0.0.1");
    EXPECT_EQ(t.IPInterface, "0.0.0.0");
    EXPECT_EQ(t.TermType, "DUMB");
    EXPECT_EQ(t.Sock.MaxLineLength, 1 << 20);
    EXPECT_FALSE(t.Sock.ConvertLineEnd);
}

TEST(TelnetClient, AnswersNegotiationInOrderAndLogsOnlyText)
{
    std::string replies;
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, IAC + DO + Opt(24) + IAC + DO + Opt(1) + IAC + WILL + Opt(1) + IAC + WILL
                            + Opt(3) + "Welcome\r\n");
        replies = ReadN(fd, 12);
        ReadAll(fd, 300);
    });
    TTelnetSend t;
    Start(t, peer);
    EXPECT_EQ(t.ReadLine(), "Welcome");
    peer.Join();
    EXPECT_EQ(replies,
              IAC + WILL + Opt(24) + IAC + WONT + Opt(1) + IAC + DONT + Opt(1) + IAC + DO + Opt(3));
    EXPECT_EQ(t.SessionLog(), "Welcome\r\n");
}

TEST(TelnetClient, SubnegotiationAnswers)
{
    std::string ttype, other, abandoned;
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, IAC + SB + Opt(24) + Opt(1) + IAC + SE);
        ttype = ReadN(fd, 11);
        SendAll(fd, IAC + SB + Opt(31) + Opt(0) + Opt(80) + Opt(0) + Opt(24) + IAC + SE);
        other = ReadN(fd, 5);
        // An IAC IAC inside stays data; IAC followed by anything but SE abandons it.
        SendAll(fd, IAC + SB + Opt(24) + Opt(1) + IAC + "x" + IAC + SE + "after\r\n");
        abandoned = ReadAll(fd, 300);
    });
    TTelnetSend t;
    t.TermType = "VT100";
    Start(t, peer);
    EXPECT_EQ(t.ReadLine(), "after");
    peer.Join();
    EXPECT_EQ(ttype, IAC + SB + Opt(24) + Opt(0) + "VT100" + IAC + SE);
    EXPECT_EQ(other, IAC + SB + Opt(31) + IAC + SE);
    EXPECT_EQ(abandoned, "");
    EXPECT_EQ(t.SessionLog(), "after\r\n");
}

TEST(TelnetClient, CommandSplitAcrossArrivalsIsAnsweredOnce)
{
    std::string replies;
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, "abc" + IAC);
        SleepMs(150);
        SendAll(fd, DO + Opt(24) + "def" + IAC);
        SleepMs(150);
        SendAll(fd, IAC + "g" + IAC + SB);
        SleepMs(150);
        SendAll(fd, Opt(24) + Opt(1) + IAC);
        SleepMs(150);
        SendAll(fd, SE + "\r\n");
        replies = ReadAll(fd, 400);
    });
    TTelnetSend t;
    Start(t, peer);
    EXPECT_EQ(t.ReadLine(), "abcdef\xFFg");
    peer.Join();
    EXPECT_EQ(replies, IAC + WILL + Opt(24) + IAC + SB + Opt(24) + Opt(0) + "DUMB" + IAC + SE);
}

TEST(TelnetClient, SendDoublesIacAndAppendsNothing)
{
    std::string got;
    ScriptedPeer peer([&](int fd) { got = ReadAll(fd, 400); });
    TTelnetSend t;
    Start(t, peer);
    t.Send("root\n");
    t.Send("a\xFF"
           "b\xFF\xFF");
    EXPECT_EQ(t.Sock.LastError(), 0);
    t.Logout();
    peer.Join();
    EXPECT_EQ(got, "root\na\xFF\xFF"
                   "b\xFF\xFF\xFF\xFF");
}

TEST(TelnetClient, WaitForTextLeavesTheRestPending)
{
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, "login: ");
        ReadUntil(fd, "\n");
        SendAll(fd, "motd line\r\nroot@unit:~$ ");
        SleepMs(100);
        SendAll(fd, "first\r\nsecond\r\n");
        ReadAll(fd, 500);
    });
    TTelnetSend t;
    Start(t, peer);
    EXPECT_TRUE(t.WaitForText("login:")); // a match at the very start counts
    EXPECT_EQ(t.Sock.PendingInput(), " ");
    t.Send("root\n");
    EXPECT_TRUE(t.WaitForText("$"));
    EXPECT_EQ(t.ReadLine(), " first"); // the space after "$" starts the next line
    Stopwatch w;
    EXPECT_EQ(t.ReadLine(), "second");
    EXPECT_LT(w.Ms(), 50);
    EXPECT_EQ(t.SessionLog(), "login: motd line\r\nroot@unit:~$ first\r\nsecond\r\n");
}

TEST(TelnetClient, TimeoutKeepsPartialLineAndNextCallWaitsAgain)
{
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, "test RTC ");
        SleepMs(600);
        SendAll(fd, "passed\r\n");
        ReadAll(fd, 500);
    });
    TTelnetSend t;
    Start(t, peer, 250);
    Stopwatch w;
    EXPECT_EQ(t.ReadLine(), "");
    EXPECT_EQ(t.Sock.LastError(), 10060);
    EXPECT_GE(w.Ms(), 240);
    EXPECT_FALSE(t.WaitForText("passed")); // still nothing: waits again, keeps the data
    EXPECT_EQ(t.Sock.LastError(), 10060);
    t.Timeout = 2000;
    EXPECT_EQ(t.ReadLine(), "test RTC passed");
}

TEST(TelnetClient, PeerCloseEndsEveryLaterReadAtOnce)
{
    ScriptedPeer peer([&](int fd) { SendAll(fd, "SN 00123\r\ntest VAC pas"); });
    TTelnetSend t;
    Start(t, peer, 3000);
    EXPECT_EQ(t.ReadLine(), "SN 00123");
    peer.Join();
    for (int i = 0; i < 3; ++i) {
        Stopwatch w;
        EXPECT_EQ(t.ReadLine(), "");
        EXPECT_EQ(t.Sock.LastError(), 10054);
        EXPECT_FALSE(t.WaitForText("$"));
        EXPECT_LT(w.Ms(), 200);
    }
    EXPECT_EQ(t.Sock.PendingInput(), "test VAC pas");
}

TEST(TelnetClient, LoginRefused)
{
    TTelnetSend t;
    t.TargetPort = UnusedPort();
    EXPECT_FALSE(t.Login());
    EXPECT_EQ(t.Sock.LastError(), 10061);
    EXPECT_EQ(t.Sock.LastErrorText(), "Connection refused");
    EXPECT_EQ(t.SessionLog(), "");
}

TEST(TelnetClient, SecondLoginStartsAFreshSession)
{
    ScriptedPeer peer(
            [&](int fd) {
                SendAll(fd,
                        "session " + std::to_string(fd) + "\r\n" + IAC); // ends inside a command
                ReadAll(fd, 300);
            },
            2);
    TTelnetSend t;
    Start(t, peer);
    std::string first = t.ReadLine();
    SleepMs(50);
    ASSERT_TRUE(t.Login());
    std::string second = t.ReadLine();
    EXPECT_NE(second, "");
    EXPECT_EQ(t.SessionLog(), second + "\r\n"); // log and parser state start over
    EXPECT_NE(first, "");
}

TEST(TelnetClient, NoEndlessRefusalPingPong)
{
    // This server acknowledges every refusal with the opposite refusal, as the client once did.
    std::string fromClient;
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, IAC + DO + Opt(1) + IAC + WILL + Opt(5) + IAC + WONT + Opt(3) + IAC + DONT
                            + Opt(24) + IAC + DO + Opt(24) + IAC + WILL + Opt(3));
        for (int rounds = 0; rounds < 50; ++rounds) {
            std::string in = ReadAll(fd, 200);
            if (in.empty())
                break;
            fromClient += in;
            std::string out;
            for (size_t i = 0; i + 2 < in.size(); i += 3) {
                if (in[i] != IAC[0])
                    continue;
                if (in[i + 1] == WONT[0])
                    out += IAC + DONT + in[i + 2];
                if (in[i + 1] == DONT[0])
                    out += IAC + WONT + in[i + 2];
            }
            if (!out.empty())
                SendAll(fd, out);
            if (rounds == 0)
                SendAll(fd, IAC + DONT + Opt(24) + IAC + WONT + Opt(3)); // take both back
        }
    });
    TTelnetSend t;
    Start(t, peer, 300);
    while (t.WaitForText("never")) {}
    peer.Join();
    EXPECT_EQ(fromClient, IAC + WONT + Opt(1) + IAC + DONT + Opt(5) + IAC + WILL + Opt(24) + IAC
                                  + DO + Opt(3) + IAC + WONT + Opt(24) + IAC + DONT + Opt(3));
}

TEST(TelnetClient, FloodWithoutPromptEndsTheWait)
{
    for (bool negotiationOnly : {false, true}) {
        std::atomic<bool> stop{false};
        ScriptedPeer peer([&](int fd) {
            std::string block;
            for (int i = 0; i < 8192; ++i)
                block += negotiationOnly ? IAC + "\xF1" : std::string("boot.."); // IAC NOP
            while (!stop && SendAll(fd, block)) {}
        });
        TTelnetSend t;
        Start(t, peer, 2000);
        Stopwatch w;
        EXPECT_FALSE(t.WaitForText("login:"));
        EXPECT_EQ(t.Sock.LastError(), 10055) << negotiationOnly;
        EXPECT_LT(w.Ms(), 5000);
        EXPECT_LE(t.Sock.PendingInput().size(),
                  static_cast<size_t>(TTelnetSend::DefaultMaxLineLength));
        stop = true;
        t.Sock.CloseAbortively();
    }
}

TEST(TelnetClient, EndlessSubnegotiationIsCapped)
{
    std::string replies;
    ScriptedPeer peer([&](int fd) {
        SendAll(fd, IAC + SB + Opt(24) + Opt(1) + std::string(200000, 'x') + IAC + SE + "ok\r\n");
        replies = ReadAll(fd, 300);
    });
    TTelnetSend t;
    Start(t, peer);
    EXPECT_EQ(t.ReadLine(), "ok");
    peer.Join();
    // Only the first byte decides the answer; the rest never piled up.
    EXPECT_EQ(replies, IAC + SB + Opt(24) + Opt(0) + "DUMB" + IAC + SE);
}
