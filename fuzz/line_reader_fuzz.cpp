// Lines and awaited texts read from the unit's byte stream: ReceiveUntil over a local
// stream pair, in arbitrary arrivals, with and without a line-length bound.
#include "net/block_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const int maxLine = data[0] % 24; // 0: no bound
    const bool convert = data[1] & 1;
    const std::string terminator = data[1] & 2 ? std::string("\r\n") : std::string("ok");
    const std::size_t chunk = 1 + data[2] % 64;
    const std::string input(reinterpret_cast<const char*>(data) + 3, size - 3);

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    TTCPBlockSocket s;
    s.AdoptHandle(fds[0]);
    s.MaxLineLength = maxLine;
    s.ConvertLineEnd = convert;
    std::size_t returned = 0;
    auto readAll = [&](int wantError) {
        for (;;) {
            const std::string text = s.ReceiveUntil(0, terminator);
            if (s.LastError() == 0) {
                returned += text.size();
                if (text.find(terminator) != std::string::npos)
                    std::abort();
            } else if (s.LastError() == wantError) {
                return;
            } else if (s.LastError() != WSAENOBUFS) {
                std::abort();
            }
            if (maxLine > 0 && s.PendingInput().size() > static_cast<std::size_t>(maxLine) + chunk)
                std::abort();
        }
    };
    for (std::size_t at = 0; at < input.size(); at += chunk) {
        const std::string piece = input.substr(at, chunk);
        if (write(fds[1], piece.data(), piece.size()) != static_cast<ssize_t>(piece.size()))
            std::abort();
        readAll(WSAETIMEDOUT);
    }
    close(fds[1]);
    readAll(WSAECONNRESET);
    if (returned > input.size())
        std::abort();
    return 0;
}
