#include "core/pattern_file.h"
#include "net/ftp_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace tolvek;
namespace fs = std::filesystem;

namespace {

class PatternFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("tolvek-pattern-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        path_ = (dir_ / "tolvek.tmp").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Read() const
    {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    void Write(const std::string& bytes) const
    {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
    }

    fs::path dir_;
    std::string path_;
};

} // namespace

TEST_F(PatternFile, WritesTheValuesInOrder)
{
    Write("left over from an earlier run, longer than nothing");
    WritePatternFile(path_);
    const std::string bytes = Read();
    ASSERT_EQ(bytes.size(), 1048576u);
    EXPECT_EQ(bytes.substr(0, 12), std::string("\x01\0\0\0\x02\0\0\0\x03\0\0\0", 12));
    EXPECT_EQ(bytes.substr(bytes.size() - 8), std::string("\xFF\xFF\x03\0\0\0\x04\0", 8));
    EXPECT_EQ(VerifyPatternFile(path_), TPatternCheck::Passed);
}

TEST_F(PatternFile, CheckFindsEveryKindOfDamage)
{
    WritePatternFile(path_);
    const std::string good = Read();

    Write(good.substr(0, good.size() - 1));
    EXPECT_EQ(VerifyPatternFile(path_), TPatternCheck::DataLoss);
    Write(good.substr(0, 65536 * 3 + 2)); // ends inside a value, on a block edge
    EXPECT_EQ(VerifyPatternFile(path_), TPatternCheck::DataLoss);
    Write("");
    EXPECT_EQ(VerifyPatternFile(path_), TPatternCheck::DataLoss);

    for (std::size_t at : {std::size_t{0}, std::size_t{65537}, good.size() - 1}) {
        std::string bad = good;
        bad[at] ^= 0x40;
        Write(bad);
        EXPECT_EQ(VerifyPatternFile(path_), TPatternCheck::WrongData) << at;
    }
    // A longer file is not what was sent, even when it starts with the pattern.
    Write(good + "x");
    EXPECT_EQ(VerifyPatternFile(path_), TPatternCheck::WrongData);
    Write(good + good);
    EXPECT_EQ(VerifyPatternFile(path_), TPatternCheck::WrongData);
}

TEST_F(PatternFile, FileErrorsCarryFullPathAndReason)
{
    const auto cwd = fs::current_path();
    fs::current_path(dir_);
    try {
        WritePatternFile("missing/tolvek.tmp");
        ADD_FAILURE() << "no error";
    } catch (const EFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file \""
                                                 + (dir_ / "missing/tolvek.tmp").string()
                                                 + "\". No such file or directory");
    }
    try {
        VerifyPatternFile("tolvek.tmp");
        ADD_FAILURE() << "no error";
    } catch (const EFileError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + (dir_ / "tolvek.tmp").string()
                                                 + "\". No such file or directory");
    }
    fs::current_path(cwd);
}
