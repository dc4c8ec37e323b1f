// The socket layer on real loopback sockets against scripted peers.
#include "net/block_socket.h"
#include "test_peer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <netdb.h>
#include <sstream>

using namespace testpeer;

namespace {

std::unique_ptr<TTCPBlockSocket> ConnectTo(const ScriptedPeer& peer)
{
    auto s = std::make_unique<TTCPBlockSocket>();
    s->Connect("127.0.0.1", peer.Port());
    EXPECT_EQ(s->LastError(), 0) << s->LastErrorText();
    return s;
}

} // namespace

TEST(ErrorTexts, TableMappingAndUnknownCodes)
{
    EXPECT_EQ(TBlockSocket::GetErrorDesc(0), "");
    EXPECT_EQ(TBlockSocket::GetErrorDesc(10054), "Connection reset by peer");
    EXPECT_EQ(TBlockSocket::GetErrorDesc(10055), "No Buffer space available");
    EXPECT_EQ(TBlockSocket::GetErrorDesc(10059), "Too many references:can't splice");
    EXPECT_EQ(TBlockSocket::GetErrorDesc(10091), "Network subsystem is unusable");
    EXPECT_EQ(TBlockSocket::GetErrorDesc(11002), "Non authoritative - host not found");
    EXPECT_EQ(TBlockSocket::GetErrorDesc(11004), "Valid name, no data record of requested type");
    EXPECT_EQ(TBlockSocket::GetErrorDesc(12345), "Other Winsock error (12345)");

    const std::pair<int, int> mapping[] = {
            {EAGAIN, 10035},       {EINPROGRESS, 10036},  {EALREADY, 10037},
            {ENOTSOCK, 10038},     {ECONNABORTED, 10053}, {ECONNRESET, 10054},
            {EPIPE, 10054},        {ENOTCONN, 10057},     {ETIMEDOUT, 10060},
            {ECONNREFUSED, 10061}, {EHOSTUNREACH, 10065}, {ENETUNREACH, 10051},
            {EADDRINUSE, 10048},   {EACCES, 10013},       {EINVAL, 10022},
            {EINTR, 10004}};
    for (auto [err, code] : mapping)
        EXPECT_EQ(ErrnoToSocketError(err), code) << "errno " << err;
    EXPECT_EQ(ResolverToSocketError(EAI_NONAME), 11001);
    EXPECT_EQ(ResolverToSocketError(EAI_AGAIN), 11002);
    EXPECT_EQ(ResolverToSocketError(0), 0);
    errno = 0; // a system failure without errno is still a failure
    EXPECT_EQ(ResolverToSocketError(EAI_SYSTEM), 11003);
    // Every mapped errno has a text of its own, not the "Other" fallback.
    for (auto [err, code] : mapping)
        EXPECT_EQ(TBlockSocket::GetErrorDesc(code).find("Other"), std::string::npos);
}

TEST(Ticks, DifferenceAcrossWrapAndBothOrders)
{
    EXPECT_EQ(TickDifference(0xFFFFFF00u, 0x00000100u), 0x200u);
    EXPECT_EQ(TickDifference(100, 40), 60u);
    EXPECT_EQ(TickDifference(40, 100), 60u);
    EXPECT_EQ(TickDifference(7, 7), 0u);
    uint32_t a = MillisecondTick();
    SleepMs(20);
    uint32_t d = TickDifference(a, MillisecondTick());
    EXPECT_GE(d, 19u);
    EXPECT_LT(d, 1000u);
}

