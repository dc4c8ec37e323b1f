#include "net/ftp_reply.h"

namespace tolvek::ftp {

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string_view TrimSpaces(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

} // namespace

std::string_view TrimControl(std::string_view text)
{
    // Compared as unsigned: bytes 0x80..0xFF are text, not control characters.
    auto isControl = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!text.empty() && isControl(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isControl(text.back()))
        text.remove_suffix(1);
    return text;
}

std::optional<std::int64_t> ParseDecimal(std::string_view text, std::int64_t max)
{
    if (text.empty())
        return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        const int digit = c - '0';
        if (digit > max || value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

void TFTPReplyAssembler::Reset()
{
    codeText_.clear();
    lines_.clear();
    bytes_ = 0;
    overflowed_ = false;
}

bool TFTPReplyAssembler::AddLine(const std::string& line)
{
    if (overflowed_)
        return true;
    if (lines_.size() >= MaxLines || bytes_ + line.size() > MaxBytes) {
        overflowed_ = true;
        return true;
    }
    if (codeText_.empty() && line.size() > 3 && (line[3] == ' ' || line[3] == '-'))
        codeText_ = line.substr(0, 3);
    lines_.push_back(line);
    bytes_ += line.size();
    return !codeText_.empty() && line.size() > 3 && line.compare(0, 3, codeText_) == 0
           && line[3] == ' ';
}

int TFTPReplyAssembler::Code() const
{
    if (overflowed_)
        return 0;
    return static_cast<int>(ParseDecimal(codeText_, 999).value_or(0));
}

std::optional<TPassiveAddress> ParsePassiveAddress(std::string_view line)
{
    line = TrimControl(line);
    std::string_view inner;
    const auto open = line.find('(');
    const auto close = line.find(')');
    if (open != std::string_view::npos && close != std::string_view::npos) {
        if (close < open)
            return std::nullopt;
        inner = line.substr(open + 1, close - open - 1);
    } else {
        const auto space = line.rfind(' ');
        inner = space == std::string_view::npos ? line : line.substr(space + 1);
    }

    int fields[6];
    for (int i = 0; i < 6; ++i) {
        const auto comma = inner.find(',');
        if ((i < 5) == (comma == std::string_view::npos))
            return std::nullopt; // fewer or more than six fields
        const auto value = ParseDecimal(TrimSpaces(inner.substr(0, comma)), 255);
        if (!value)
            return std::nullopt;
        fields[i] = static_cast<int>(*value);
        inner = comma == std::string_view::npos ? std::string_view() : inner.substr(comma + 1);
    }
    TPassiveAddress result;
    result.Host = std::to_string(fields[0]) + "." + std::to_string(fields[1]) + "."
                  + std::to_string(fields[2]) + "." + std::to_string(fields[3]);
    result.Port = fields[4] * 256 + fields[5];
    if (result.Port < 1)
        return std::nullopt;
    return result;
}

std::optional<int> ParseExtendedPassivePort(std::string_view line)
{
    std::string_view text = line;
    if (const auto open = text.find('('); open != std::string_view::npos)
        text = text.substr(open + 1);
    if (const auto close = text.find(')'); close != std::string_view::npos)
        text = text.substr(0, close);
    text = TrimControl(text);
    if (text.empty())
        return std::nullopt;
    text.remove_suffix(1); // the closing delimiter
    std::size_t start = text.size();
    while (start > 0 && IsDigit(text[start - 1]))
        --start;
    const auto port = ParseDecimal(text.substr(start), 65535);
    if (!port || *port < 1)
        return std::nullopt;
    return static_cast<int>(*port);
}

std::string FormatPortCommand(const std::string& host, int port)
{
    std::string fields;
    std::string_view rest = host;
    for (int i = 0; i < 4; ++i) {
        const auto dot = rest.find('.');
        if ((i < 3) == (dot == std::string_view::npos))
            return {};
        const auto value = ParseDecimal(TrimSpaces(rest.substr(0, dot)), 255);
        if (!value)
            return {};
        fields += std::to_string(*value) + ",";
        rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
    }
    if (port < 0 || port > 65535)
        return {};
    return "PORT " + fields + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

std::string FormatExtendedPortCommand(const std::string& host, int port, bool ipv6)
{
    return std::string("EPRT |") + (ipv6 ? "2" : "1") + "|" + host + "|" + std::to_string(port)
           + "|";
}

std::int64_t ParseSizeReply(std::string_view line)
{
    const auto space = line.find(' ');
    if (space == std::string_view::npos)
        return -1;
    std::string_view word = TrimSpaces(line.substr(space + 1));
    word = word.substr(0, word.find(' '));
    return ParseDecimal(word, INT64_MAX).value_or(-1);
}

std::string ParseDirectoryReply(std::string_view line)
{
    const auto first = line.find('"');
    if (first == std::string_view::npos)
        return {};
    const auto second = line.find('"', first + 1);
    if (second == std::string_view::npos)
        return {};
    return std::string(TrimSpaces(line.substr(first + 1, second - first - 1)));
}

} // namespace tolvek::ftp
