// TFTPSend against the scripted server: the exact commands on the wire, and the
// client's behaviour with odd, broken or hostile servers.
#include "net/ftp_client.h"
#include "net/ftp_file.h"

#include "ftp_scripted_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using Commands = std::vector<std::string>;

namespace {

class FtpClient : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("tolvek-ftp-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        local_ = (dir_ / "tolvek.tmp").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    static void WriteFile(const std::string& path, const std::string& bytes)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    static std::string ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    // A client set up for the server, with a short wait so failures come quickly.
    void Prepare(TFTPSend& ftp, int timeout = 2000)
    {
        ftp.TargetHost = "127.0.0.1";
        ftp.TargetPort = server_.PortText();
        ftp.UserName = "root";
        ftp.Password = "";
        ftp.Timeout = timeout;
    }

    ScriptedFtpServer server_;
    fs::path dir_;
    std::string local_;
};

const Commands kLogin = {"USER root", "PASS ",  "TYPE I", "STRU F",
                         "MODE S",    "REST 0", "REST 1", "REST 0"};

Commands Join(Commands a, const Commands& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Content(std::size_t size)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

} // namespace

TEST_F(FtpClient, StationUploadAndDownloadOnTheWire)
{
    const std::string content = Content(300000);
    WriteFile(local_, content);
    ASSERT_TRUE(UploadFile("127.0.0.1", server_.PortText(), "/var/tolvek.tmp", local_, "root", ""));
    EXPECT_EQ(server_.File("/var/tolvek.tmp"), content);

    fs::remove(local_);
    ASSERT_TRUE(
            DownloadFile("127.0.0.1", server_.PortText(), "/var/tolvek.tmp", local_, "root", ""));
    EXPECT_EQ(ReadFile(local_), content);

    EXPECT_EQ(server_.Log(), Join(Join(Join(kLogin, {"EPSV 1", "TYPE I", "ALLO 300000", "REST 0",
                                                     "STOR /var/tolvek.tmp", "QUIT"}),
                                       kLogin),
                                  {"EPSV 1", "TYPE I", "RETR /var/tolvek.tmp", "QUIT"}));
    EXPECT_EQ(server_.Sessions(), 2);
}

TEST_F(FtpClient, GreetingsAndLogInSteps)
{
    // Preliminary replies first, then a multi-line greeting; USER answered 230 needs no PASS.
    server_.greeting = "120-wait\r\n120 a moment\r\n220-Welcome\r\n 220 inside\r\n220 ready\r\n";
    server_.replies["USER"] = "230 No password needed\r\n";
    server_.replies["REST 1"] = "501 No\r\n";
    std::vector<std::string> seen;
    TFTPSend ftp;
    Prepare(ftp);
    ftp.OnStatus = [&](TFTPSend*, bool response, const std::string& value) {
        seen.push_back((response ? "< " : "> ") + value);
    };
    ASSERT_TRUE(ftp.Login());
    EXPECT_FALSE(ftp.CanResume());
    ASSERT_GE(seen.size(), 6u);
    EXPECT_EQ(Commands(seen.begin(), seen.begin() + 7),
              (Commands{"< 120-wait", "< 120 a moment", "< 220-Welcome", "<  220 inside",
                        "< 220 ready", "> USER root", "< 230 No password needed"}));

    // Without restart markers an upload sends no REST.
    ftp.DirectFile = true;
    ftp.DirectFileName = local_;
    WriteFile(local_, "abc");
    ASSERT_TRUE(ftp.PutFile("f", false));
    EXPECT_EQ(ftp.ResultCode(), 226);
    ftp.Logout();
    EXPECT_EQ(server_.Log(), (Commands{"USER root", "TYPE I", "STRU F", "MODE S", "REST 0",
                                       "REST 1", "EPSV 1", "TYPE I", "ALLO 3", "STOR f", "QUIT"}));
    EXPECT_EQ(ftp.FullResult(), Commands{"221 Goodbye"});
}

TEST_F(FtpClient, AccountStepAndOddGreeting)
{
    // A first line of three characters carries no code; the reply ends at "220 ".
    server_.greeting = "220\r\nhello\r\n220 ok\r\n";
    server_.replies["PASS"] = "332 Need account\r\n";
    server_.replies["ACCT"] = "230 Fine\r\n";
    TFTPSend ftp;
    Prepare(ftp);
    ftp.Account = "acc";
    ASSERT_TRUE(ftp.Login());
    const auto log = server_.Log();
    EXPECT_EQ(Commands(log.begin(), log.begin() + 3), (Commands{"USER root", "PASS ", "ACCT acc"}));
}

TEST_F(FtpClient, RefusedLogInSendsNothingMore)
{
    server_.replies["PASS"] = "530 Login incorrect\r\n";
    WriteFile(local_, "data");
    EXPECT_FALSE(
            UploadFile("127.0.0.1", server_.PortText(), "/var/tolvek.tmp", local_, "root", ""));
    // A greeting that is not class 2 fails as well.
    server_.greeting = "421 Too many users\r\n";
    EXPECT_FALSE(
            DownloadFile("127.0.0.1", server_.PortText(), "/var/tolvek.tmp", local_, "root", ""));
    EXPECT_EQ(server_.Log(), (Commands{"USER root", "PASS "}));
    EXPECT_EQ(ReadFile(local_), "data");
}

TEST_F(FtpClient, PassiveReplyCannotSendDataElsewhere)
{
    // EPSV refused: PASV, whose reply names another address. Nothing listens there;
    // the data must still go to the server the control connection talks to.
    server_.replies["EPSV 1"] = "500 EPSV not understood\r\n";
    server_.passiveHost = "127,0,0,5";
    server_.files["/var/tolvek.tmp"] = "payload";
    TFTPSend ftp;
    Prepare(ftp);
    ASSERT_TRUE(ftp.Login());
    ASSERT_TRUE(ftp.FetchFile("/var/tolvek.tmp", false));
    EXPECT_EQ(ftp.DataIP(), "127.0.0.1");
    EXPECT_EQ(ftp.DataStream().str(), "payload");
    const auto log = server_.Log();
    EXPECT_EQ(Commands(log.begin() + 8, log.end()),
              (Commands{"EPSV 1", "PASV", "TYPE I", "RETR /var/tolvek.tmp"}));
}

TEST_F(FtpClient, BadPassiveNumbersFailTheTransferCleanly)
{
    WriteFile(local_, "data");
    server_.replies["EPSV 1"] = "500 no\r\n";
    for (const char* reply :
         {"227 Entering Passive Mode (127,0,0,1,0,0)\r\n", "227 Entering (127,0,0,1,300,1)\r\n",
          "227 Entering (127,0,0,256,4,1)\r\n", "227 Entering (127,0,0,1,4)\r\n",
          "227 Entering (127,0,x,1,4,1)\r\n"}) {
        server_.replies["PASV"] = reply;
        TFTPSend ftp;
        Prepare(ftp);
        ASSERT_TRUE(ftp.Login());
        ftp.DirectFile = true;
        ftp.DirectFileName = local_;
        EXPECT_FALSE(ftp.PutFile("x", false)) << reply;
        EXPECT_EQ(server_.Log().back(), "PASV") << reply;
        EXPECT_TRUE(ftp.KeepAlive());
    }
    // A bad EPSV port fails as well, without a connection.
    server_.replies["EPSV 1"] = "229 Entering Extended Passive Mode (|||0|)\r\n";
    TFTPSend ftp;
    Prepare(ftp);
    ASSERT_TRUE(ftp.Login());
    EXPECT_FALSE(ftp.FetchFile("x", false));
    EXPECT_EQ(server_.Log().back(), "EPSV 1");
}

TEST_F(FtpClient, LocalFileEdgeCases)
{
    // Missing local file: false, no data connection, QUIT still follows.
    EXPECT_FALSE(UploadFile("127.0.0.1", server_.PortText(), "/r", (dir_ / "missing").string(),
                            "root", ""));
    EXPECT_EQ(server_.Log(), Join(kLogin, {"QUIT"}));

    // Empty local file: ALLO 0 and STOR, no data; the final reply decides.
    WriteFile(local_, "");
    server_.files["/r"] = "old";
    EXPECT_TRUE(UploadFile("127.0.0.1", server_.PortText(), "/r", local_, "root", ""));
    EXPECT_EQ(server_.File("/r"), "");
    const auto log = server_.Log();
    EXPECT_EQ(Commands(log.end() - 5, log.end()),
              (Commands{"TYPE I", "ALLO 0", "REST 0", "STOR /r", "QUIT"}));

    // Refused RETR leaves the local file created and empty.
    WriteFile(local_, "earlier");
    EXPECT_FALSE(DownloadFile("127.0.0.1", server_.PortText(), "/nothing", local_, "root", ""));
    EXPECT_TRUE(fs::exists(local_));
    EXPECT_EQ(fs::file_size(local_), 0u);

    // A download target that can't be created throws the file layer's error.
    EXPECT_THROW(DownloadFile("127.0.0.1", server_.PortText(), "/r", (dir_ / "no/such").string(),
                              "root", ""),
                 tolvek::EFileError);
}

TEST_F(FtpClient, RestartMarkersRequired)
{
    // With restart markers known, every upload needs REST 0 to be accepted.
    server_.replies["REST 0"] = "350 ok\r\n";
    TFTPSend ftp;
    Prepare(ftp);
    ASSERT_TRUE(ftp.Login());
    EXPECT_TRUE(ftp.CanResume());
    server_.replies["REST 0"] = "502 no\r\n";
    ftp.DataStream().str("abc");
    EXPECT_FALSE(ftp.PutFile("f", false));
    EXPECT_EQ(server_.Log().back(), "REST 0");
    EXPECT_TRUE(server_.File("f").empty());

    // A resumed upload starts where the server's copy ends.
    server_.replies.erase("REST 0");
    server_.files["g"] = "ab";
    ftp.DataStream().str("abcdef");
    ASSERT_TRUE(ftp.PutFile("g", true));
    const auto log = server_.Log();
    EXPECT_EQ(Commands(log.end() - 6, log.end()),
              (Commands{"SIZE g", "EPSV 1", "TYPE I", "ALLO 4", "REST 2", "STOR g"}));
    EXPECT_EQ(server_.File("g"), "cdef");
}

TEST_F(FtpClient, DownloadsAreBoundedInSize)
{
    const std::string big = Content(2 * 1048576);
    server_.retrieveWriter = [&](int fd) {
        SendAll(fd, big);
        return true;
    };
    TFTPOneShotSettings limits;
    limits.Timeout = 2000;
    limits.MaxDownloadSize = 1048576;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DownloadFile("127.0.0.1", server_.PortText(), "/var/tolvek.tmp", local_, "root",
                              "", &limits));
    EXPECT_TRUE(limits.Oversize);
    EXPECT_LE(fs::file_size(local_), 1048576u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(server_.Log().back(), "QUIT");

    // Exactly the limit is fine; without a limit everything arrives.
    server_.retrieveWriter = [&](int fd) {
        SendAll(fd, big.substr(0, 1048576));
        return true;
    };
    EXPECT_TRUE(DownloadFile("127.0.0.1", server_.PortText(), "/x", local_, "root", "", &limits));
    EXPECT_FALSE(limits.Oversize);
    server_.retrieveWriter = [&](int fd) {
        SendAll(fd, big);
        return true;
    };
    EXPECT_TRUE(DownloadFile("127.0.0.1", server_.PortText(), "/x", local_, "root", ""));
    EXPECT_EQ(ReadFile(local_), big);
}

TEST_F(FtpClient, ShortDownloadWithGoodReplyPasses)
{
    // The client can't know the length; the caller compares the contents.
    server_.retrieveWriter = [](int fd) {
        SendAll(fd, "only this");
        return true;
    };
    EXPECT_TRUE(DownloadFile("127.0.0.1", server_.PortText(), "/x", local_, "root", ""));
    EXPECT_EQ(ReadFile(local_), "only this");
    // A failed final reply fails it.
    server_.transferDone = "451 Local error\r\n";
    EXPECT_FALSE(DownloadFile("127.0.0.1", server_.PortText(), "/x", local_, "root", ""));
}

TEST_F(FtpClient, SilentServerGivesCodeZeroWithinTheTimeOut)
{
    server_.replies["NOOP"] = "";
    TFTPSend ftp;
    Prepare(ftp, 300);
    ASSERT_TRUE(ftp.Login());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ftp.KeepAlive());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(ftp.ResultCode(), 0);
    EXPECT_EQ(ftp.ResultString(), "");
    EXPECT_EQ(ftp.FullResult(), Commands{""});
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(2000));

    // A data connection that goes silent ends after the time-out, judged by the reply.
    ftp.Timeout = 1000;
    server_.retrieveWriter = [](int fd) {
        SendAll(fd, "part");
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return true;
    };
    EXPECT_TRUE(ftp.FetchFile("x", false));
    EXPECT_EQ(ftp.DataStream().str(), "part");
}

