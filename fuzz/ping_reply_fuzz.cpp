// Any packet a raw ICMP socket may hand over, into the echo answer matcher.
#include "net/ping_client.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const std::string packet(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool ip6 = data[0] & 1;
    const std::string key("\x08\x00\x12\x34\x56\x01\x01\x00", 8);
    uint8_t type = 0, code = 0;
    MatchEchoAnswer(packet, ip6, ip6 ? 128 : 8, 0x0156, key, type, code);
    return 0;
}
