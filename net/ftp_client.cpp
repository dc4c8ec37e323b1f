// The FTP client's control dialogue: greeting, log-in, commands and replies, and the
// file operations built on them.
#include "net/ftp_client.h"

#include "net/ftp_file.h"
#include "net/ftp_reply.h"

#include <unistd.h>

using tolvek::TLocalFile;
using tolvek::TLocalFileStream;
using namespace tolvek::ftp;

namespace {

// A reply line longer than this is dropped by the socket and the reply fails: a
// hostile server can't make the client buffer without end.
constexpr int kMaxReplyLine = 8192;
// Preliminary (1xx) greetings accepted before the real one.
constexpr int kMaxPreliminaryGreetings = 16;
// Steps a log-in may take; a custom table could otherwise loop for ever.
constexpr int kMaxLoginSteps = 32;

constexpr uint8_t kLoggedIn = 255;
constexpr uint8_t kLoginFailed = 254;

// The built-in log-in tables by firewall mode; trailing steps are zero.
constexpr std::array<std::array<uint8_t, 18>, 9> kLoginTables{{
        {0, 255, 3, 1, 255, 6, 2, 255, 254},
        {3, 6, 3, 4, 6, 254, 5, 254, 9, 0, 255, 12, 1, 255, 15, 2, 255, 254},
        {3, 6, 3, 4, 6, 254, 6, 255, 9, 1, 255, 12, 2, 255, 254},
        {3, 6, 3, 4, 6, 254, 0, 255, 9, 1, 255, 12, 2, 255, 254},
        {7, 3, 3, 0, 255, 6, 1, 255, 9, 2, 255, 254},
        {6, 255, 3, 1, 255, 6, 2, 255, 254},
        {8, 6, 3, 4, 6, 254, 0, 255, 9, 1, 255, 12, 2, 255, 254},
        {9, 254, 3, 1, 255, 6, 2, 255, 254},
        {10, 255, 3, 11, 255, 6, 2, 255, 254},
}};

int64_t StreamSize(std::istream& stream)
{
    stream.clear();
    const auto here = stream.tellg();
    stream.seekg(0, std::ios::end);
    const auto size = stream.tellg();
    stream.seekg(here);
    return size < 0 ? 0 : static_cast<int64_t>(size);
}

// The encryption plug has no public start on the socket; this reaches the socket's
// error state through a member pointer, without widening the socket's interface.
class TTLSStarter : public TTCPBlockSocket
{
public:
    static bool Start(TTCPBlockSocket& socket)
    {
        if (socket.SSL().Connect())
            return true;
        (socket.*(&TTLSStarter::SetLastError))(WSASYSNOTREADY);
        socket.CheckLastError();
        return false;
    }
};

} // namespace

TFTPSend::TFTPSend()
    : FSock(std::make_unique<TTCPBlockSocket>())
    , FDSock(std::make_unique<TTCPBlockSocket>())
{
    FSock->ConvertLineEnd = true;
    FSock->MaxLineLength = kMaxReplyLine;
    TargetPort = "21";
    Timeout = 300000;
    UserName = "anonymous";
    Password = "anonymous@" + TBlockSocket::LocalHostName();
}

TFTPSend::~TFTPSend()
{
    FDSock.reset();
    FSock.reset();
}

void TFTPSend::ReportStatus(bool response, const std::string& value)
{
    if (OnStatus)
        OnStatus(this, response, value);
}

int TFTPSend::ReadReply()
{
    TFTPReplyAssembler reply;
    FResultString.clear();
    // Every line of one reply within WaitLimit: "220-" lines trickled one by one must
    // not keep the client waiting.
    TWaitLimit limit(*FSock, WaitLimit);
    bool complete = false;
    for (;;) {
        const std::string line = FSock->ReceiveLine(Timeout);
        complete = reply.AddLine(line);
        if (reply.Overflowed()) {
            // A reply that never ends: drop what is still coming and fail it.
            FSock->ClearPendingInput();
            break;
        }
        FResultString = line;
        ReportStatus(true, line);
        if (FSock->LastError() != 0 || complete)
            break;
    }
    FFullResult = reply.Lines();
    // A reply cut off before its last line is no reply: its first line's "220-" must
    // not pass for success.
    FResultCode = complete ? reply.Code() : 0;
    return FResultCode;
}

