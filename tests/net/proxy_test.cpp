// Connecting through SOCKS 4/5 and an HTTP tunnel, against a scripted proxy that checks the
// exact request bytes and then plays the target itself.
#include "net/block_socket.h"
#include "test_peer.h"

#include <gtest/gtest.h>

using namespace testpeer;

namespace {

std::string B(std::initializer_list<int> bytes)
{
    std::string s;
    for (int b : bytes)
        s += static_cast<char>(b);
    return s;
}

} // namespace

TEST(Socks5, NoAuthenticationIPv4Target)
{
    std::string greeting, request;
    ScriptedPeer proxy([&](int fd) {
        greeting = ReadN(fd, 3);
        SendAll(fd, B({5, 0}));
        request = ReadN(fd, 10);
        SendAll(fd, B({5, 0, 0, 1, 192, 0, 2, 7, 0x12, 0x34}) + "hello\r\n");
        ReadAll(fd, 300);
    });
    TTCPBlockSocket s;
    s.SocksIP = "127.0.0.1";
    s.SocksPort = proxy.Port();
    int afterConnect = 0;
    s.OnAfterConnect = [&](TBlockSocket*) { ++afterConnect; };
    s.Connect("127.0.0.5", "23");
    ASSERT_EQ(s.LastError(), 0) << s.LastErrorText();
    EXPECT_EQ(afterConnect, 1);
    EXPECT_TRUE(s.UsingSocks());
    EXPECT_EQ(s.ReceiveLine(2000), "hello"); // what followed the reply stays for the caller
    EXPECT_EQ(s.RemoteAddress(), "192.0.2.7");
    EXPECT_EQ(s.RemotePort(), 0x1234);
    proxy.Join();
    EXPECT_EQ(greeting, B({5, 1, 0}));
    EXPECT_EQ(request, B({5, 1, 0, 1, 127, 0, 0, 5, 0, 23}));
}

TEST(Socks5, UserPasswordAndNameResolvedByTheProxy)
{
    std::string greeting, auth, request;
    ScriptedPeer proxy([&](int fd) {
        greeting = ReadN(fd, 4);
        SendAll(fd, B({5, 2}));
        auth = ReadN(fd, 11);
        SendAll(fd, B({1, 0}));
        request = ReadN(fd, 5 + 10 + 2);
        SendAll(fd, B({5, 0, 0, 3, 4}) + "unit" + B({0, 21}));
        ReadAll(fd, 300);
    });
    TTCPBlockSocket s;
    s.SocksIP = "127.0.0.1";
    s.SocksPort = proxy.Port();
    s.SocksUsername = "user";
    s.SocksPassword = "pass";
    s.Connect("cfnlr.unit", "ftp");
    ASSERT_EQ(s.LastError(), 0) << s.LastErrorText();
    EXPECT_EQ(s.RemoteAddress(), "unit");
    EXPECT_EQ(s.RemotePort(), 21);
    proxy.Join();
    EXPECT_EQ(greeting, B({5, 2, 0, 2}));
    EXPECT_EQ(auth, B({1, 4}) + "user" + B({4}) + "pass");
    EXPECT_EQ(request, B({5, 1, 0, 3, 10}) + "cfnlr.unit" + B({0, 21}));
}

TEST(Socks5, RefusalsGive10091)
{
    for (int step : {0, 1, 2}) {
        ScriptedPeer proxy([&](int fd) {
            ReadN(fd, 3);
            if (step == 0) {
                SendAll(fd, B({5, 0xFF})); // no acceptable method
                return;
            }
            SendAll(fd, B({5, 0}));
            ReadN(fd, 10);
            if (step == 1)
                SendAll(fd, B({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})); // connection refused
                                                                // step 2: the proxy just hangs up
        });
        TTCPBlockSocket s;
        s.SocksIP = "127.0.0.1";
        s.SocksPort = proxy.Port();
        s.SocksTimeout = 2000;
        s.Connect("127.0.0.5", "23");
        if (step < 2) {
            EXPECT_EQ(s.LastError(), 10091) << step;
            EXPECT_EQ(s.LastErrorText(), "Network subsystem is unusable");
        } else {
            EXPECT_EQ(s.LastError(), 10054) << step; // the system's reason wins when there is one
        }
        EXPECT_FALSE(s.UsingSocks());
    }
}

