#include "net/ftp_reply.h"

#include <gtest/gtest.h>

using namespace tolvek::ftp;

namespace {

// Feeds lines until the assembler reports the reply complete; returns how many it took.
std::size_t Feed(TFTPReplyAssembler& reply, const std::vector<std::string>& lines)
{
    reply.Reset();
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (reply.AddLine(lines[i]))
            return i + 1;
    return 0;
}

} // namespace

TEST(FtpReply, SingleAndMultiLineReplies)
{
    TFTPReplyAssembler r;
    EXPECT_EQ(Feed(r, {"220 ready"}), 1u);
    EXPECT_EQ(r.Code(), 220);

    // Continuation lines may carry other codes or none; only "220 " ends the reply.
    EXPECT_EQ(Feed(r, {"220-Welcome", "  text", "221 not the end", "220-still", "220 done",
                       "230 next"}),
              5u);
    EXPECT_EQ(r.Code(), 220);
    ASSERT_EQ(r.Lines().size(), 5u);
    EXPECT_EQ(r.Lines().back(), "220 done");

    // A line that is just the code with no text does not end it ("220" has no space).
    EXPECT_EQ(Feed(r, {"220-a", "220", "220 "}), 3u);
}

TEST(FtpReply, OddFirstLines)
{
    TFTPReplyAssembler r;
    // Three characters give no code; a later line sets it and ends the reply.
    EXPECT_EQ(Feed(r, {"220", "xx", "331 need password"}), 3u);
    EXPECT_EQ(r.Code(), 331);
    // Once a code is set, lines with another code do not end the reply.
    EXPECT_EQ(Feed(r, {"150-x", "226 done"}), 0u);
    EXPECT_EQ(r.Code(), 150);
    // A code that is not a number reads as 0 but still ends at its own line.
    EXPECT_EQ(Feed(r, {"abc def"}), 1u);
    EXPECT_EQ(r.Code(), 0);
    // Nothing usable: no code at all.
    EXPECT_EQ(Feed(r, {"", "hello"}), 0u);
    EXPECT_EQ(r.Code(), 0);
}

TEST(FtpReply, EndlessRepliesAreCutOff)
{
    TFTPReplyAssembler r;
    r.AddLine("220-flood");
    bool done = false;
    std::size_t fed = 1;
    while (!done && fed < 100000) {
        done = r.AddLine("220-more");
        ++fed;
    }
    EXPECT_TRUE(done);
    EXPECT_TRUE(r.Overflowed());
    EXPECT_EQ(r.Code(), 0);
    EXPECT_LE(r.Lines().size(), TFTPReplyAssembler::MaxLines);

    // Few but long lines hit the byte bound.
    r.Reset();
    const std::string big(40000, 'x');
    EXPECT_FALSE(r.AddLine("220-" + big));
    EXPECT_TRUE(r.AddLine("220-" + big));
    EXPECT_EQ(r.Code(), 0);
    r.Reset();
    EXPECT_FALSE(r.Overflowed());
}

TEST(FtpReply, PassiveAddress)
{
    auto a = ParsePassiveAddress("227 Entering Passive Mode (192,168,1,178,4,1).\r\n");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Host, "192.168.1.178");
    EXPECT_EQ(a->Port, 4 * 256 + 1);

    // No parentheses: the text after the last space; spaces inside fields are allowed.
    a = ParsePassiveAddress("227 Passive 10,0,0,1,255,255");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Host, "10.0.0.1");
    EXPECT_EQ(a->Port, 65535);
    a = ParsePassiveAddress("227 ( 127, 0 ,0,1,0,21 )");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Port, 21);
    EXPECT_EQ(ParsePassiveAddress("227 (010,0,0,001,0,1)")->Host, "10.0.0.1");

    // Every malformed field or out-of-range value fails instead of becoming 0.
    for (const char* bad :
         {"227 (256,0,0,1,4,1)", "227 (1,2,3,4,256,0)", "227 (1,2,3,4,0,0)", "227 (1,2,3,4,5)",
          "227 (1,2,3,4,5,6,7)", "227 (1,2,x,4,5,6)", "227 (1,2,,4,5,6)", "227 (-1,2,3,4,5,6)",
          "227 (1,2,3,4,5,6", "227 )1,2,3,4,5,6(", "227 ()",
          "227 (1,2,3,4,99999999999999999999999,6)", "", "227"})
        EXPECT_FALSE(ParsePassiveAddress(bad)) << bad;
}

TEST(FtpReply, ExtendedPassivePort)
{
    EXPECT_EQ(ParseExtendedPassivePort("229 Entering Extended Passive Mode (|||50123|)"), 50123);
    EXPECT_EQ(ParseExtendedPassivePort("229 (!!!1!)"), 1);
    EXPECT_EQ(ParseExtendedPassivePort("229 ( |||21| )"), 21);
    for (const char* bad : {"229 (|||0|)", "229 (|||65536|)", "229 (||||)", "229 ()", "229 (|||x|)",
                            "229 (|||99999999999999999999|)", "", "("})
        EXPECT_FALSE(ParseExtendedPassivePort(bad)) << bad;
}

TEST(FtpReply, ActiveCommands)
{
    EXPECT_EQ(FormatPortCommand("127.0.0.1", 50000), "PORT 127,0,0,1,195,80");
    EXPECT_EQ(FormatPortCommand("192.168.1.178", 20), "PORT 192,168,1,178,0,20");
    EXPECT_EQ(FormatPortCommand("::1", 20), "");
    EXPECT_EQ(FormatPortCommand("1.2.3", 20), "");
    EXPECT_EQ(FormatPortCommand("1.2.3.4.5", 20), "");
    EXPECT_EQ(FormatExtendedPortCommand("127.0.0.1", 50000, false), "EPRT |1|127.0.0.1|50000|");
    EXPECT_EQ(FormatExtendedPortCommand("::1", 21, true), "EPRT |2|::1|21|");
}

TEST(FtpReply, SizeAndDirectory)
{
    EXPECT_EQ(ParseSizeReply("213 1048576"), 1048576);
    EXPECT_EQ(ParseSizeReply("213   42  extra"), 42);
    EXPECT_EQ(ParseSizeReply("213"), -1);
    EXPECT_EQ(ParseSizeReply("213 big"), -1);
    EXPECT_EQ(ParseSizeReply("213 99999999999999999999"), -1);
    EXPECT_EQ(ParseDirectoryReply("257 \" /var \" is current"), "/var");
    EXPECT_EQ(ParseDirectoryReply("257 \"/var"), "");
    EXPECT_EQ(ParseDirectoryReply("257 no quotes"), "");
    // Bytes above 0x7F are text, not control characters to trim.
    EXPECT_EQ(TrimControl("\t\xD0\xAF \r\n"), "\xD0\xAF");
}