TEST(Literals, IPv4AndIPv6)
{
    EXPECT_TRUE(IsIPv4Literal("192.168.1.178"));
    EXPECT_TRUE(IsIPv4Literal(" 10 .0. 0 .1"));
    EXPECT_FALSE(IsIPv4Literal("256.1.1.1"));
    EXPECT_FALSE(IsIPv4Literal("1.2.3"));
    EXPECT_FALSE(IsIPv4Literal("1.2.3.4.5"));
    EXPECT_FALSE(IsIPv4Literal("1..3.4"));
    EXPECT_FALSE(IsIPv4Literal("a.b.c.d"));
    EXPECT_FALSE(IsIPv4Literal("unit"));
    EXPECT_TRUE(IsIPv6Literal("::"));
    EXPECT_TRUE(IsIPv6Literal("::1"));
    EXPECT_TRUE(IsIPv6Literal("fe80::1%2"));
    EXPECT_TRUE(IsIPv6Literal("1:2:3:4:5:6:7:8"));
    EXPECT_FALSE(IsIPv6Literal("1:2:3:4:5:6:7:8:9"));
    EXPECT_FALSE(IsIPv6Literal("1::2::3"));
    EXPECT_FALSE(IsIPv6Literal("1:"));
    EXPECT_FALSE(IsIPv6Literal("12345::1"));
    EXPECT_FALSE(IsIPv6Literal("::ffff:1.2.3.4")); // no dotted tail
    EXPECT_FALSE(IsIPv6Literal("fe80::1%zz"));
    EXPECT_FALSE(IsIPv6Literal("192.168.1.1"));
}

TEST(SocketLibrary, ReferenceCountNeverBelowZero)
{
    int before = SocketLibraryReferences();
    EXPECT_TRUE(LoadSocketLibrary());
    EXPECT_EQ(SocketLibraryReferences(), before + 1);
    UnloadSocketLibrary();
    EXPECT_EQ(SocketLibraryReferences(), before);
    for (int i = 0; i < before + 3; ++i)
        UnloadSocketLibrary();
    EXPECT_EQ(SocketLibraryReferences(), 0);
}

TEST(Connect, RefusedWithCodeTextStatusAndException)
{
    TTCPBlockSocket s;
    std::vector<std::string> errors;
    s.OnStatus = [&](TBlockSocket*, THookSocketReason r, const std::string& v) {
        if (r == HR_Error)
            errors.push_back(v);
    };
    s.Connect("127.0.0.1", UnusedPort());
    EXPECT_EQ(s.LastError(), 10061);
    EXPECT_EQ(s.LastErrorText(), "Connection refused");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "10061,Connection refused");

    TTCPBlockSocket raising;
    raising.RaiseExcept = true;
    try {
        raising.Connect("127.0.0.1", UnusedPort());
        FAIL() << "no exception";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.ErrorCode, 10061);
        EXPECT_EQ(e.ErrorMessage, "Connection refused");
        EXPECT_STREQ(e.what(), "TCP/IP Socket error 10061: Connection refused");
    }
}

TEST(Connect, SilentPeerIsBoundedByConnectTimeout)
{
    // A listener with a full accept queue drops further SYNs, like a host that never answers.
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(lfd, 0), 0);
    socklen_t len = sizeof a;
    getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    std::string port = std::to_string(ntohs(a.sin_port));
    std::vector<std::unique_ptr<TTCPBlockSocket>> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(std::make_unique<TTCPBlockSocket>());
        fillers.back()->ConnectTimeout = 300;
        fillers.back()->Connect("127.0.0.1", port);
    }
    TTCPBlockSocket s;
    s.ConnectTimeout = 700;
    Stopwatch w;
    s.Connect("127.0.0.1", port);
    EXPECT_EQ(s.LastError(), 10060);
    EXPECT_EQ(s.LastErrorText(), "Connection timed out");
    EXPECT_GE(w.Ms(), 650);
    EXPECT_LT(w.Ms(), 3000);
    EXPECT_EQ(s.Socket(), INVALID_SOCKET); // a later attempt starts on a fresh handle
    EXPECT_EQ(TTCPBlockSocket().ConnectTimeout, 21000u);
    ::close(lfd);
}