TEST(Socks4, AddressAndNameForms)
{
    std::string plain, named;
    int n = 0;
    ScriptedPeer proxy(
            [&](int fd) {
                if (n++ == 0) {
                    plain = ReadN(fd, 8 + 4);
                    SendAll(fd, B({0, 90, 0, 23, 127, 0, 0, 5}));
                } else {
                    named = ReadN(fd, 8 + 4 + 5);
                    SendAll(fd, B({0, 91, 0, 0, 0, 0, 0, 0})); // rejected
                }
                ReadAll(fd, 200);
            },
            2);
    TTCPBlockSocket a;
    a.SocksIP = "127.0.0.1";
    a.SocksPort = proxy.Port();
    a.SocksType = ST_Socks4;
    a.SocksUsername = "ops";
    a.Connect("127.0.0.5", "23");
    EXPECT_EQ(a.LastError(), 0);
    EXPECT_EQ(a.RemoteAddress(), "127.0.0.5");
    a.CloseAbortively();
    TTCPBlockSocket b;
    b.SocksIP = "127.0.0.1";
    b.SocksPort = proxy.Port();
    b.SocksType = ST_Socks4;
    b.SocksUsername = "ops";
    b.Connect("unit", "23");
    EXPECT_EQ(b.LastError(), 10091);
    proxy.Join();
    EXPECT_EQ(plain, B({4, 1, 0, 23, 127, 0, 0, 5}) + "ops" + B({0}));
    EXPECT_EQ(named, B({4, 1, 0, 23, 0, 0, 0, 1}) + "ops" + B({0}) + "unit" + B({0}));
}

TEST(Socks5, ListeningThroughTheProxy)
{
    std::string request;
    ScriptedPeer proxy([&](int fd) {
        ReadN(fd, 3);
        SendAll(fd, B({5, 0}));
        request = ReadN(fd, 10);
        SendAll(fd, B({5, 0, 0, 1, 127, 0, 0, 9, 0x30, 0x39})); // where the proxy listens
        SleepMs(100);
        SendAll(fd, B({5, 0, 0, 1, 127, 0, 0, 7, 0x04, 0xD2}) + "data"); // who connected
        ReadAll(fd, 300);
    });
    TTCPBlockSocket s;
    s.SocksIP = "127.0.0.1";
    s.SocksPort = proxy.Port();
    s.StartListening();
    ASSERT_EQ(s.LastError(), 0);
    EXPECT_EQ(s.LocalAddress(), "127.0.0.9");
    EXPECT_EQ(s.LocalPort(), 12345);
    EXPECT_EQ(s.AcceptConnection(), s.Socket());
    EXPECT_EQ(s.RemoteAddress(), "127.0.0.7");
    EXPECT_EQ(s.RemotePort(), 1234);
    EXPECT_EQ(s.ReceiveExactText(4, 2000), "data");
    proxy.Join();
    EXPECT_EQ(request, B({5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
}

TEST(HttpTunnel, ConnectWithAuthorizationAndKeepTheRest)
{
    std::string request;
    ScriptedPeer proxy([&](int fd) {
        request = ReadUntil(fd, "\r\n\r\n");
        SendAll(fd,
                "HTTP/1.0 200 Connection established\r\nProxy-agent: scripted\r\n\r\nhello\r\n");
        ReadAll(fd, 300);
    });
    TTCPBlockSocket s;
    s.HTTPTunnelIP = "127.0.0.1";
    s.HTTPTunnelPort = proxy.Port();
    s.HTTPTunnelUser = "user";
    s.HTTPTunnelPass = "pass";
    s.Connect("127.0.0.5", "telnet");
    ASSERT_EQ(s.LastError(), 0) << s.LastErrorText();
    EXPECT_TRUE(s.HTTPTunnel());
    EXPECT_EQ(s.RemoteAddress(), "127.0.0.5");
    EXPECT_EQ(s.RemotePort(), 23);
    EXPECT_EQ(s.ReceiveLine(2000), "hello");
    proxy.Join();
    EXPECT_EQ(request,
              "CONNECT 127.0.0.5:23 HTTP/1.0\r\nProxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n");
}

TEST(HttpTunnel, RefusalBracketsAndEndlessHeaders)
{
    std::string request;
    ScriptedPeer refusing([&](int fd) {
        request = ReadUntil(fd, "\r\n\r\n");
        SendAll(fd, "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n");
        ReadAll(fd, 300);
    });
    TTCPBlockSocket s;
    s.HTTPTunnelIP = "127.0.0.1";
    s.HTTPTunnelPort = refusing.Port();
    s.Connect("::1", "80");
    EXPECT_EQ(s.LastError(), 10091);
    EXPECT_FALSE(s.HTTPTunnel());
    refusing.Join();
    EXPECT_EQ(request, "CONNECT [::1]:80 HTTP/1.0\r\n\r\n");

    std::atomic<bool> stop{false};
    ScriptedPeer chatty([&](int fd) {
        ReadUntil(fd, "\r\n\r\n");
        SendAll(fd, "HTTP/1.0 200 OK\r\n");
        while (!stop && SendAll(fd, "X-Filler: more\r\n")) {}
    });
    TTCPBlockSocket c;
    c.HTTPTunnelIP = "127.0.0.1";
    c.HTTPTunnelPort = chatty.Port();
    Stopwatch w;
    c.Connect("127.0.0.5", "23");
    EXPECT_NE(c.LastError(), 0); // never an endless wait for the empty line
    EXPECT_LT(w.Ms(), 3000);
    stop = true;
    c.CloseAbortively();
}
