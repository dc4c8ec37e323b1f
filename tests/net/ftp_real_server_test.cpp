// TFTPSend against real FTP servers from Debian packages, each started on a free
// loopback port with a folder of its own: pyftpdlib (user root, empty password, as
// the unit has it) and vsftpd (anonymous with upload rights, as root is refused).
#include "net/ftp_client.h"

#include "support/server_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using testsupport::FreePort;
using testsupport::ServerProcess;

namespace {

std::string Content(std::size_t size)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + i / 65521) & 0xFF);
    return s;
}

void WriteFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// One fixture per server; each test gets a fresh server and folders.
class RealFtpServer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        base_ = fs::temp_directory_path()
                / ("tolvek-ftp-real-" + std::to_string(getpid()) + "-"
                   + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(base_);
        local_ = base_ / "local";
        fs::create_directories(local_);
    }
    void TearDown() override { fs::remove_all(base_); }

    fs::path base_, local_;
    ServerProcess server_;
    std::string port_;
    std::string user_, password_;
    fs::path files_;     // where the server keeps what we upload
    std::string remote_; // the remote name of the test file
};

class Pyftpdlib : public RealFtpServer
{
protected:
    void SetUp() override
    {
        RealFtpServer::SetUp();
        files_ = base_ / "server";
        fs::create_directories(files_);
        if (!fs::exists("/usr/bin/python3"))
            GTEST_SKIP() << "python3 missing";
        ASSERT_TRUE(server_.Start(
                {"/usr/bin/python3",
                 std::string(TOLVEK_SOURCE_DIR) + "/tests/net/ftp_pyftpdlib_server.py", "--root",
                 files_.string()}));
        const std::string line = server_.FirstLine(10000);
        if (line.rfind("PORT ", 0) != 0)
            GTEST_SKIP() << "pyftpdlib did not start";
        port_ = line.substr(5);
        user_ = "root";
        remote_ = "/tolvek.tmp";
    }
};

class Vsftpd : public RealFtpServer
{
protected:
    void SetUp() override
    {
        RealFtpServer::SetUp();
        if (!fs::exists("/usr/sbin/vsftpd") || geteuid() != 0)
            GTEST_SKIP() << "vsftpd needs to start as root";
        const fs::path root = base_ / "anon";
        files_ = root / "pub";
        fs::create_directories(files_);
        fs::permissions(root, fs::perms(0755));
        fs::permissions(files_, fs::perms(0777));
        const int port = FreePort();
        port_ = std::to_string(port);
        const fs::path config = base_ / "vsftpd.conf";
        std::ofstream(config)
                << "listen=YES\nlisten_ipv6=NO\nbackground=NO\nlisten_address=127.0.0.1\n"
                << "listen_port=" << port << "\n"
                << "anonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\n"
                << "anon_upload_enable=YES\nanon_other_write_enable=YES\nanon_world_readable_only="
                   "NO\n"
                << "anon_umask=022\nno_anon_password=YES\nanon_root=" << root.string() << "\n"
                << "connect_from_port_20=NO\nseccomp_sandbox=NO\nxferlog_enable=NO\n"
                << "syslog_enable=NO\nvsftpd_log_file=" << (base_ / "vsftpd.log").string() << "\n";
        ASSERT_TRUE(server_.Start({"/usr/sbin/vsftpd", config.string()}));
        if (!server_.WaitUntilAccepting(port))
            GTEST_SKIP() << "vsftpd did not start";
        user_ = "anonymous";
        remote_ = "pub/tolvek.tmp";
    }
};

} // namespace