TEST(Connect, StatusSequenceAndAddresses)
{
    ScriptedPeer peer([](int fd) { ReadAll(fd, 2000); });
    TTCPBlockSocket s;
    std::vector<std::pair<THookSocketReason, std::string>> events;
    s.OnStatus = [&](TBlockSocket*, THookSocketReason r, const std::string& v) {
        events.emplace_back(r, v);
    };
    bool created = false;
    s.OnCreateSocket = [&](TBlockSocket*) { created = true; };
    int afterConnect = 0;
    s.OnAfterConnect = [&](TBlockSocket*) { ++afterConnect; };
    s.BindLocal("0.0.0.0", "0"); // skipped: no handle, no status
    EXPECT_EQ(s.Socket(), INVALID_SOCKET);
    EXPECT_TRUE(events.empty());
    s.Connect("127.0.0.1", peer.Port());
    ASSERT_EQ(s.LastError(), 0);
    std::string hp = "127.0.0.1:" + peer.Port();
    std::vector<std::pair<THookSocketReason, std::string>> want = {{HR_ResolvingBegin, hp},
                                                                   {HR_ResolvingEnd, hp},
                                                                   {HR_SocketCreate, "IPv4"},
                                                                   {HR_Connect, hp}};
    EXPECT_EQ(events, want);
    EXPECT_TRUE(created);
    EXPECT_EQ(afterConnect, 1);
    EXPECT_EQ(s.RemoteAddress(), "127.0.0.1");
    EXPECT_EQ(s.RemotePort(), peer.PortNumber());
    EXPECT_EQ(s.LocalAddress(), "127.0.0.1");
    EXPECT_GT(s.LocalPort(), 0);
    events.clear();
    s.CloseAbortively();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, HR_SocketClose);
}

TEST(ReceiveUntil, TerminatorSplitsAndRestStaysPending)
{
    ScriptedPeer peer([](int fd) {
        SendAll(fd, "abc\r\ndef");
        ReadAll(fd, 2000);
    });
    auto s = ConnectTo(peer);
    EXPECT_EQ(s->ReceiveUntil(2000, "\r\n"), "abc");
    EXPECT_EQ(s->LastError(), 0);
    Stopwatch w;
    EXPECT_EQ(s->ReceivePacket(2000), "def");
    EXPECT_LT(w.Ms(), 100); // no waiting: it was pending
    // An empty terminator returns at once without error.
    EXPECT_EQ(s->ReceiveUntil(2000, ""), "");
    EXPECT_EQ(s->LastError(), 0);
}

TEST(ReceiveUntil, TerminatorSplitAcrossArrivals)
{
    ScriptedPeer peer([](int fd) {
        SendAll(fd, "one END ");
        SleepMs(50);
        SendAll(fd, "OF TEXT;two E");
        SleepMs(50);
        SendAll(fd, "ND OF TEXT;");
        ReadAll(fd, 2000);
    });
    auto s = ConnectTo(peer);
    EXPECT_EQ(s->ReceiveUntil(2000, "END OF TEXT;"), "one ");
    EXPECT_EQ(s->ReceiveUntil(2000, "END OF TEXT;"), "two ");
}

TEST(ReceiveUntil, TimeoutKeepsEveryBytePending)
{
    ScriptedPeer peer([](int fd) {
        SendAll(fd, "par");
        SleepMs(500);
        SendAll(fd, "tial\r\nnext");
        ReadAll(fd, 2000);
    });
    auto s = ConnectTo(peer);
    Stopwatch w;
    EXPECT_EQ(s->ReceiveLine(200), "");
    EXPECT_EQ(s->LastError(), 10060);
    EXPECT_EQ(s->LastErrorText(), "Connection timed out");
    EXPECT_GE(w.Ms(), 190);
    EXPECT_EQ(s->PendingInput(), "par");
    EXPECT_EQ(s->ReceiveLine(2000), "partial");
    EXPECT_EQ(s->LastError(), 0);
    EXPECT_EQ(s->PendingInput(), "next");
}

