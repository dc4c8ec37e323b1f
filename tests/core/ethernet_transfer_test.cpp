// The file-transfer test against the stand-in unit's FTP server on loopback, one
// scenario per unit: what the operator would read in the journal, and which local
// files are left behind.
#include "core/ethernet_transfer.h"

#include "support/server_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

namespace fs = std::filesystem;
using tolvek::TTransferOutcome;

namespace {

class EthernetTransfer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("tolvek-transfer-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        cwd_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override
    {
        fs::current_path(cwd_);
        fs::remove_all(dir_);
    }

    // Starts the unit with the scenario; the FTP port, or "" when it has no FTP listener.
    std::string StartUnit(const std::string& scenario)
    {
        ftpPort_ = std::to_string(testsupport::FreePort());
        unit_.emplace();
        EXPECT_TRUE(unit_->Start(
                {"/usr/bin/python3", std::string(TOLVEK_SOURCE_DIR) + "/standin/tolvek_unit.py",
                 "--address", "127.0.0.1", "--telnet-port", "0", "--ftp-port", ftpPort_,
                 "--scenario", scenario, "--log", (dir_ / "unit.log").string()}));
        const std::string ready = unit_->FirstLine(10000);
        EXPECT_EQ(ready.rfind("ready", 0), 0u) << ready;
        return ftpPort_;
    }
    TTransferOutcome Run(bool abort = false)
    {
        return tolvek::RunEthernetTransfer(
                [this] {
                    ++ipReads_;
                    return std::string("127.0.0.1");
                },
                [abort] { return abort; }, ftpPort_);
    }
    std::string UnitLog() const
    {
        std::ifstream in(dir_ / "unit.log");
        return {std::istreambuf_iterator<char>(in), {}};
    }
    bool LocalFileLeft() const { return fs::exists(dir_ / "tolvek.tmp"); }

    fs::path dir_, cwd_;
    std::optional<testsupport::ServerProcess> unit_;
    std::string ftpPort_;
    int ipReads_ = 0;
};

} // namespace

TEST_F(EthernetTransfer, GoodUnitPasses)
{
    StartUnit("pass");
    const auto outcome = Run();
    EXPECT_EQ(outcome.Result, TTransferOutcome::Passed) << outcome.Message;
    EXPECT_FALSE(LocalFileLeft());
    EXPECT_NE(UnitLog().find("ftp stored /var/tolvek.tmp 1048576"), std::string::npos);
    EXPECT_NE(UnitLog().find("ftp sent /var/tolvek.tmp 1048576"), std::string::npos);
    EXPECT_EQ(ipReads_, 2); // read anew for each transfer
}

TEST_F(EthernetTransfer, DamagedDownloadsFail)
{
    const std::pair<const char*, const char*> cases[] = {
            {"ftp-truncate", "data loss"},
            {"ftp-corrupt", "wrong data"},
            {"ftp-lengthen", "wrong data"}, // more than was sent is not what was sent
    };
    for (const auto& [scenario, message] : cases) {
        StartUnit(scenario);
        const auto outcome = Run();
        EXPECT_EQ(outcome.Result, TTransferOutcome::Failed) << scenario;
        EXPECT_EQ(outcome.Message, message) << scenario;
        EXPECT_FALSE(LocalFileLeft()) << scenario;
    }
}

TEST_F(EthernetTransfer, RefusingUnitFailsTheUpload)
{
    for (const char* scenario : {"ftp-refuse-login", "ftp-refused"}) {
        StartUnit(scenario);
        const auto outcome = Run();
        EXPECT_EQ(outcome.Result, TTransferOutcome::Failed) << scenario;
        EXPECT_EQ(outcome.Message, "can't upload test file") << scenario;
        // The pattern file stays for the operator to look at.
        ASSERT_TRUE(LocalFileLeft()) << scenario;
        EXPECT_EQ(fs::file_size(dir_ / "tolvek.tmp"), 1048576u);
        fs::remove(dir_ / "tolvek.tmp");
    }
}

TEST_F(EthernetTransfer, AbortAfterUploadStopsBeforeTheDownload)
{
    StartUnit("pass");
    const auto outcome = Run(true);
    EXPECT_EQ(outcome.Result, TTransferOutcome::Aborted);
    EXPECT_FALSE(LocalFileLeft());
    EXPECT_NE(UnitLog().find("ftp stored /var/tolvek.tmp 1048576"), std::string::npos);
    EXPECT_EQ(UnitLog().find("RETR"), std::string::npos);
}

TEST_F(EthernetTransfer, LocalFileThatCannotBeCreated)
{
    StartUnit("pass");
    fs::create_directory(dir_ / "tolvek.tmp"); // even root can't write a file over a folder
    const auto outcome = Run();
    EXPECT_EQ(outcome.Result, TTransferOutcome::Failed);
    EXPECT_EQ(outcome.Message,
              "Cannot create file \"" + (dir_ / "tolvek.tmp").string() + "\". Is a directory");
    EXPECT_EQ(UnitLog().find("USER"), std::string::npos);
}
