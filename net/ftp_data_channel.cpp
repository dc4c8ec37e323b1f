// The FTP data connection: passive or active set-up, accepting only the server we talk
// to, and the transfer itself, bounded in size.
#include "net/ftp_client.h"

#include "net/ftp_reply.h"

#include <unistd.h>

using namespace tolvek::ftp;

std::string TFTPSend::ControlPeerAddress()
{
    std::string peer = FSock->RemoteAddress();
    if (!peer.empty() && peer != "0.0.0.0")
        return peer;
    return FWHost.empty() ? TargetHost : FWHost;
}

bool TFTPSend::ParsePassiveReply(const std::string& line)
{
    const auto address = ParsePassiveAddress(line);
    if (!address)
        return false;
    // Only the port is taken: the data goes to the server we are talking to, never
    // to an address the reply names (a bounce to a third host).
    FDataIP = ControlPeerAddress();
    FDataPort = std::to_string(address->Port);
    return true;
}

bool TFTPSend::ParseExtendedPassiveReply(const std::string& line)
{
    const auto port = ParseExtendedPassivePort(line);
    if (!port)
        return false;
    FDataIP = ControlPeerAddress();
    FDataPort = std::to_string(*port);
    return true;
}

bool TFTPSend::OpenDataChannel()
{
    // Passive or active, the data goes through the control connection's port; in active
    // mode the listening socket's address (the one PORT/EPRT names) is that port's own.
    FDSock->BindDevice = Interface;
    if (FIsDataTLS)
        PassiveMode = true;
    if (PassiveMode) {
        const bool ipv6 = FSock->IPv6InUse();
        bool negotiated = false;
        if (!ForceOldPort && ReplyClass(SendCommand(ipv6 ? "EPSV 2" : "EPSV 1")) == 2) {
            if (!ParseExtendedPassiveReply(FResultString))
                return false;
            negotiated = true;
        }
        if (!negotiated) {
            if (ipv6 || ReplyClass(SendCommand("PASV")) != 2 || !ParsePassiveReply(FResultString))
                return false;
        }
        FDSock->CloseGracefully();
        FDSock->BindLocal(IPInterface, "0");
        FDSock->Connect(FDataIP, FDataPort);
        return FDSock->LastError() == 0;
    }

    FDSock->CloseGracefully();
    FDSock->BindLocal(FSock->LocalAddress(), ForceDefaultPort ? "20" : "0");
    if (FDSock->LastError() != 0)
        return false;
    FDSock->ConfigureLinger(true, 10000);
    FDSock->StartListening();
    if (FDSock->LastError() != 0)
        return false;
    FDataIP = FDSock->ResolveHost(FDSock->LocalAddress());
    const int port = FDSock->LocalPort();
    FDataPort = std::to_string(port);
    if (!ForceOldPort
        && ReplyClass(SendCommand(FormatExtendedPortCommand(FDataIP, port, IsIPv6Literal(FDataIP))))
                   == 2)
        return true;
    const std::string portCommand = FormatPortCommand(FDataIP, port);
    if (portCommand.empty())
        return false;
    return ReplyClass(SendCommand(portCommand)) == 2;
}

bool TFTPSend::AcceptDataChannel()
{
    bool accepted = PassiveMode;
    if (!PassiveMode) {
        // Only the server we talk to may bring the data; a stranger's connection is
        // closed and the wait goes on, all of it within one Timeout.
        TWaitLimit limit(*FDSock, Timeout);
        const std::string server = FSock->RemoteAddress();
        while (!accepted && FDSock->WaitReadable(Timeout)) {
            const TSocket handle = FDSock->AcceptConnection();
            if (handle == INVALID_SOCKET)
                break;
            if (FDSock->SocksIP.empty()) {
                if (FDSock->RemoteAddress() != server) {
                    ::close(handle);
                    continue;
                }
                FDSock->CloseAbortively();
            }
            FDSock->AdoptHandle(handle);
            accepted = true;
        }
    }
    if (accepted && FIsDataTLS)
        return StartEncryption(*FDSock);
    return accepted;
}

bool TFTPSend::ReceiveData(std::ostream& stream)
{
    FDownloadOversize = false;
    if (!AcceptDataChannel()) {
        FDSock->CloseGracefully();
        return false;
    }
    bool written = true;
    try {
        int64_t received = 0;
        for (;;) {
            const std::string packet = FDSock->ReceivePacket(Timeout);
            if (FDSock->LastError() != 0)
                break; // normally the server's close
            received += static_cast<int64_t>(packet.size());
            if (MaxDownloadSize >= 0 && received > MaxDownloadSize) {
                FDownloadOversize = true;
                FDSock->CloseAbortively();
                break;
            }
            stream.write(packet.data(), static_cast<std::streamsize>(packet.size()));
            if (!stream) {
                written = false; // the local file can't take it (a full disk)
                break;
            }
        }
    } catch (...) {
        FDSock->CloseAbortively();
        throw;
    }
    FDSock->CloseGracefully();
    const bool completed = ReplyClass(ReadReply()) == 2;
    return completed && written && !FDownloadOversize;
}

bool TFTPSend::TransmitData(std::istream& stream)
{
    if (!AcceptDataChannel()) {
        FDSock->CloseGracefully();
        return false;
    }
    int error = 0;
    try {
        FDSock->SendFromStream(stream);
        error = FDSock->LastError();
        if (stream.bad())
            error = -1; // the local file could not be read to its end
    } catch (...) {
        FDSock->CloseAbortively();
        throw;
    }
    // The half-close tells the server that the file is complete.
    FDSock->CloseGracefully();
    const bool completed = ReplyClass(ReadReply()) == 2;
    return error == 0 && completed;
}
