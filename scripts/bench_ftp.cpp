// One transfer with the station's FTP client, for scripts/bench-ftp:
//   bench_ftp up|down HOST PORT REMOTE LOCAL USER
// Exits 0 when the transfer succeeded.
#include "net/ftp_client.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: bench_ftp up|down HOST PORT REMOTE LOCAL USER\n");
        return 2;
    }
    const std::string way = argv[1];
    const bool ok = way == "up" ? UploadFile(argv[2], argv[3], argv[4], argv[5], argv[6], "")
                                : DownloadFile(argv[2], argv[3], argv[4], argv[5], argv[6], "");
    return ok ? 0 : 1;
}
