// PASV, EPSV, SIZE and PWD reply texts from the server.
#include "net/ftp_reply.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    using namespace tolvek::ftp;
    const std::string line(reinterpret_cast<const char*>(data), size);
    if (const auto a = ParsePassiveAddress(line)) {
        if (a->Port < 1 || a->Port > 65535)
            std::abort();
        // The host must always make a valid PORT command again.
        if (FormatPortCommand(a->Host, a->Port).empty())
            std::abort();
    }
    if (const auto port = ParseExtendedPassivePort(line))
        if (*port < 1 || *port > 65535)
            std::abort();
    if (ParseSizeReply(line) < -1)
        std::abort();
    if (ParseDirectoryReply(line).size() > line.size())
        std::abort();
    (void)FormatPortCommand(line, static_cast<int>(size));
    return 0;
}
