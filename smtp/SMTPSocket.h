// The client socket of one send and its SMTP dialogue (RFC 5321): every complete reply
// from the relay decides the next command. The outcome goes into the channel (status
// code, reply text and code) and the channel's completion event.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Network.h"
#include "smtp/SMTPReplyReader.h"

namespace varnel {

class CSMTPChannel;

// Dialogue states: what the next positive reply ("250" or "235") triggers.
enum SMTPState : std::int32_t {
  SMTP_AUTH = -1,
  SMTP_MAIL = 0,
  SMTP_RCPT = 1,
  SMTP_DATA = 2,
  SMTP_QUIT = 3,
  SMTP_DONE = 4,
};

// Standard base64 (RFC 4648, with padding, no line breaks) of a short text.
std::string Base64EncodeText(const std::string& text);
// Decodes base64 text; empty when it holds anything else.
std::string Base64DecodeText(const std::string& text);

// The delivery time-out in effect: the channel's milliseconds, or the default when the
// caller gave a value that cannot bound a wait.
std::chrono::milliseconds EffectiveTimeout(std::int32_t milliseconds);

class CSMTPSocket {
 public:
  enum class EndReason { Completed, Timeout, Closed };

  explicit CSMTPSocket(CSMTPChannel& channel);
  ~CSMTPSocket();
  CSMTPSocket(const CSMTPSocket&) = delete;
  CSMTPSocket& operator=(const CSMTPSocket&) = delete;

  // Creates the socket bound to a local dotted address (empty: any address).
  bool Create(const std::string& bindAddress);
  // Connects within the channel's time-out.
  bool Connect(const std::string& host, int port);
  // Reads replies and answers them until the dialogue ends, the relay is silent for
  // longer than the time-out, or the connection is lost.
  EndReason Run();
  // Acts on one complete reply.
  void OnReceive(const std::string& reply);

 private:
  void SetState(std::int32_t state);
  bool SendCommand(const std::string& command, const char* logText = nullptr);
  void EndDialogue(std::int32_t status, const std::string* reply);
  void SendMessageText();

  CSMTPChannel* m_pChannel;
  std::int32_t m_nState;
  std::unique_ptr<IClientSocket> m_pSocket;
  std::unique_ptr<IConnection> m_pConnection;
  CSMTPReplyReader m_reader;
  bool m_bConnectionLost = false;
  bool m_bSendTimedOut = false;
};

}  // namespace varnel
