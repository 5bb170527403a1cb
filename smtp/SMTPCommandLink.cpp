#include "smtp/SMTPCommandLink.h"

#include "platform/AsciiCase.h"

namespace varnel {
namespace {

// Commands end with CR LF whatever line ends the message text uses (RFC 5321 section 2.3.8).
constexpr const char* kCommandEnd = "\r\n";

}  // namespace

bool CSMTPCommandLink::Create(const std::string& bindAddress, std::string& error) {
  m_pSocket = m_pNetwork->CreateSocket(bindAddress, error);
  return m_pSocket != nullptr;
}

bool CSMTPCommandLink::Connect(const std::string& host, int port, std::chrono::milliseconds limit,
                               std::string& error) {
  if (!m_pSocket) return false;
  m_pConnection = m_pSocket->Connect(host, port, limit, error);
  m_pSocket.reset();
  return m_pConnection != nullptr;
}

bool CSMTPCommandLink::Send(const std::string& command, std::chrono::milliseconds limit) {
  std::string line = command + kCommandEnd;
  IoResult result = m_pConnection->SendAll(line.data(), line.size(), limit);
  if (result != IoResult::Ok) {
    if (result == IoResult::Timeout) {
      m_bTimedOut = true;
    } else {
      m_bLost = true;
    }
    return false;
  }
  // Each reply must be complete within the time-out from its command.
  RestartDeadline(limit);
  return true;
}

bool CSMTPCommandLink::StartTls(ITlsClient& tls, const CTlsSettings& settings, std::chrono::milliseconds limit,
                                std::string& error) {
  m_pConnection = tls.Handshake(std::move(m_pConnection), settings, limit, error);
  if (m_pConnection == nullptr) return false;
  m_bTlsActive = true;
  RestartDeadline(limit);
  return true;
}

IoResult CSMTPCommandLink::Receive(char* buffer, std::size_t size, std::size_t& received,
                                   std::chrono::milliseconds wait) {
  return m_pConnection->Receive(buffer, size, received, wait);
}

bool CSMTPCommandLink::RelaySpoke() {
  if (m_reader.HasUnread()) return true;
  char buffer[4096];
  std::size_t received = 0;
  IoResult result = m_pConnection->Receive(buffer, sizeof buffer, received, std::chrono::milliseconds(0));
  if (result == IoResult::Ok && received > 0) {
    m_reader.Feed(buffer, received);
    return true;
  }
  if (result == IoResult::Closed || result == IoResult::Error) {
    m_bLost = true;
    return true;
  }
  return false;
}

void CSMTPCommandLink::RestartDeadline(std::chrono::milliseconds limit) {
  m_deadline = std::chrono::steady_clock::now() + limit;
}

std::chrono::milliseconds CSMTPCommandLink::Left() const {
  // Rounded up: a wait that ends for want of time ends when the deadline has passed, not
  // within its last millisecond (the call's bound is judged by the same clock).
  return std::chrono::ceil<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now());
}

std::string ChooseBindAddress(const std::vector<std::uint32_t>& addresses, const std::string& bindIP, bool& bindIPFound) {
  bindIPFound = true;
  if (addresses.empty()) return {};
  if (bindIP.empty()) return DottedAddress(addresses.front());
  for (std::uint32_t address : addresses) {
    std::string dotted = DottedAddress(address);
    if (AsciiLower(dotted) == AsciiLower(bindIP)) return dotted;
  }
  bindIPFound = false;
  return DottedAddress(addresses.front());
}

}  // namespace varnel