int TFTPSend::SendCommand(const std::string& command)
{
    // A late or unexpected reply is discarded.
    FSock->Drain();
    FSock->SendText(command + "\r\n");
    ReportStatus(false, command);
    return ReadReply();
}

bool TFTPSend::OpenControlConnection()
{
    FSock->CloseGracefully();
    FSock->BindDevice = Interface;
    FSock->BindLocal(IPInterface, "0");
    if (FSock->LastError() == 0) {
        if (!FWHost.empty())
            FSock->Connect(FWHost, FWPort);
        else
            FSock->Connect(TargetHost, TargetPort);
    }
    if (FSock->LastError() == 0 && FullSSL)
        StartEncryption(*FSock);
    return FSock->LastError() == 0;
}

bool TFTPSend::StartEncryption(TTCPBlockSocket& socket)
{
    return TTLSStarter::Start(socket);
}

std::string TFTPSend::FirewallTarget() const
{
    return TargetPort == "21" ? TargetHost : TargetHost + ":" + TargetPort;
}

std::string TFTPSend::LoginCommand(int code) const
{
    switch (code) {
    case 0: return "USER " + UserName;
    case 1: return "PASS " + Password;
    case 2: return "ACCT " + Account;
    case 3: return "USER " + FWUsername;
    case 4: return "PASS " + FWPassword;
    case 5: return "SITE " + FirewallTarget();
    case 6: return "USER " + UserName + "@" + FirewallTarget();
    case 7: return "OPEN " + FirewallTarget();
    case 8: return "USER " + FWUsername + "@" + FirewallTarget();
    case 9: return "USER " + UserName + "@" + FirewallTarget() + " " + FWUsername;
    case 10: return "USER " + UserName + "@" + FWUsername + "@" + FirewallTarget();
    case 11: return "PASS " + Password + "@" + FWPassword;
    default: return {};
    }
}

bool TFTPSend::RunLoginSequence(int mode)
{
    if (FWHost.empty())
        mode = 0;
    const std::array<uint8_t, 18>& table =
            mode == -1 ? CustomLogin : kLoginTables[mode >= 1 && mode <= 8 ? mode : 0];
    int step = 0;
    for (int taken = 0; taken < kMaxLoginSteps; ++taken) {
        const std::string line = LoginCommand(table[step]);
        if (line.empty())
            return false;
        const int replyClass = ReplyClass(SendCommand(line));
        if (replyClass != 2 && replyClass != 3)
            return false;
        const uint8_t next = table[step + replyClass - 1];
        if (next == kLoggedIn)
            return true;
        // kLoginFailed (254), like any step past the last one (15), ends the login.
        if (next > 15)
            return false;
        step = next;
    }
    return false;
}

bool TFTPSend::Login()
{
    FCanResume = false;
    if (!OpenControlConnection())
        return false;
    FIsTLS = FullSSL;
    FIsDataTLS = false;

    int preliminary = 0;
    while (ReplyClass(ReadReply()) == 1)
        if (++preliminary > kMaxPreliminaryGreetings)
            return false;
    if (ReplyClass(FResultCode) != 2)
        return false;

    if (AutoTLS && !FIsTLS && ReplyClass(SendCommand("AUTH TLS")) == 2) {
        FIsTLS = StartEncryption(*FSock);
        if (!FIsTLS)
            return false;
    }
    if (!RunLoginSequence(FWMode))
        return false;
    if (FIsTLS) {
        SendCommand("PBSZ 0");
        if (TLSonData)
            FIsDataTLS = ReplyClass(SendCommand("PROT P")) == 2;
        if (!FIsDataTLS)
            SendCommand("PROT C");
    }
    SendCommand("TYPE I");
    SendCommand("STRU F");
    SendCommand("MODE S");
    if (SendCommand("REST 0") == 350 && SendCommand("REST 1") == 350) {
        SendCommand("REST 0");
        FCanResume = true;
    }
    return true;
}

bool TFTPSend::Logout()
{
    const bool ok = ReplyClass(SendCommand("QUIT")) == 2;
    FSock->CloseGracefully();
    return ok;
}

