// The command link under the SMTP dialogue (as curl's pingpong sits under its smtp): the
// connection to the relay, the reply reader, the deadline of the reply awaited, sending
// one command line with a checked result, and the TLS upgrade. It knows no SMTP state;
// a failure is a false result, with the link marked lost or timed out.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Network.h"
#include "platform/Tls.h"
#include "smtp/SMTPReplyReader.h"

namespace varnel {

class CSMTPCommandLink {
 public:
  explicit CSMTPCommandLink(INetwork& network) : m_pNetwork(&network) {}
  CSMTPCommandLink(const CSMTPCommandLink&) = delete;
  CSMTPCommandLink& operator=(const CSMTPCommandLink&) = delete;

  // Creates the socket bound to a local dotted address (empty: any address).
  bool Create(const std::string& bindAddress, std::string& error);
  // Connects within limit; false with the system's words in error.
  bool Connect(const std::string& host, int port, std::chrono::milliseconds limit, std::string& error);
  // Sends one command line (CR LF added): false when it did not go out whole, the link
  // then marked timed out or lost. Once sent, the reply is awaited for limit.
  [[nodiscard]] bool Send(const std::string& command, std::chrono::milliseconds limit);
  // The TLS handshake over the connection (RFC 3207, RFC 8314); false with error set, the
  // connection then gone. The next reply is awaited for limit.
  bool StartTls(ITlsClient& tls, const CTlsSettings& settings, std::chrono::milliseconds limit, std::string& error);
  // Bytes of the relay, waiting at most `wait`.
  IoResult Receive(char* buffer, std::size_t size, std::size_t& received, std::chrono::milliseconds wait);
  // Whether the relay has said anything (or closed) since the message began: asked
  // before every send of the message text. Its bytes go to the reply reader.
  bool RelaySpoke();
  // The next reply must be complete within limit from now.
  void RestartDeadline(std::chrono::milliseconds limit);
  // What is left of the deadline (zero or less: passed).
  std::chrono::milliseconds Left() const;

  CSMTPReplyReader& Reader() { return m_reader; }
  IConnection& Connection() { return *m_pConnection; }
  bool TlsActive() const { return m_bTlsActive; }
  // The connection failed (closed, reset) or a send of it timed out.
  bool Lost() const { return m_bLost; }
  bool TimedOut() const { return m_bTimedOut; }
  void SetLost(bool lost) { m_bLost = lost; }
  void SetTimedOut() { m_bTimedOut = true; }

 private:
  INetwork* m_pNetwork;
  std::unique_ptr<IClientSocket> m_pSocket;
  std::unique_ptr<IConnection> m_pConnection;
  CSMTPReplyReader m_reader;
  std::chrono::steady_clock::time_point m_deadline;
  bool m_bTlsActive = false;
  bool m_bLost = false;
  bool m_bTimedOut = false;
};

// The local address the client socket binds to: the BindIP setting when the host has
// that address, else the first of the host's addresses; empty (any) without addresses.
std::string ChooseBindAddress(const std::vector<std::uint32_t>& addresses, const std::string& bindIP,
                              bool& bindIPFound);

}  // namespace varnel