TEST(ReceiveUntil, PerSilenceOrWholeOperationTimeout)
{
    auto dribble = [](int fd) {
        for (int i = 0; i < 8; ++i) {
            SendAll(fd, "x");
            SleepMs(120);
        }
        SendAll(fd, "\r\n");
        ReadAll(fd, 2000);
    };
    {
        ScriptedPeer peer(dribble);
        auto s = ConnectTo(peer);
        EXPECT_EQ(s->ReceiveLine(300), "xxxxxxxx"); // ~1 s in all, but never 300 ms of silence
        EXPECT_EQ(s->LastError(), 0);
    }
    {
        ScriptedPeer peer(dribble);
        auto s = ConnectTo(peer);
        s->InterPacketTimeout = false;
        Stopwatch w;
        EXPECT_EQ(s->ReceiveLine(300), "");
        EXPECT_EQ(s->LastError(), 10060);
        EXPECT_GE(w.Ms(), 280);
        EXPECT_LT(w.Ms(), 700);
    }
}

TEST(ReceiveUntil, PeerCloseGivesResetAtOnceAndKeepsPartialLine)
{
    ScriptedPeer peer([](int fd) { SendAll(fd, "half a li"); });
    auto s = ConnectTo(peer);
    peer.Join();
    for (int i = 0; i < 3; ++i) {
        Stopwatch w;
        EXPECT_EQ(s->ReceiveLine(3000), "");
        EXPECT_EQ(s->LastError(), 10054);
        EXPECT_EQ(s->LastErrorText(), "Connection reset by peer");
        EXPECT_LT(w.Ms(), 500);
    }
    EXPECT_EQ(s->PendingInput(), "half a li");
    EXPECT_EQ(s->ReceivePacket(3000), "half a li");
    EXPECT_EQ(s->ReceivePacket(3000), "");
    EXPECT_EQ(s->LastError(), 10054);
}

TEST(ReceiveUntil, ConvertLineEndAcceptsEveryLineEnd)
{
    ScriptedPeer peer([](int fd) {
        SendAll(fd, "a\r");
        SleepMs(80);
        SendAll(fd, "\nb\r\n");
        SleepMs(80);
        SendAll(fd, "x\n\ry\r\nlast\n");
        ReadAll(fd, 2000);
    });
    auto s = ConnectTo(peer);
    s->ConvertLineEnd = true;
    EXPECT_EQ(s->ReceiveLine(2000), "a");
    EXPECT_EQ(s->ReceiveLine(2000), "b"); // the LF that completed "a\r" left no empty line
    EXPECT_EQ(s->ReceiveLine(2000), "x");
    EXPECT_EQ(s->ReceiveLine(2000), "y");
    EXPECT_EQ(s->ReceiveLine(2000), "last");
}

TEST(ReceiveUntil, WithoutConversionOnlyCrLfEndsALine)
{
    ScriptedPeer peer([](int fd) {
        SendAll(fd, "a\nb\r\nc\rd\r\n\r\n");
        ReadAll(fd, 2000);
    });
    auto s = ConnectTo(peer);
    EXPECT_EQ(s->ReceiveLine(2000), "a\nb");
    EXPECT_EQ(s->ReceiveLine(2000), "c\rd");
    EXPECT_EQ(s->ReceiveLine(2000), ""); // an empty line: empty text, no error
    EXPECT_EQ(s->LastError(), 0);
}

TEST(ReceiveUntil, OverlongLineFailsAndIsDiscardedToItsEnd)
{
    ScriptedPeer peer([](int fd) {
        SendAll(fd, "0123456789A");
        SleepMs(300);
        SendAll(fd, "ZZ\r"); // the rest of the long line, its end split over two arrivals
        SleepMs(100);
        SendAll(fd, "\nok\r\n");
        ReadAll(fd, 2000);
    });
    auto s = ConnectTo(peer);
    s->MaxLineLength = 10;
    SleepMs(100);
    EXPECT_EQ(s->ReceiveLine(2000), "");
    EXPECT_EQ(s->LastError(), 10055);
    EXPECT_EQ(s->LastErrorText(), "No Buffer space available");
    EXPECT_EQ(s->PendingInput(), "");      // dropped, so the next call does not fail at once
    EXPECT_EQ(s->ReceiveLine(2000), "ok"); // the rest of the long line never comes back
    EXPECT_EQ(s->LastError(), 0);
}