#define REAL_SERVER_TESTS(Fixture)                                                                 \
    TEST_F(Fixture, OneShotUploadAndDownload)                                                      \
    {                                                                                              \
        const std::string content = Content(1048576);                                              \
        const fs::path file = local_ / "tolvek.tmp";                                               \
        WriteFile(file, content);                                                                  \
        ASSERT_TRUE(UploadFile("127.0.0.1", port_, remote_, file.string(), user_, password_));     \
        EXPECT_EQ(ReadFile(files_ / "tolvek.tmp"), content);                                       \
        fs::remove(file);                                                                          \
        ASSERT_TRUE(DownloadFile("127.0.0.1", port_, remote_, file.string(), user_, password_));   \
        EXPECT_EQ(ReadFile(file), content);                                                        \
    }                                                                                              \
    TEST_F(Fixture, ActiveModeBothWays)                                                            \
    {                                                                                              \
        const std::string content = Content(300000);                                               \
        for (bool oldCommands : {false, true}) {                                                   \
            TFTPSend ftp;                                                                          \
            ftp.TargetPort = port_;                                                                \
            ftp.UserName = user_;                                                                  \
            ftp.Password = password_;                                                              \
            ftp.Timeout = 10000;                                                                   \
            ftp.PassiveMode = false;                                                               \
            ftp.ForceOldPort = oldCommands;                                                        \
            ASSERT_TRUE(ftp.Login());                                                              \
            ftp.DataStream().str(content);                                                         \
            ASSERT_TRUE(ftp.PutFile(remote_, false)) << ftp.ResultString();                        \
            EXPECT_EQ(ReadFile(files_ / "tolvek.tmp"), content);                                   \
            ftp.DataStream().str("");                                                              \
            ASSERT_TRUE(ftp.FetchFile(remote_, false)) << ftp.ResultString();                      \
            EXPECT_EQ(ftp.DataStream().str(), content);                                            \
            EXPECT_EQ(ftp.RemoteFileSize(remote_), 300000);                                        \
            EXPECT_TRUE(ftp.Logout());                                                             \
        }                                                                                          \
    }                                                                                              \
    TEST_F(Fixture, BigFileStreamsBothWays)                                                        \
    {                                                                                              \
        const std::string content = Content(64u << 20);                                            \
        const fs::path file = local_ / "big";                                                      \
        WriteFile(file, content);                                                                  \
        ASSERT_TRUE(UploadFile("127.0.0.1", port_, remote_, file.string(), user_, password_));     \
        EXPECT_TRUE(ReadFile(files_ / "tolvek.tmp") == content);                                   \
        const fs::path back = local_ / "back";                                                     \
        ASSERT_TRUE(DownloadFile("127.0.0.1", port_, remote_, back.string(), user_, password_));   \
        EXPECT_TRUE(ReadFile(back) == content);                                                    \
    }                                                                                              \
    TEST_F(Fixture, MissingRemoteFile)                                                             \
    {                                                                                              \
        const fs::path file = local_ / "tolvek.tmp";                                               \
        WriteFile(file, "stale");                                                                  \
        EXPECT_FALSE(DownloadFile("127.0.0.1", port_, remote_ + ".none", file.string(), user_,     \
                                  password_));                                                     \
        EXPECT_EQ(fs::file_size(file), 0u);                                                        \
    }

REAL_SERVER_TESTS(Pyftpdlib)
REAL_SERVER_TESTS(Vsftpd)

TEST_F(Pyftpdlib, RefusedLogIn)
{
    const fs::path file = local_ / "tolvek.tmp";
    WriteFile(file, "x");
    EXPECT_FALSE(UploadFile("127.0.0.1", port_, remote_, file.string(), "root", "wrong"));
    EXPECT_FALSE(UploadFile("127.0.0.1", port_, remote_, file.string(), "nobody", ""));
    EXPECT_FALSE(fs::exists(files_ / "tolvek.tmp"));
}

TEST_F(Vsftpd, RefusedLogIn)
{
    // The unit's user is refused by a server that serves anonymous users only.
    const fs::path file = local_ / "tolvek.tmp";
    WriteFile(file, "x");
    TFTPSend ftp;
    ftp.TargetPort = port_;
    ftp.UserName = "root";
    ftp.Password = "";
    ftp.Timeout = 10000;
    EXPECT_FALSE(ftp.Login());
    EXPECT_EQ(ftp.ResultCode(), 530);
    EXPECT_FALSE(UploadFile("127.0.0.1", port_, remote_, file.string(), "root", ""));
}
