// Reply lines from the server: split at LF into lines and assembled into replies.
#include "net/ftp_reply.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    using tolvek::ftp::TFTPReplyAssembler;
    const std::string input(reinterpret_cast<const char*>(data), size);
    TFTPReplyAssembler reply;
    std::size_t start = 0;
    while (start <= input.size()) {
        auto end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        if (reply.AddLine(input.substr(start, end - start))) {
            const int code = reply.Code();
            if (code < 0 || code > 999 || reply.Lines().size() > TFTPReplyAssembler::MaxLines)
                std::abort();
            if (reply.Overflowed() && code != 0)
                std::abort();
            reply.Reset();
        }
        start = end + 1;
    }
    return 0;
}