TEST(ReceiveUntil, FloodWithoutTerminatorStopsAtTheLimit)
{
    std::atomic<bool> stop{false};
    ScriptedPeer peer([&](int fd) {
        std::string block(65536, 'z');
        while (!stop && SendAll(fd, block)) {}
    });
    auto s = ConnectTo(peer);
    s->MaxLineLength = 1 << 20;
    Stopwatch w;
    EXPECT_EQ(s->ReceiveUntil(2000, "login:"), "");
    EXPECT_EQ(s->LastError(), 10055);
    EXPECT_LT(w.Ms(), 3000);
    EXPECT_LT(s->PendingInput().size(), 1u << 20);
    stop = true;
    s->CloseAbortively();
}

TEST(ReceiveUntil, ManyLinesAreReadInTimeLinearInTheData)
{
    const int lines = 1000000;
    std::string all;
    for (int i = 0; i < lines; ++i)
        all += std::to_string(i) + "\r\n";
    auto serve = [&](int fd) {
        SendAll(fd, all);
        ReadAll(fd, 200);
    };
    // Baseline: the same bytes through a plain recv loop that splits lines.
    ScriptedPeer plainPeer(serve);
    Stopwatch plainWatch;
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(plainPeer.PortNumber()));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        std::string pending;
        int count = 0;
        while (count < lines) {
            std::string chunk = ReadN(fd, 65536, 2000);
            if (chunk.empty())
                break;
            pending += chunk;
            size_t from = 0, p;
            while ((p = pending.find("\r\n", from)) != std::string::npos) {
                count += !pending.substr(from, p - from).empty();
                from = p + 2;
            }
            pending.erase(0, from);
        }
        ::close(fd);
        ASSERT_EQ(count, lines);
    }
    long plainMs = plainWatch.Ms();

    ScriptedPeer peer(serve);
    auto s = ConnectTo(peer);
    Stopwatch w;
    for (int i = 0; i < lines; ++i) {
        std::string line = s->ReceiveLine(3000);
        ASSERT_EQ(line, std::to_string(i));
    }
    // Re-copying the pending packet for every line costs several times the baseline. An
    // unoptimised (sanitizer) build only gets a loose bound: it slows the library far more.
#ifdef NDEBUG
    EXPECT_LT(w.Ms(), 2 * plainMs + 300) << "plain loop " << plainMs << " ms";
#else
    EXPECT_LT(w.Ms(), 20 * plainMs + 2000) << "plain loop " << plainMs << " ms";
#endif
}

TEST(Send, ChunksStopFlagAndClosedPeer)
{
    std::string received;
    ScriptedPeer peer([&](int fd) { received = ReadN(fd, 200000); });
    TTCPBlockSocket s;
    s.ConfigureOption(
            TSocketOption{OPT_SendBuffer, false, 1 << 20}); // queued until the handle exists
    s.Connect("127.0.0.1", peer.Port());
    std::vector<int> counts;
    s.OnStatus = [&](TBlockSocket*, THookSocketReason r, const std::string& v) {
        if (r == HR_WriteCount)
            counts.push_back(std::stoi(v));
    };
    int monitorCalls = 0;
    s.OnMonitor = [&](TBlockSocket*, bool writing, const void*, int len) {
        if (writing) {
            ++monitorCalls;
            EXPECT_EQ(len, 200000);
        }
    };
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    EXPECT_EQ(s.SendBytes(data.data(), static_cast<int>(data.size())), 200000);
    EXPECT_EQ(monitorCalls, 1);
    ASSERT_GE(counts.size(), 4u);
    int total = 0;
    for (int c : counts) {
        EXPECT_LE(c, 65536);
        total += c;
    }
    EXPECT_EQ(total, 200000);
    if (counts.size() == 4) {
        EXPECT_EQ(counts, (std::vector<int>{65536, 65536, 65536, 3392}));
    }
    peer.Join();
    EXPECT_EQ(received, data);
    s.OnMonitor = nullptr;

    s.StopFlag = true;
    EXPECT_EQ(s.SendBytes("x", 1), 0);
    EXPECT_EQ(s.LastError(), 10053);
    EXPECT_EQ(s.LastErrorText(), "Software caused connection abort");
    EXPECT_FALSE(s.StopFlag);

    // The peer is gone: an error code, never SIGPIPE.
    SleepMs(50);
    std::string big(1 << 20, 'q');
    s.SendText(big);
    s.SendText(big);
    EXPECT_TRUE(s.LastError() == 10054 || s.LastError() == 10053) << s.LastError();
}

