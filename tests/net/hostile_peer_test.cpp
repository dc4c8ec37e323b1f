// Peers that try to hold the station: each case is a scripted server on loopback and a
// client with its bounds tightened through its own settings, and must end within its
// bound, with bounded memory, while an ordinary slow peer still gets through.
#include "net/ftp_client.h"
#include "net/telnet_client.h"
#include "ftp_scripted_server.h"
#include "test_peer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>

using namespace testpeer;

namespace {

const std::string IAC = "\xFF", DO = "\xFD", DM = "\xF2";

struct HostileCase
{
    const char* name;
    long boundMs;              // the whole case, peer start to verdict
    std::function<void()> run; // starts its peer, drives the client, checks the outcome
};

// A telnet client of the peer with a 1 s silence time-out and the given whole-wait limit.
void Start(TTelnetSend& t, const ScriptedPeer& peer, int waitLimit)
{
    t.TargetHost = "127.0.0.1";
    t.TargetPort = peer.Port();
    t.Timeout = 1000;
    t.WaitLimit = waitLimit;
    ASSERT_TRUE(t.Login()) << t.Sock.LastErrorText();
}

// Sends `text` a byte at a time every `gapMs` until the client goes away.
void Trickle(int fd, const std::string& text, int gapMs, bool forever)
{
    do {
        for (char c : text) {
            if (!testpeer::SendAll(fd, std::string(1, c)))
                return;
            SleepMs(gapMs);
        }
    } while (forever);
}

std::string TempFile(const char* name)
{
    return (std::filesystem::temp_directory_path()
            / (std::string("tolvek-hostile-") + name + "-" + std::to_string(::getpid())))
            .string();
}

bool Download(ScriptedFtpServer& server, const std::string& local, TFTPOneShotSettings settings)
{
    server.files["f"] = "unused";
    return DownloadFile("127.0.0.1", server.PortText(), "f", local, "root", "", &settings);
}

const HostileCase kCases[] = {
        {"NegotiationFloodFromAPeerThatNeverReads", 4000,
         [] {
             // Tiny buffers both ways, so the answers fill them after a few kilobytes.
             ScriptedPeer peer([](int fd) {
                 const int small = 4096;
                 setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
                 std::string block;
                 for (int i = 0; i < 4096; ++i)
                     block += IAC + DO + "\x01";
                 while (testpeer::SendAll(fd, block)) {}
             });
             TTelnetSend t;
             t.Sock.MaxLineLength = 0; // only the time bound may end this wait
             t.Sock.ConfigureOption(TSocketOption{OPT_SendBuffer, false, 4096});
             Start(t, peer, 1500);
             EXPECT_FALSE(t.WaitForText("login:"));
             EXPECT_EQ(t.Sock.LastError(), WSAETIMEDOUT);
             EXPECT_TRUE(t.AnswersStopped());
             t.Sock.CloseAbortively();
         }},
        {"CommandToAPeerThatStopsReadingEndsWithItsPrompt", 2500,
         [] {
             // Tiny buffers and a long command, so the send itself must wait for the peer.
             std::atomic<bool> done{false};
             ScriptedPeer peer([&](int fd) {
                 const int small = 4096;
                 setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
                 for (int i = 0; i < 100 && !done; ++i)
                     SleepMs(50); // never reads
             });
             TTelnetSend t;
             t.Sock.ConfigureOption(TSocketOption{OPT_SendBuffer, false, 4096});
             t.Sock.NonblockSendTimeout = 1000;
             Start(t, peer, 500);
             Stopwatch w;
             EXPECT_FALSE(t.Exchange(std::string(size_t{4} << 20, 'x') + "\n", "$"));
             EXPECT_LT(w.Ms(), 900); // the one bound, not the send's time-out added to it
             done = true;
         }},
        {"SynchBeforeLoginIsNotAClose", 3000,
         [] {
             ScriptedPeer peer([](int fd) {
                 testpeer::SendAll(fd, "banner\r\n" + IAC);
                 SleepMs(50);
                 ::send(fd, DM.data(), 1,
                        MSG_OOB | MSG_NOSIGNAL); // the urgent DM of a telnet Synch
                 SleepMs(50);
                 testpeer::SendAll(fd, "login: ");
                 ReadAll(fd, 500);
             });
             TTelnetSend t;
             Start(t, peer, 1500);
             EXPECT_TRUE(t.WaitForText("login:")) << t.Sock.LastError();
             EXPECT_EQ(t.SessionLog(), "banner\r\nlogin: ");
         }},
        {"TrickledPromptEndsAtTheWaitLimit", 2500,
         [] {
             ScriptedPeer peer([](int fd) { Trickle(fd, "booting", 100, true); });
             TTelnetSend t;
             Start(t, peer, 1500);
             Stopwatch w;
             EXPECT_FALSE(t.WaitForText("login:"));
             EXPECT_EQ(t.Sock.LastError(), WSAETIMEDOUT);
             EXPECT_GE(w.Ms(), 1400);
             t.Sock.CloseAbortively();
         }},
        {"TrickledLineComesBackLikeSilenceAndIsCompletedLater", 4000,
         [] {
             ScriptedPeer peer([](int fd) {
                 Trickle(fd, "test RAM <PASSED>\r\n", 100, false);
                 ReadAll(fd, 500);
             });
             TTelnetSend t;
             Start(t, peer, 500);
             Stopwatch w;
             EXPECT_EQ(t.ReadLine(), "");
             EXPECT_EQ(t.Sock.LastError(), WSAETIMEDOUT);
             EXPECT_LT(w.Ms(), 900);
             EXPECT_FALSE(t.Sock.PendingInput().empty()); // what came is kept for the next read
             std::string line;
             for (int i = 0; i < 10 && line.empty(); ++i)
                 line = t.ReadLine();
             EXPECT_EQ(line, "test RAM <PASSED>");
         }},
        {"OrdinarySlowPeerStillGetsThrough", 4000,
         [] {
             // Scaled down: 0.5 s silences allowed, pauses of 0.4 s and one silence of 0.65 s.
             ScriptedPeer peer([](int fd) {
                 testpeer::SendAll(fd, "SN 42\r\n");
                 SleepMs(400);
                 testpeer::SendAll(fd, "test RAM <PASSED>\r\n");
                 SleepMs(650);
                 testpeer::SendAll(fd, "test ");
                 SleepMs(100);
                 testpeer::SendAll(fd, "eth <PASSED>\r\ntests completed\r\n");
                 ReadAll(fd, 500);
             });
             TTelnetSend t;
             Start(t, peer, 500);
             t.Timeout = 500;
             std::vector<std::string> lines;
             int silences = 0;
             while (lines.size() < 4 && silences < 5) {
                 std::string line = t.ReadLine();
                 if (t.Sock.LastError() == WSAETIMEDOUT)
                     ++silences;
                 else
                     lines.push_back(line);
             }
             EXPECT_EQ(lines, (std::vector<std::string>{"SN 42", "test RAM <PASSED>",
                                                        "test eth <PASSED>", "tests completed"}));
             EXPECT_EQ(silences, 1);
         }},
        {"EndlessOutputKeepsTheSessionLogBounded", 6000,
         [] {
             ScriptedPeer peer([](int fd) {
                 std::string block;
                 while (block.size() < 65536)
                     block += "test 1 <PASSED>\r\n";
                 for (int i = 0; i < 128 && testpeer::SendAll(fd, block); ++i) {}
             });
             TTelnetSend t;
             t.SessionLogHead = 4096;
             t.SessionLogTail = 65536;
             Start(t, peer, 0);
             size_t lines = 0;
             while (t.Sock.LastError() == 0)
                 lines += t.ReadLine() == "test 1 <PASSED>";
             EXPECT_GT(lines, 400000u);
             const std::string log = t.SessionLog();
             EXPECT_LE(log.size(), 4096u + 2 * 65536u + 64u);
             EXPECT_EQ(log.rfind("test 1 <PASSED>\r\n", 0), 0u); // its beginning
             EXPECT_NE(log.find(" bytes left out ...]"), std::string::npos);
             EXPECT_EQ(log.substr(log.size() - 17), "test 1 <PASSED>\r\n"); // and its latest part
         }},
        {"TrickledFtpGreetingEndsAtTheReplyLimit", 2500,
         [] {
             ScriptedPeer peer([](int fd) { Trickle(fd, "220-welcome\r\n", 50, true); });
             TFTPOneShotSettings s;
             s.Timeout = 1000;
             s.ReplyLimit = 1000;
             Stopwatch w;
             EXPECT_FALSE(
                     UploadFile("127.0.0.1", peer.Port(), "f", TempFile("none"), "root", "", &s));
             EXPECT_LT(w.Ms(), 1500);
         }},
        {"TrickledDownloadEndsAtTheDirectionLimit", 3000,
         [] {
             ScriptedFtpServer server;
             server.retrieveWriter = [](int fd) {
                 Trickle(fd, "x", 50, true);
                 return true;
             };
             TFTPOneShotSettings s;
             s.Timeout = 1000;
             s.ReplyLimit = 1000;
             s.TotalLimit = 1500;
             const std::string local = TempFile("trickle");
             EXPECT_FALSE(Download(server, local, s));
             std::filesystem::remove(local);
         }},
        {"UrgentByteInADownloadIsData", 3000,
         [] {
             const std::string first(1000, 'a'), last(1000, 'b');
             ScriptedFtpServer server;
             server.retrieveWriter = [&](int fd) {
                 testpeer::SendAll(fd, first);
                 SleepMs(50);
                 ::send(fd, "U", 1, MSG_OOB | MSG_NOSIGNAL);
                 SleepMs(50);
                 testpeer::SendAll(fd, last);
                 return true;
             };
             TFTPOneShotSettings s;
             s.Timeout = 1000;
             const std::string local = TempFile("urgent");
             EXPECT_TRUE(Download(server, local, s));
             std::ifstream in(local, std::ios::binary);
             EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), first + "U" + last);
             std::filesystem::remove(local);
         }},
};

void PrintTo(const HostileCase& c, std::ostream* os)
{
    *os << c.name;
}

class HostilePeer : public ::testing::TestWithParam<HostileCase>
{};

TEST_P(HostilePeer, EndsWithinItsBound)
{
    Stopwatch w;
    GetParam().run();
    EXPECT_LT(w.Ms(), GetParam().boundMs);
}

INSTANTIATE_TEST_SUITE_P(Cases, HostilePeer, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<HostileCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
