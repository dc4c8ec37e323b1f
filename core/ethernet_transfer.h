// The Ethernet file-transfer test without the window: write the pattern file, upload
// it to the unit, download it again and compare. The window turns the outcome into
// its journal line and failure count.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tolvek {

// Per-silence wait of the station's FTP transfers, in ms. The unit answers on the
// local bench network within milliseconds, and its final reply after a 1 MiB store
// within a second or two even on slow flash; ten seconds leaves ample margin while a
// dead FTP server freezes the window (no events are processed during the test) for
// ten seconds per wait instead of the client's default five minutes.
constexpr int kStationFtpTimeout = 10000;
// Whole-wait bounds: each reply of the FTP server, and each direction of the transfer
// from log-in to log-out. A server that trickles bytes would otherwise keep every wait
// going; 1 MiB moves in well under a second on the bench network.
constexpr int kStationFtpReplyLimit = 30000;
constexpr int kStationFtpDirectionLimit = 120000;

constexpr const char* kPatternLocalName = "tolvek.tmp";
constexpr const char* kPatternRemoteName = "/var/tolvek.tmp";

struct TTransferOutcome
{
    enum Kind { Passed, Failed, Aborted } Result = Failed;
    std::string Message; // the failure's text when Failed
    // Each direction that was tried: how long it took and whether the file moved intact.
    struct TDirection
    {
        bool Tried = false, Passed = false;
        std::chrono::steady_clock::duration Took{};
    } Upload, Download;
};

// ipText is read anew for each transfer; abortRequested is looked at after the upload and
// on a failure (which then counts as the abort). The port is "21" in the station; tests give
// another. networkPort, when not empty, is the station's network port both connections use.
TTransferOutcome RunEthernetTransfer(const std::function<std::string()>& ipText,
                                     const std::function<bool()>& abortRequested,
                                     const std::string& port = "21",
                                     const std::string& networkPort = {});

} // namespace tolvek