TEST(Send, PeerThatStopsReadingCostsOnlyTheSendTimeout)
{
    std::atomic<bool> done{false};
    ScriptedPeer peer([&](int) {
        while (!done)
            SleepMs(20);
    });
    auto s = ConnectTo(peer);
    s->NonblockSendTimeout = 300;
    std::string big(64 << 20, 'x');
    Stopwatch w;
    int sent = s->SendBytes(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(s->LastError(), 10060);
    EXPECT_LT(sent, static_cast<int>(big.size()));
    EXPECT_LT(w.Ms(), 3000);
    done = true;
}

TEST(Send, PacingHoldsTheBandwidth)
{
    ScriptedPeer peer([](int fd) { ReadN(fd, 30000); });
    auto s = ConnectTo(peer);
    s->MaxSendBandwidth = 100000;
    s->SendMaxChunk = 10000;
    int waits = 0;
    s->OnStatus = [&](TBlockSocket*, THookSocketReason r, const std::string&) {
        waits += r == HR_Wait;
    };
    Stopwatch w;
    s->SendText(std::string(30000, 'p'));
    EXPECT_EQ(s->LastError(), 0);
    EXPECT_GE(w.Ms(), 180); // three pieces of 100 ms each, the first not delayed
    EXPECT_EQ(waits, 2);
}

TEST(Streams, SendFromStreamThenReceiveToStreamUntilClose)
{
    std::string payload(300000, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i % 251);
    std::string back;
    ScriptedPeer peer([&](int fd) {
        back = ReadN(fd, payload.size());
        SendAll(fd, payload);
    });
    auto s = ConnectTo(peer);
    std::istringstream out(payload);
    s->SendFromStream(out);
    EXPECT_EQ(s->LastError(), 0);
    std::stringstream in;
    s->ReceiveToStream(in, 3000);
    EXPECT_EQ(s->LastError(), 10054); // a completed download ends with the peer's close
    EXPECT_EQ(in.str(), payload);
    peer.Join();
    EXPECT_EQ(back, payload);
}

TEST(Streams, LengthPrefixedAndExactForms)
{
    TTCPBlockSocket listener;
    listener.BindLocal("127.0.0.1", "0");
    listener.StartListening();
    ASSERT_EQ(listener.LastError(), 0);
    TTCPBlockSocket client;
    client.Connect("127.0.0.1", std::to_string(listener.LocalPort()));
    ASSERT_EQ(client.LastError(), 0);
    ASSERT_TRUE(listener.WaitReadable(2000));
    TTCPBlockSocket server;
    server.AdoptHandle(listener.AcceptConnection());
    ASSERT_NE(server.Socket(), INVALID_SOCKET);
    EXPECT_EQ(server.LocalPort(), listener.LocalPort());
    EXPECT_EQ(server.RemotePort(), client.LocalPort());
    EXPECT_EQ(listener.RemotePort(), client.LocalPort());

    client.SendInteger(-2);
    client.SendBlock("block\xff");
    client.SendByte(0xFE);
    std::istringstream le("little"), be("big-endian");
    client.SendStream(le);
    client.SendStreamBigEndian(be);
    client.SendText("tail");
    EXPECT_EQ(client.LastError(), 0);

    EXPECT_EQ(server.ReceiveInteger(2000), -2);
    EXPECT_EQ(server.ReceiveBlock(2000), "block\xff");
    EXPECT_EQ(server.PeekByte(2000), 0xFE);
    EXPECT_EQ(server.ReceiveByte(2000), 0xFE);
    std::ostringstream a, b;
    server.ReceiveStream(a, 2000);
    server.ReceiveStreamBigEndian(b, 2000);
    EXPECT_EQ(a.str(), "little");
    EXPECT_EQ(b.str(), "big-endian");
    char peek[4] = {};
    SleepMs(50);
    EXPECT_EQ(server.PeekBytes(peek, 4), 4);
    EXPECT_EQ(std::string(peek, 4), "tail");
    // An exact receive that cannot complete keeps what it got.
    EXPECT_EQ(server.ReceiveExactText(10, 200), "");
    EXPECT_EQ(server.LastError(), 10060);
    EXPECT_EQ(server.ReceivePacket(100), "tail");
}

TEST(Options, QueuedUntilTheHandleThenApplied)
{
    ScriptedPeer peer([](int fd) { ReadAll(fd, 1000); });
    TTCPBlockSocket s;
    s.ConfigureLinger(true, 10000);
    s.ConfigureTTL(17);
    s.ConfigureOption(TSocketOption{OPT_RecvBuffer, false, 61440});
    s.ConfigureOption(TSocketOption{OPT_RecvTimeout, false, 1500});
    s.Connect("127.0.0.1", peer.Port());
    ASSERT_EQ(s.LastError(), 0);
    linger l{};
    socklen_t len = sizeof l;
    getsockopt(s.Socket(), SOL_SOCKET, SO_LINGER, &l, &len);
    EXPECT_EQ(l.l_onoff, 1);
    EXPECT_EQ(l.l_linger, 10);
    int ttl = 0;
    len = sizeof ttl;
    getsockopt(s.Socket(), IPPROTO_IP, IP_TTL, &ttl, &len);
    EXPECT_EQ(ttl, 17);
    timeval tv{};
    len = sizeof tv;
    getsockopt(s.Socket(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_EQ(tv.tv_usec, 500000);
    s.ConfigureOption(TSocketOption{OPT_Reuse, true, 0}); // applied at once now
    int reuse = 0;
    len = sizeof reuse;
    getsockopt(s.Socket(), SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
    EXPECT_EQ(reuse, 1);
    s.ConfigureOption(TSocketOption{OPT_NonBlock, true, 0});
    EXPECT_TRUE(s.NonBlockMode());
}

TEST(Close, GracefulDrainsButNotAfterAFailure)
{
    // Graceful: the peer sees the end of our stream (read returns 0) after our last bytes.
    std::string seen;
    ScriptedPeer peer([&](int fd) { seen = ReadAll(fd, 3000); });
    auto s = ConnectTo(peer);
    s->SendText("bye");
    Stopwatch w;
    s->CloseGracefully();
    peer.Join();
    EXPECT_EQ(seen, "bye");
    EXPECT_LT(w.Ms(), 2000);
    EXPECT_EQ(s->Socket(), INVALID_SOCKET);

    // After a time-out the handle is closed at once, without waiting for anything.
    ScriptedPeer quiet([](int fd) { ReadAll(fd, 1000); });
    auto q = ConnectTo(quiet);
    q->ReceivePacket(50);
    EXPECT_EQ(q->LastError(), 10060);
    q->CloseGracefully();
    EXPECT_EQ(q->Socket(), INVALID_SOCKET);
    // The same object can connect again.
    ScriptedPeer again([](int fd) { SendAll(fd, "hi\r\n"); });
    q->Connect("127.0.0.1", again.Port());
    EXPECT_EQ(q->ReceiveLine(2000), "hi");
}

TEST(Close, DrainTakesOnlyAFewBytesFromAPeerThatNeverStops)
{
    std::atomic<bool> stop{false};
    ScriptedPeer peer([&](int fd) {
        std::string block(65536, 'd');
        while (!stop && SendAll(fd, block)) {}
    });
    auto s = ConnectTo(peer);
    SleepMs(100);
    Stopwatch w;
    s->CloseGracefully();
    EXPECT_LT(w.Ms(), 1000);
    EXPECT_LE(s->RecvCounter(), static_cast<int32_t>(TBlockSocket::kMaxDrain + 65536));
    EXPECT_EQ(s->Socket(), INVALID_SOCKET);
    stop = true;
}

TEST(Wait, HeartbeatSlicesAndStopFlagEndsTheWait)
{
    ScriptedPeer peer([](int fd) { ReadAll(fd, 3000); });
    auto s = ConnectTo(peer);
    int beats = 0;
    s->HeartbeatRate = 50;
    s->OnHeartbeat = [&](TBlockSocket* sock) {
        if (++beats == 3)
            sock->StopFlag = true;
    };
    Stopwatch w;
    EXPECT_FALSE(s->WaitReadable(5000));
    EXPECT_EQ(beats, 3);
    EXPECT_LT(w.Ms(), 1000);
    EXPECT_FALSE(s->StopFlag);
    EXPECT_FALSE(s->CanReadOrBuffered(0));
}

TEST(Datagram, ConnectRecordsPeerAndReceiveUpdatesIt)
{
    TDgramBlockSocket a, b;
    a.BindLocal("127.0.0.1", "0");
    b.BindLocal("127.0.0.1", "0");
    ASSERT_EQ(a.LastError(), 0);
    a.Connect("127.0.0.1", std::to_string(b.LocalPort()));
    a.SendText("ping");
    EXPECT_EQ(a.LastError(), 0);
    EXPECT_EQ(b.ReceivePacket(2000), "ping");
    EXPECT_EQ(b.RemotePort(), a.LocalPort());
    b.SendText("pong"); // back to whoever sent last
    EXPECT_EQ(a.ReceivePacket(2000), "pong");
    EXPECT_EQ(a.ReceivePacket(100), "");
    EXPECT_EQ(a.LastError(), 10060);
}

TEST(Resolve, LiteralsLoopbackAndLocalName)
{
    TBlockSocket s;
    EXPECT_EQ(s.ResolveHost("127.0.0.1"), "127.0.0.1");
    std::vector<std::string> list;
    s.ResolveHostList("10.1.2.3", list);
    EXPECT_EQ(list, std::vector<std::string>{"10.1.2.3"});
    EXPECT_EQ(s.ResolveHost("::1"), "::1");
    EXPECT_EQ(s.ResolveHost("localhost").substr(0, 4) == "127."
                      || s.ResolveHost("localhost") == "::1",
              true);
    EXPECT_FALSE(TBlockSocket::LocalHostName().empty());
    TSocketAddress addr;
    EXPECT_EQ(s.FillSocketAddress("0.0.0.0", "21", true, SOCK_STREAM, IPPROTO_TCP, AF_UNSPEC, addr),
              0);
    EXPECT_EQ(AddressText(addr), "0.0.0.0");
    EXPECT_EQ(AddressPort(addr), 21);
    EXPECT_EQ(
            s.FillSocketAddress("127.0.0.1", "ftp", true, SOCK_STREAM, IPPROTO_TCP, AF_INET, addr),
            0);
    EXPECT_EQ(AddressPort(addr), 21);
    // Past 65535 a port fails instead of wrapping round to another one.
    EXPECT_EQ(s.FillSocketAddress("127.0.0.1", "065535", true, SOCK_STREAM, IPPROTO_TCP, AF_INET,
                                  addr),
              0);
    for (const char* port : {"65536", "99999", "1000000"})
        EXPECT_EQ(s.FillSocketAddress("127.0.0.1", port, true, SOCK_STREAM, IPPROTO_TCP, AF_INET,
                                      addr),
                  10022)
                << port;
}

TEST(Connect, IPv6Loopback)
{
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        GTEST_SKIP() << "no IPv6 loopback";
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    TTCPBlockSocket s;
    std::string created;
    s.OnStatus = [&](TBlockSocket*, THookSocketReason r, const std::string& v) {
        if (r == HR_SocketCreate)
            created = v;
    };
    s.Connect("::1", std::to_string(ntohs(a.sin6_port)));
    EXPECT_EQ(s.LastError(), 0);
    EXPECT_EQ(created, "IPv6");
    EXPECT_TRUE(s.IPv6InUse());
    EXPECT_EQ(s.RemoteAddress(), "::1");
    ::close(fd);
}
