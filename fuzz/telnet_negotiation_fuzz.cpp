// Bytes from the unit's telnet server into the negotiation parser. Besides memory safety it
// checks that a split anywhere gives the same text and replies as one block (state carried
// across blocks), that the text never grows, and that every reply is a well-formed command.
#include "net/telnet_negotiation.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

void CheckReply(const std::string& r, const std::string& termType)
{
    if (r.size() < 3 || static_cast<uint8_t>(r[0]) != TLNT_IAC)
        std::abort();
    uint8_t verb = static_cast<uint8_t>(r[1]);
    if (verb == TLNT_SB) {
        if (r.size() != 5 && r.size() != 6 + termType.size())
            std::abort();
        if (static_cast<uint8_t>(r[r.size() - 2]) != TLNT_IAC
            || static_cast<uint8_t>(r.back()) != TLNT_SE)
            std::abort();
    } else if (r.size() != 3
               || (verb != TLNT_DO && verb != TLNT_DONT && verb != TLNT_WILL
                   && verb != TLNT_WONT)) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t split = data[0] % size;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::vector<std::string> whole, parts;
    TTelnetNegotiation a, b;
    std::string textWhole = a.Process(input, [&](const std::string& r) { whole.push_back(r); });
    std::string textParts =
            b.Process(input.substr(0, split), [&](const std::string& r) { parts.push_back(r); });
    textParts += b.Process(input.substr(split), [&](const std::string& r) { parts.push_back(r); });

    if (textWhole != textParts || whole != parts || a.State() != b.State())
        std::abort();
    if (textWhole.size() > input.size())
        std::abort();
    for (const auto& r : whole)
        CheckReply(r, a.TermType);
    return 0;
}