void TFTPSend::SendTypeCommand()
{
    SendCommand(BinaryMode ? "TYPE I" : "TYPE A");
}

bool TFTPSend::FetchFile(const std::string& fileName, bool restore)
{
    if (fileName.empty())
        return false;
    if (!OpenDataChannel())
        return false;
    restore = restore && FCanResume;
    std::unique_ptr<TLocalFileStream> file;
    std::ostream* target = &FDataStream;
    try {
        if (DirectFile) {
            const bool resume = restore && TLocalFile::Exists(DirectFileName);
            file = std::make_unique<TLocalFileStream>(DirectFileName,
                                                      resume ? TLocalFile::Mode::ReadWrite
                                                             : TLocalFile::Mode::Create);
            target = file.get();
        }
    } catch (...) {
        FDSock->CloseAbortively();
        throw;
    }
    SendTypeCommand();
    bool result = false;
    if (restore) {
        target->clear();
        target->seekp(0, std::ios::end);
        const auto size = target->tellp();
        result = ReplyClass(SendCommand(
                         "REST " + std::to_string(size < 0 ? 0 : static_cast<int64_t>(size))))
                 == 3;
    } else {
        if (!DirectFile) {
            FDataStream.str({});
            FDataStream.clear();
        }
        result = true;
    }
    result = result && ReplyClass(SendCommand("RETR " + fileName)) == 1;
    if (result)
        result = ReceiveData(*target);
    else
        FDSock->CloseGracefully();
    if (!DirectFile) {
        FDataStream.clear();
        FDataStream.seekg(0);
    }
    return result;
}

bool TFTPSend::PutFile(const std::string& fileName, bool restore)
{
    if (fileName.empty())
        return false;
    int64_t position = 0;
    if (restore && FCanResume)
        position = std::max<int64_t>(RemoteFileSize(fileName), 0);
    return SendDataWithCommand("STOR " + fileName, position);
}

bool TFTPSend::PutUniqueFile()
{
    return SendDataWithCommand("STOU", 0);
}

bool TFTPSend::AppendToFile(const std::string& fileName)
{
    if (fileName.empty())
        return false;
    return SendDataWithCommand("APPE " + fileName, 0);
}

bool TFTPSend::SendDataWithCommand(const std::string& command, int64_t restartAt)
{
    std::unique_ptr<TLocalFileStream> file;
    std::istream* source = &FDataStream;
    if (DirectFile) {
        if (!TLocalFile::Exists(DirectFileName))
            return false;
        file = std::make_unique<TLocalFileStream>(DirectFileName, TLocalFile::Mode::Read);
        source = file.get();
    }
    if (!OpenDataChannel())
        return false;
    SendTypeCommand();
    const int64_t size = StreamSize(*source);
    int64_t position = FCanResume ? restartAt : 0;
    if (size > 0 && size == position) {
        FDSock->CloseGracefully(); // the server already has all of it
        return true;
    }
    if (size < position)
        position = 0;
    SendCommand("ALLO " + std::to_string(size - position));
    bool accepted = !FCanResume || ReplyClass(SendCommand("REST " + std::to_string(position))) == 3;
    if (accepted) {
        source->clear();
        source->seekg(position);
        accepted = ReplyClass(SendCommand(command)) == 1;
    }
    if (!accepted) {
        FDSock->CloseGracefully();
        return false;
    }
    return TransmitData(*source);
}

bool TFTPSend::ListDirectory(const std::string& directory, bool namesOnly)
{
    FFtpList.Clear();
    SendCommand("TYPE A");
    if (!OpenDataChannel())
        return false;
    std::string command = namesOnly ? "NLST" : "LIST";
    if (!directory.empty())
        command += " " + directory;
    FDataStream.str({});
    FDataStream.clear();
    bool result = ReplyClass(SendCommand(command)) == 1;
    if (result)
        result = ReceiveData(FDataStream);
    else
        FDSock->CloseGracefully();
    if (result && !namesOnly)
        FFtpList.AssignLines(FDataStream.str());
    FDataStream.clear();
    FDataStream.seekg(0);
    return result;
}

