#include "core/pattern_file.h"

#include "net/ftp_file.h"

#include <algorithm>
#include <vector>

namespace tolvek {

namespace {

constexpr std::size_t kBlockValues = 16384; // 64 KiB per write or read

void StoreLittleEndian(unsigned char* p, std::uint32_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t LoadLittleEndian(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

} // namespace

void WritePatternFile(const std::string& name)
{
    TLocalFile file(name, TLocalFile::Mode::Create);
    std::vector<unsigned char> block(4 * kBlockValues);
    for (std::uint32_t first = 1; first <= kPatternValues; first += kBlockValues) {
        for (std::uint32_t i = 0; i < kBlockValues; ++i)
            StoreLittleEndian(&block[std::size_t{4} * i], first + i);
        file.Write(block.data(), block.size());
    }
}

TPatternCheck VerifyPatternFile(const std::string& name)
{
    TLocalFile file(name, TLocalFile::Mode::Read);
    std::vector<unsigned char> block(4 * kBlockValues + 1);
    std::uint32_t expected = 1;
    std::size_t have = 0; // bytes in block not yet checked
    for (;;) {
        const long n = file.Read(block.data() + have, block.size() - have);
        if (n < 0)
            return TPatternCheck::DataLoss;
        have += static_cast<std::size_t>(n);
        std::size_t used = 0;
        for (; used + 4 <= have && expected <= kPatternValues; used += 4, ++expected)
            if (LoadLittleEndian(&block[used]) != expected)
                return TPatternCheck::WrongData;
        if (expected > kPatternValues) {
            // Anything after the last value means the unit sent back more than it got.
            if (have > used)
                return TPatternCheck::WrongData;
            unsigned char extra;
            return file.Read(&extra, 1) == 0 ? TPatternCheck::Passed : TPatternCheck::WrongData;
        }
        if (n == 0)
            return TPatternCheck::DataLoss;
        std::copy(block.begin() + static_cast<long>(used), block.begin() + static_cast<long>(have),
                  block.begin());
        have -= used;
    }
}

} // namespace tolvek
