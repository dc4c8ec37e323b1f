#include "core/ethernet_transfer.h"

#include "core/pattern_file.h"
#include "net/ftp_client.h"
#include "net/ftp_file.h"

#include <cstdio>
#include <stdexcept>

namespace tolvek {

TTransferOutcome RunEthernetTransfer(const std::function<std::string()>& ipText,
                                     const std::function<bool()>& abortRequested,
                                     const std::string& port, const std::string& networkPort)
{
    TTransferOutcome outcome;
    TFTPOneShotSettings settings;
    settings.Interface = networkPort;
    settings.Timeout = kStationFtpTimeout;
    settings.ReplyLimit = kStationFtpReplyLimit;
    settings.TotalLimit = kStationFtpDirectionLimit;
    // More than was sent can't be the pattern; stopping here also keeps a unit that
    // sends without end from filling the station's disk.
    settings.MaxDownloadSize = kPatternBytes;
    using Clock = std::chrono::steady_clock;
    Clock::time_point start;
    const auto begin = [&](TTransferOutcome::TDirection& d) {
        d.Tried = true;
        start = Clock::now();
    };
    const auto end = [&](TTransferOutcome::TDirection& d, bool passed) {
        d.Took = Clock::now() - start;
        d.Passed = passed;
    };
    try {
        WritePatternFile(kPatternLocalName);
        begin(outcome.Upload);
        const bool uploaded = UploadFile(ipText(), port, kPatternRemoteName, kPatternLocalName,
                                         "root", "", &settings);
        end(outcome.Upload, uploaded);
        if (!uploaded)
            throw std::runtime_error("can't upload test file");
        std::remove(kPatternLocalName);
        if (abortRequested()) {
            outcome.Result = TTransferOutcome::Aborted;
            return outcome;
        }
        begin(outcome.Download);
        const bool downloaded = DownloadFile(ipText(), port, kPatternRemoteName, kPatternLocalName,
                                             "root", "", &settings);
        end(outcome.Download, false);
        if (!downloaded) {
            if (!settings.Oversize)
                throw std::runtime_error("can't download test file");
            std::remove(kPatternLocalName);
            throw std::runtime_error("wrong data");
        }
        // A file that can't be opened throws past the deletion: there is nothing to delete.
        const TPatternCheck check = VerifyPatternFile(kPatternLocalName);
        std::remove(kPatternLocalName);
        if (check == TPatternCheck::DataLoss)
            throw std::runtime_error("data loss");
        if (check == TPatternCheck::WrongData)
            throw std::runtime_error("wrong data");
        outcome.Download.Passed = true;
        outcome.Result = TTransferOutcome::Passed;
    } catch (const std::exception& e) {
        // A stop wakes the transfer's waits, so its failure is the stop's, not the unit's.
        if (abortRequested()) {
            std::remove(kPatternLocalName);
            outcome.Result = TTransferOutcome::Aborted;
            return outcome;
        }
        outcome.Result = TTransferOutcome::Failed;
        outcome.Message = e.what();
    }
    return outcome;
}

} // namespace tolvek