TEST_F(FtpClient, HostileRepliesAreBounded)
{
    // Endless continuation lines: cut off, code 0, the log-in fails at once.
    std::string flood = "220-first\r\n";
    for (int i = 0; i < 3000; ++i)
        flood += "220-more of the same\r\n";
    server_.greeting = flood;
    TFTPSend ftp;
    Prepare(ftp);
    EXPECT_FALSE(ftp.Login());
    EXPECT_EQ(ftp.ResultCode(), 0);
    EXPECT_LE(ftp.FullResult().size(), 1000u);

    // One line without end: dropped by the socket's line bound.
    server_.greeting = "220 " + std::string(200000, 'x');
    EXPECT_FALSE(ftp.Login());
    EXPECT_EQ(ftp.ResultCode(), 0);

    // Endless preliminary replies.
    std::string waits;
    for (int i = 0; i < 100; ++i)
        waits += "120 wait\r\n";
    server_.greeting = waits + "220 ready\r\n";
    EXPECT_FALSE(ftp.Login());
}

TEST_F(FtpClient, ActiveMode)
{
    const std::string content = Content(200000);
    TFTPSend ftp;
    Prepare(ftp);
    ftp.PassiveMode = false;
    ASSERT_TRUE(ftp.Login());
    ftp.DataStream().str(content);
    ASSERT_TRUE(ftp.PutFile("a", false));
    EXPECT_EQ(server_.File("a"), content);
    EXPECT_EQ(ftp.DataIP(), "127.0.0.1");
    const auto log = server_.Log();
    EXPECT_EQ(log[8], "EPRT |1|127.0.0.1|" + ftp.DataPort() + "|");

    // EPRT refused: PORT with the same address; ForceOldPort goes there directly.
    server_.replies["EPRT"] = "500 no\r\n";
    ASSERT_TRUE(ftp.FetchFile("a", false));
    EXPECT_EQ(ftp.DataStream().str(), content);
    const int port = std::stoi(ftp.DataPort());
    EXPECT_EQ(server_.Log()[server_.Log().size() - 3],
              "PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256));

    // A stranger (127.0.0.2) that reaches the data port first is shut out; the data
    // still comes from the server.
    int stranger = -1;
    ftp.OnStatus = [&](TFTPSend* sender, bool response, const std::string& value) {
        if (response || value.rfind("PORT", 0) != 0)
            return;
        stranger = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        to.sin_port = htons(static_cast<uint16_t>(std::stoi(sender->DataPort())));
        ASSERT_EQ(bind(stranger, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        ASSERT_EQ(connect(stranger, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        send(stranger, "EVIL", 4, MSG_NOSIGNAL);
    };
    ASSERT_TRUE(ftp.FetchFile("a", false));
    EXPECT_EQ(ftp.DataStream().str(), content);
    char byte;
    EXPECT_LE(recv(stranger, &byte, 1, 0), 0); // closed (reset) by the client
    close(stranger);
    ftp.OnStatus = nullptr;

    // Nobody connects back: the wait ends after the time-out.
    server_.replies["EPRT"] = "200 ok, but nobody will come\r\n";
    ftp.Timeout = 300;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ftp.FetchFile("a", false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(FtpClient, FirewallLogInModes)
{
    TFTPSend ftp;
    Prepare(ftp);
    ftp.TargetHost = "10.1.2.3";
    ftp.TargetPort = "2121";
    ftp.FWHost = "127.0.0.1";
    ftp.FWPort = server_.PortText();
    ftp.FWUsername = "fw";
    ftp.FWPassword = "fwpass";
    ftp.Password = "pw";
    EXPECT_EQ(ftp.LoginCommand(9), "USER root@10.1.2.3:2121 fw");
    EXPECT_EQ(ftp.LoginCommand(10), "USER root@fw@10.1.2.3:2121");
    EXPECT_EQ(ftp.LoginCommand(11), "PASS pw@fwpass");

    ftp.FWMode = 1; // firewall USER/PASS, SITE target (class 3 needed), then the user
    server_.replies["USER fw"] = "331 fw password\r\n";
    server_.replies["PASS fwpass"] = "230 fw ok\r\n";
    server_.replies["SITE"] = "331 site ok\r\n";
    ASSERT_TRUE(ftp.Login());
    const auto log = server_.Log();
    EXPECT_EQ(Commands(log.begin(), log.begin() + 5),
              (Commands{"USER fw", "PASS fwpass", "SITE 10.1.2.3:2121", "USER root", "PASS pw"}));

    // Without a firewall host every mode is mode 0; port 21 leaves the target bare.
    ftp.FWHost.clear();
    ftp.TargetHost = "127.0.0.1";
    ftp.TargetPort = server_.PortText();
    ftp.FWMode = 7;
    ASSERT_TRUE(ftp.Login());
    const auto again = server_.Log();
    EXPECT_EQ(Commands(again.begin() + 11, again.begin() + 13), (Commands{"USER root", "PASS pw"}));
    ftp.TargetPort = "21";
    EXPECT_EQ(ftp.LoginCommand(6), "USER root@127.0.0.1");

    // A custom table that loops never ends the log-in by itself.
    ftp.TargetPort = server_.PortText();
    ftp.FWHost = "127.0.0.1";
    ftp.FWMode = -1;
    ftp.CustomLogin = {0, 0, 0}; // USER, and on any reply USER again
    EXPECT_FALSE(ftp.Login());
}

TEST_F(FtpClient, EncryptionIsRefusedWithoutAPlug)
{
    server_.replies["AUTH TLS"] = "234 Go ahead\r\n";
    TFTPSend ftp;
    Prepare(ftp);
    ftp.AutoTLS = true;
    EXPECT_FALSE(ftp.Login());
    EXPECT_EQ(ftp.Sock().LastError(), 10091);
    // A server that doesn't offer it leaves the connection plain.
    server_.replies["AUTH TLS"] = "502 No TLS\r\n";
    EXPECT_TRUE(ftp.Login());
    EXPECT_FALSE(ftp.IsTLS());

    TFTPSend full;
    Prepare(full);
    full.FullSSL = true;
    EXPECT_FALSE(full.Login());
    EXPECT_EQ(full.Sock().LastError(), 10091);
}

TEST_F(FtpClient, OtherCommands)
{
    server_.files["/a.txt"] = "1234";
    TFTPSend ftp;
    Prepare(ftp);
    ASSERT_TRUE(ftp.Login());
    EXPECT_EQ(ftp.RemoteFileSize("/a.txt"), 4);
    EXPECT_EQ(ftp.RemoteFileSize("/none"), -1);
    EXPECT_EQ(ftp.CurrentDirectory(), "/home/unit");
    EXPECT_TRUE(ftp.RenameRemoteFile("/a.txt", "/b.txt"));
    EXPECT_TRUE(ftp.DeleteRemoteFile("/b.txt"));
    EXPECT_TRUE(ftp.ChangeDirectory("/var"));
    EXPECT_TRUE(ftp.ParentDirectory());
    EXPECT_TRUE(ftp.RootDirectory());
    EXPECT_TRUE(ftp.MakeDirectory("d"));
    EXPECT_TRUE(ftp.RemoveDirectory("d"));
    EXPECT_FALSE(ftp.AppendToFile(""));
    ASSERT_TRUE(ftp.ListDirectory("/", false));
    ASSERT_EQ(ftp.FtpList().List.size(), 1u);
    EXPECT_EQ(ftp.FtpList().List[0].FileName, "a.txt");
    EXPECT_EQ(ftp.FtpList().List[0].FileSize, 4);
    const auto log = server_.Log();
    EXPECT_EQ(Commands(log.begin() + 8, log.end()),
              (Commands{"SIZE /a.txt", "SIZE /none", "PWD", "RNFR /a.txt", "RNTO /b.txt",
                        "DELE /b.txt", "CWD /var", "CDUP", "CWD /", "MKD d", "RMD d", "TYPE A",
                        "EPSV 1", "LIST /"}));
}
