// Telnet client session with the unit's shell: log in, type commands, read the output.
#pragma once

#include "net/block_socket.h"
#include "net/telnet_negotiation.h"

#include <string>

class TTelnetSend : public TLinkClient {
public:
  // A peer that floods without ever sending the awaited text ends the wait with 10055
  // after this many bytes instead of exhausting memory.
  static constexpr int DefaultMaxLineLength = 1 << 20;

  TTelnetSend();
  ~TTelnetSend() override;

  TTCPBlockSocket Sock;
  std::string TermType = "DUMB";
  // Every received byte that is not part of a telnet command, for the whole session.
  const std::string& SessionLog() const { return FSessionLog; }

  bool Login();
  void Logout();
  void Send(const std::string& text);
  bool WaitForText(const std::string& text);
  std::string ReadLine();

private:
  void ProcessTelnetInput(std::string& block);
  TTelnetNegotiation FNegotiation;
  std::string FSessionLog;
  std::string FCleaned;
};
