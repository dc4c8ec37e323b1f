#include "core/record.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using tolvek::AppendRecord;
using tolvek::RecordLine;

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string TempPath(const char* name)
{
    return ::testing::TempDir() + "/" + std::to_string(getpid()) + "_" + name;
}

} // namespace

TEST(RecordLine, OrdinaryRecordIsByteForByteAndQuotesAreDoubled)
{
    EXPECT_EQ(RecordLine("08-12-2026 05:10:00", "0123456789ABCDEF", "Наладов"),
              "\"08-12-2026 05:10:00\";\"0123456789ABCDEF\";\"Наладов\";\r\n");
    EXPECT_EQ(RecordLine("", "", ""), "\"\";\"\";\"\";\r\n");
    // A serial from the unit that tries to end the record and start a forged one.
    EXPECT_EQ(RecordLine("t", "X\";\"forged\";\r\n\"", "O'Neil \"Jr\""),
              "\"t\";\"X\"\";\"\"forged\"\";\r\n\"\"\";\"O'Neil \"\"Jr\"\"\";\r\n");
    EXPECT_EQ(tolvek::QuoteRecordField("\"\""), "\"\"\"\"\"\"");
    EXPECT_EQ(tolvek::QuoteRecordField("a;b"), "\"a;b\"");
}

TEST(Cp1251, ConvertsCyrillicAndReplacesWhatItLacks)
{
    EXPECT_EQ(tolvek::Utf8ToCp1251("Наладов"), "\xcd\xe0\xeb\xe0\xe4\xee\xe2");
    EXPECT_EQ(tolvek::Utf8ToCp1251("Ёё №"), "\xa8\xb8 \xb9");
    EXPECT_EQ(tolvek::Utf8ToCp1251("a\xe2\x82\xac"
                                   "b"),
              "a\x88"
              "b"); // euro sign
    EXPECT_EQ(tolvek::Utf8ToCp1251("a\xe4\xb8\xad"
                                   "b"),
              "a?b"); // not in the code page
    EXPECT_EQ(tolvek::Utf8ToCp1251("a\xff"
                                   "b\xd0"),
              "a?b?"); // broken UTF-8
    EXPECT_EQ(tolvek::Utf8ToCp1251(std::string(1000, 'x') + "Я"), std::string(1000, 'x') + "\xdf");
    EXPECT_EQ(tolvek::Cp1251ToUtf8("\xcd\xe0\xeb\xe0\xe4\xee\xe2"), "Наладов");
    EXPECT_EQ(tolvek::Cp1251ToUtf8("A\x98"
                                   "B"),
              "A\xef\xbf\xbd"
              "B");                 // unassigned byte
    for (int b = 1; b < 256; ++b) { // round trip
        const std::string one(1, static_cast<char>(b));
        if (b != 0x98) {
            EXPECT_EQ(tolvek::Utf8ToCp1251(tolvek::Cp1251ToUtf8(one)), one) << b;
        }
    }
}

TEST(AppendRecord, CreatesThenAppendsAndLeavesEarlierLines)
{
    const std::string path = TempPath("records.csv");
    std::remove(path.c_str());
    AppendRecord(path, "one\r\n");
    EXPECT_EQ(ReadAll(path), "one\r\n");
    AppendRecord(path, "two\r\n");
    EXPECT_EQ(ReadAll(path), "one\r\ntwo\r\n");
    std::remove(path.c_str());
}

TEST(AppendRecord, FailuresThrowWithPathAndLeaveNoPartialLine)
{
    const std::string dir = TempPath("a_directory");
    ::mkdir(dir.c_str(), 0755);
    try {
        AppendRecord(dir, "x\r\n");
        FAIL() << "writing into a directory succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot open file \"" + dir + "\""), std::string::npos)
                << e.what();
    }
    ::rmdir(dir.c_str());

    EXPECT_THROW(AppendRecord("/dev/full", "x\r\n"), std::runtime_error);

    // A file-size limit in the middle of the line makes the write come out short.
    const std::string path = TempPath("short.csv");
    std::remove(path.c_str());
    AppendRecord(path, "first\r\n");
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old;
    lim.rlim_cur = 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    bool threw = false;
    try {
        AppendRecord(path, "second line\r\n");
    } catch (const std::runtime_error& e) {
        threw = true;
        EXPECT_NE(std::string(e.what()).find("Cannot write to file"), std::string::npos)
                << e.what();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    EXPECT_EQ(ReadAll(path), "first\r\n");
    std::remove(path.c_str());
}
