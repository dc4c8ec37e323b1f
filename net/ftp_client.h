// FTP client on the blocking socket layer: a control connection for commands and
// replies, one data connection per transfer (passive EPSV/PASV or active EPRT/PORT).
// The station uses it through UploadFile and DownloadFile.
#pragma once

#include "net/block_socket.h"
#include "net/ftp_list.h"

#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

class TFTPSend;

// Called with Response false and each command sent (without CR LF), and with
// Response true and each reply line received.
using TFTPStatus = std::function<void(TFTPSend* Sender, bool Response, const std::string& Value)>;

class TFTPSend : public TLinkClient
{
public:
    TFTPSend();
    ~TFTPSend() override;
    TFTPSend(const TFTPSend&) = delete;
    TFTPSend& operator=(const TFTPSend&) = delete;

    TFTPStatus OnStatus;

    // Read-only state.
    TTCPBlockSocket& Sock() { return *FSock; }
    TTCPBlockSocket& DSock() { return *FDSock; }
    int ResultCode() const { return FResultCode; }
    const std::string& ResultString() const { return FResultString; }
    const std::vector<std::string>& FullResult() const { return FFullResult; }
    std::stringstream& DataStream() { return FDataStream; }
    const std::string& DataIP() const { return FDataIP; }
    const std::string& DataPort() const { return FDataPort; }
    bool CanResume() const { return FCanResume; }
    TFTPList& FtpList() { return FFtpList; }
    bool IsTLS() const { return FIsTLS; }
    bool IsDataTLS() const { return FIsDataTLS; }

    // Settings.
    std::string Account;
    std::string FWHost;
    std::string FWPort = "21";
    std::string FWUsername, FWPassword;
    int32_t FWMode = 0;
    bool DirectFile = false;
    std::string DirectFileName;
    bool PassiveMode = true;
    bool ForceDefaultPort = false;
    bool ForceOldPort = false;
    bool BinaryMode = true;
    bool AutoTLS = false;
    bool FullSSL = false;
    bool TLSonData = true;
    // Log-in steps used when FWMode is -1: six (command, next on 2xx, next on 3xx).
    std::array<uint8_t, 18> CustomLogin{};
    // A download that brings more than this many bytes is cut off and fails, so that
    // a server can't fill the disk; -1 for no limit.
    int64_t MaxDownloadSize = -1;
    // True when the last download was cut off by MaxDownloadSize.
    bool DownloadOversize() const { return FDownloadOversize; }

    // Connection and log-in.
    virtual bool Login();
    virtual bool Logout();
    virtual int SendCommand(const std::string& command);
    virtual int ReadReply();
    virtual void ReportStatus(bool response, const std::string& value);

    // Transfers.
    virtual bool FetchFile(const std::string& fileName, bool restore);
    virtual bool PutFile(const std::string& fileName, bool restore);
    virtual bool PutUniqueFile();
    virtual bool AppendToFile(const std::string& fileName);
    virtual bool ListDirectory(const std::string& directory, bool namesOnly);

    // Other commands.
    virtual bool RenameRemoteFile(const std::string& oldName, const std::string& newName);
    virtual bool DeleteRemoteFile(const std::string& fileName);
    virtual int64_t RemoteFileSize(const std::string& fileName);
    virtual bool KeepAlive();
    virtual bool ChangeDirectory(const std::string& directory);
    virtual bool ParentDirectory();
    virtual bool RootDirectory();
    virtual bool RemoveDirectory(const std::string& directory);
    virtual bool MakeDirectory(const std::string& directory);
    virtual std::string CurrentDirectory();
    virtual void AbortTransfer();
    virtual void AbortTransferUrgent();

    // Steps of the above, open for subclasses.
    virtual bool RunLoginSequence(int mode);
    virtual bool OpenControlConnection();
    virtual bool SendDataWithCommand(const std::string& command, int64_t restartAt);
    virtual bool OpenDataChannel();
    virtual bool AcceptDataChannel();
    virtual bool ParsePassiveReply(const std::string& line);
    virtual bool ParseExtendedPassiveReply(const std::string& line);
    virtual bool ReceiveData(std::ostream& stream);
    virtual bool TransmitData(std::istream& stream);

    // The command line of one log-in step code (0..11); exposed for the tests.
    std::string LoginCommand(int code) const;

private:
    std::string FirewallTarget() const;
    // Where data connections go: the peer of the control connection.
    std::string ControlPeerAddress();
    void SendTypeCommand();
    bool StartEncryption(TTCPBlockSocket& socket);

    std::unique_ptr<TTCPBlockSocket> FSock;
    std::unique_ptr<TTCPBlockSocket> FDSock;
    int FResultCode = 0;
    std::string FResultString;
    std::vector<std::string> FFullResult;
    std::stringstream FDataStream;
    std::string FDataIP, FDataPort;
    bool FCanResume = false;
    TFTPList FFtpList;
    bool FIsTLS = false;
    bool FIsDataTLS = false;
    bool FDownloadOversize = false;
};

// Settings of the one-shot functions beyond the defaults: the station bounds its
// waits and downloads more tightly than the client's defaults.
struct TFTPOneShotSettings
{
    int Timeout = 300000;         // ms of silence allowed per wait
    int ReplyLimit = 0;           // ms for the whole of each reply (WaitLimit); 0 = none
    int TotalLimit = 0;           // ms for the whole call, log-in to log-out; 0 = none
    int64_t MaxDownloadSize = -1; // see TFTPSend::MaxDownloadSize
    bool Oversize = false;        // out: the download was cut off by MaxDownloadSize
    std::string Interface;        // the network port of both connections; empty = any
};

// Log in, store (upload) or fetch (download) one file in binary mode over a passive
// data connection, log out. A local file that can't be opened or created throws
// tolvek::EFileError; a local upload file that doesn't exist gives false.
bool UploadFile(const std::string& host, const std::string& port, const std::string& remoteFile,
                const std::string& localFile, const std::string& user, const std::string& password,
                TFTPOneShotSettings* settings = nullptr);
bool DownloadFile(const std::string& host, const std::string& port, const std::string& remoteFile,
                  const std::string& localFile, const std::string& user,
                  const std::string& password, TFTPOneShotSettings* settings = nullptr);
