#include "net/telnet_client.h"

TTelnetSend::TTelnetSend() {
  Timeout = 60000;
  TargetPort = "23";
  Sock.MaxLineLength = DefaultMaxLineLength;
  Sock.OnReadFilter = [this](TBlockSocket*, std::string& block) { ProcessTelnetInput(block); };
}

TTelnetSend::~TTelnetSend() {
  // The socket outlives this body; its closing drain must not reach a half-destroyed client.
  Sock.OnReadFilter = nullptr;
}

void TTelnetSend::ProcessTelnetInput(std::string& block) {
  FNegotiation.TermType = TermType;
  FCleaned.clear();
  FNegotiation.Process(block, FCleaned, [this](const std::string& reply) { Sock.SendText(reply); });
  block.swap(FCleaned);  // both buffers stay allocated for the next block
  FSessionLog += block;
}

bool TTelnetSend::Login() {
  FSessionLog.clear();
  FNegotiation.Reset();
  Sock.CloseGracefully();
  Sock.ClearPendingInput();
  Sock.BindLocal(IPInterface, "0");
  Sock.Connect(TargetHost, TargetPort);
  return Sock.LastError() == 0;
}

void TTelnetSend::Logout() { Sock.CloseGracefully(); }

void TTelnetSend::Send(const std::string& text) {
  std::string doubled;
  doubled.reserve(text.size());
  for (char c : text) {
    doubled += c;
    if (static_cast<uint8_t>(c) == TLNT_IAC) doubled += c;
  }
  Sock.SendText(doubled);
}

bool TTelnetSend::WaitForText(const std::string& text) {
  Sock.ReceiveUntil(Timeout, text);
  return Sock.LastError() == 0;
}

std::string TTelnetSend::ReadLine() { return Sock.ReceiveUntil(Timeout, "\r\n"); }