bool TFTPSend::RenameRemoteFile(const std::string& oldName, const std::string& newName)
{
    if (ReplyClass(SendCommand("RNFR " + oldName)) != 3)
        return false;
    return ReplyClass(SendCommand("RNTO " + newName)) == 2;
}

bool TFTPSend::DeleteRemoteFile(const std::string& fileName)
{
    return ReplyClass(SendCommand("DELE " + fileName)) == 2;
}

int64_t TFTPSend::RemoteFileSize(const std::string& fileName)
{
    if (ReplyClass(SendCommand("SIZE " + fileName)) != 2)
        return -1;
    return ParseSizeReply(FResultString);
}

bool TFTPSend::KeepAlive()
{
    return ReplyClass(SendCommand("NOOP")) == 2;
}

bool TFTPSend::ChangeDirectory(const std::string& directory)
{
    return ReplyClass(SendCommand("CWD " + directory)) == 2;
}

bool TFTPSend::ParentDirectory()
{
    return ReplyClass(SendCommand("CDUP")) == 2;
}

bool TFTPSend::RootDirectory()
{
    return ChangeDirectory("/");
}

bool TFTPSend::RemoveDirectory(const std::string& directory)
{
    return ReplyClass(SendCommand("RMD " + directory)) == 2;
}

bool TFTPSend::MakeDirectory(const std::string& directory)
{
    return ReplyClass(SendCommand("MKD " + directory)) == 2;
}

std::string TFTPSend::CurrentDirectory()
{
    if (ReplyClass(SendCommand("PWD")) != 2)
        return {};
    return ParseDirectoryReply(FResultString);
}

void TFTPSend::AbortTransfer()
{
    FSock->SendText("ABOR\r\n");
    FDSock->StopFlag = true;
}

void TFTPSend::AbortTransferUrgent()
{
    FSock->SendText(std::string("\xFF\xF4\xFF\xF2", 4));
    AbortTransfer();
}

namespace {

enum class TOneShot { Upload, Download };

bool OneShot(TOneShot kind, const std::string& host, const std::string& port,
             const std::string& remoteFile, const std::string& localFile, const std::string& user,
             const std::string& password, TFTPOneShotSettings* settings)
{
    TFTPSend ftp;
    if (!user.empty()) {
        ftp.UserName = user;
        ftp.Password = password;
    }
    ftp.TargetHost = host;
    ftp.TargetPort = port;
    if (settings) {
        ftp.Interface = settings->Interface;
        ftp.Timeout = settings->Timeout;
        ftp.WaitLimit = settings->ReplyLimit;
        if (settings->TotalLimit > 0) {
            // One deadline for both connections: log-in, data and every reply.
            const uint64_t deadline =
                    SteadyMilliseconds() + static_cast<uint64_t>(settings->TotalLimit);
            ftp.Sock().Deadline = deadline;
            ftp.DSock().Deadline = deadline;
        }
        ftp.MaxDownloadSize = settings->MaxDownloadSize;
        // A server that stops reading is a silence like any other.
        ftp.Sock().NonblockSendTimeout = static_cast<uint32_t>(settings->Timeout);
        ftp.DSock().NonblockSendTimeout = static_cast<uint32_t>(settings->Timeout);
        settings->Oversize = false;
    }
    if (!ftp.Login())
        return false;
    ftp.DirectFileName = localFile;
    ftp.DirectFile = true;
    const bool result = kind == TOneShot::Upload ? ftp.PutFile(remoteFile, false)
                                                 : ftp.FetchFile(remoteFile, false);
    if (settings)
        settings->Oversize = ftp.DownloadOversize();
    ftp.Logout();
    return result;
}

} // namespace

bool UploadFile(const std::string& host, const std::string& port, const std::string& remoteFile,
                const std::string& localFile, const std::string& user, const std::string& password,
                TFTPOneShotSettings* settings)
{
    return OneShot(TOneShot::Upload, host, port, remoteFile, localFile, user, password, settings);
}

bool DownloadFile(const std::string& host, const std::string& port, const std::string& remoteFile,
                  const std::string& localFile, const std::string& user,
                  const std::string& password, TFTPOneShotSettings* settings)
{
    return OneShot(TOneShot::Download, host, port, remoteFile, localFile, user, password, settings);
}
