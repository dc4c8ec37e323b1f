// Pieces of the FTP control protocol that need no socket: assembling a reply from
// its lines, and reading and writing the data-connection addresses of PASV, EPSV,
// PORT and EPRT. Everything here handles bytes from the server, so it is fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvek::ftp {

// Collects the lines of one reply. The code is the first three characters of the
// first line longer than three characters whose fourth is " " or "-"; the reply ends
// at the first line that begins with that code and a space.
class TFTPReplyAssembler
{
public:
    // A hostile server could keep a reply going for ever ("220-" lines without end);
    // past these bounds the reply is cut off and reads as code 0.
    static constexpr std::size_t MaxLines = 1000;
    static constexpr std::size_t MaxBytes = std::size_t{64} * 1024;

    void Reset();
    // Takes one line (without its line end); true when the reply is complete.
    bool AddLine(const std::string& line);
    // True when the reply grew past the bounds; the reply is then complete with code 0.
    bool Overflowed() const { return overflowed_; }
    // The reply code, 0 when no code was found, it is not a number, or it overflowed.
    int Code() const;
    const std::vector<std::string>& Lines() const { return lines_; }

private:
    std::string codeText_;
    std::vector<std::string> lines_;
    std::size_t bytes_ = 0;
    bool overflowed_ = false;
};

// Reply class: 1 preliminary, 2 completed, 3 more needed, 4/5 refused, 0 no reply.
inline int ReplyClass(int code)
{
    return code / 100;
}

// The six numbers h1,h2,h3,h4,p1,p2 of a PASV reply: between the first "(" and the
// first ")", or after the last space when the line has no parentheses. Each field
// must be a number 0..255 and the port p1*256+p2 must lie in 1..65535.
struct TPassiveAddress
{
    std::string Host; // "h1.h2.h3.h4"
    int Port = 0;
};
std::optional<TPassiveAddress> ParsePassiveAddress(std::string_view line);

// The port of an EPSV reply "(|||port|)": the digits that end the text inside the
// parentheses, before its closing delimiter. Must lie in 1..65535.
std::optional<int> ParseExtendedPassivePort(std::string_view line);

// "PORT h1,h2,h3,h4,p1,p2" for an IPv4 literal; empty when host is not one.
std::string FormatPortCommand(const std::string& host, int port);
// "EPRT |1|host|port|" (|2| for an IPv6 literal).
std::string FormatExtendedPortCommand(const std::string& host, int port, bool ipv6);

// The first word after the first space of a SIZE reply as a decimal number, -1 when
// it is not one.
std::int64_t ParseSizeReply(std::string_view line);
// The text between the first two double quotes of a PWD reply, spaces trimmed.
std::string ParseDirectoryReply(std::string_view line);

// Decimal digits only, value 0..max; nullopt otherwise (no overflow on long runs).
std::optional<std::int64_t> ParseDecimal(std::string_view text, std::int64_t max);
// Strips bytes <= ' ' (white space and control characters) from both ends.
std::string_view TrimControl(std::string_view text);

} // namespace tolvek::ftp
