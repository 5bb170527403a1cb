// Delivery of one filled channel: a worker thread runs the whole SMTP conversation while
// the server's thread waits for it. Every failure becomes a channel status code.
#include <exception>
#include <new>
#include <thread>

#include "platform/AsciiCase.h"
#include "platform/Network.h"
#include "platform/Random.h"
#include "platform/Settings.h"
#include "platform/System.h"
#include "smtp/SMTPChannel.h"
#include "query/SMTPOLEDBQuery.h"
#include "smtp/AddressList.h"
#include "smtp/CompletionEvent.h"
#include "smtp/OAuthSignIn.h"
#include "smtp/SMTPSocket.h"

namespace varnel {
namespace {

void DeliveryThreadProc(CSMTPChannel* channel, int* exitCode) {
  SetLogThreadNumber(CurrentThreadId());
  try {
    *exitCode = channel->Sendmail() ? 0 : 1;
  } catch (...) {
    *exitCode = 1;
  }
}

}  // namespace

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

std::int32_t DefaultTlsMode(int port, bool credentials) {
  if (port == 465) return TlsMode::Implicit;
  return credentials ? TlsMode::Opportunistic : TlsMode::Never;
}

void CSMTPChannel::ResolveTlsSettings() {
  ISettings& settings = *m_platform.pSettings;
  if (m_nTlsMode < TlsMode::Never || m_nTlsMode > TlsMode::Implicit) {
    std::string value;
    int configured = -1;
    if (settings.Value("TlsMode", "VARNEL_TLS_MODE", value) == SettingState::Found && value.size() == 1 &&
        value[0] >= '0' && value[0] <= '3') {
      configured = value[0] - '0';
    }
    m_nTlsMode = configured >= 0 ? configured : DefaultTlsMode(m_nPort, m_bAuthenticate);
  }
  std::string caFile;
  if (settings.Value("TlsCaFile", "VARNEL_TLS_CA_FILE", caFile) == SettingState::Found) m_strTlsCaFile = caFile;
  if (m_nTlsMode != TlsMode::Never) WriteLog("TLS mode " + std::to_string(m_nTlsMode));
}

std::string CSMTPChannel::GetEffectiveFrom() {
  if (!m_strFrom.empty()) return m_strFrom;
  return "sqlserver@" + GetSenderDomain(*m_platform.pNetwork);
}

bool CSMTPChannel::Initialise() {
  try {
    std::string value;
    SettingState state = m_platform.pSettings->BindIP(value);
    if (state == SettingState::Error) {
      m_nStatus = Status::Registry;
      return false;
    }
    if (state == SettingState::Found) {
      // The value is taken as text: it ends at its first NUL, at most 1000 bytes.
      if (value.size() > 1000) value.resize(1000);
      std::size_t nul = value.find('\0');
      if (nul != std::string::npos) value.resize(nul);
      m_strBindIP = value;
    }
  } catch (...) {
    WriteLog("Exception thrown reading the registry");
    m_nStatus = Status::Registry;
    return false;
  }

  std::thread worker;
  int exitCode = 1;
  try {
    WriteLog("About to enter Initialise try/catch");
    WriteLog("About to start CSMTPChannel::StartThread");
    worker = std::thread(DeliveryThreadProc, this, &exitCode);
    WriteLog("CSMTPChannel::StartThread Complete");
    WriteLog("Waiting for initialise thread to complete");
    worker.join();
    WriteLog("Initialise thread complete");
    WriteLog("Getting exit code");
    if (exitCode == 1) {
      WriteLog("Exit code is 1");
      return false;
    }
    return true;
  } catch (...) {
    WriteLog("Waiting for initialise thread to die after exception\n");
    // The worker uses this channel: it must have ended before the channel goes away.
    if (worker.joinable()) worker.join();
    m_nStatus = Status::Exception;
    return false;
  }
}

bool CSMTPChannel::Sendmail() {
  std::unique_ptr<CSMTPSocket> socket;
  try {
    WriteLog("Entering sendmail procedure");
    WriteLog("Checking recipient and address");
    if (m_strAddress.empty() || m_strRecipient.empty()) {
      WriteLog("Recipient and address or empty");
      m_nStatus = Status::NoDestination;
      return false;
    }
    WriteLog("Processing recipient");
    ParseAddressList(m_strRecipient, m_arrRecipients);
    WriteLog("Processing bcc");
    ParseAddressList(m_strBCC, m_arrRecipients);
    WriteLog("Processing cc");
    ParseAddressList(m_strCC, m_arrRecipients);
    WriteLog("Get From Address");
    m_strFrom = GetEffectiveFrom();
    WriteLog("ExtractEmailAddress");
    m_strFromAddress = ExtractEmailAddress(m_strFrom);
    if (m_arrRecipients.empty()) {
      m_nStatus = Status::NoDestination;
      return false;
    }

    // A boundary no body text or database value can know in advance, so none can end a
    // part early or add parts of its own (RFC 2046 section 5.1.1: at most 70 characters;
    // 64 keep its header line within 78).
    m_strBoundary.append("_").append(RandomHex(6));

    WriteLog("Creating complete event");
    m_hCompleteEvent = std::make_unique<CCompletionEvent>();
    WriteLog("Complete event created");

    INetwork& network = *m_platform.pNetwork;
    WriteLog("About to call AfxSocketInit");
    if (!network.StartSocketLibrary()) {
      m_nStatus = Status::SocketInit;
      WriteLog("AfxSocketInit unsuccessful");
      return false;
    }

    // Without a token or password of the call's own, a token from the OAuth endpoint
    // (client credentials), fetched before the relay is contacted: a refused client
    // sends nothing.
    bool fetchedToken = false;
    if (!m_strSMTPUsername.empty() && m_strSMTPOAuthToken.empty() && m_strSMTPPassword.empty()) {
      std::string token;
      std::string error;
      switch (ObtainChannelOAuthToken(*this, false, token, error)) {
        case OAuthSetup::None:
          break;
        case OAuthSetup::Ready:
          m_strSMTPOAuthToken = token;
          m_bAuthenticate = true;
          fetchedToken = true;
          break;
        case OAuthSetup::Failed:
          m_strErrorDetail = error;
          m_nStatus = Status::OAuthToken;
          return false;
      }
    }

    WriteLog("Creating CSMTPSocket");
    socket = std::make_unique<CSMTPSocket>(*this);
    if (fetchedToken) {
      socket->m_fnRefreshToken = [this](std::string& token) {
        InvalidateOAuthToken(m_strSMTPOAuthToken);
        std::string error;
        return ObtainChannelOAuthToken(*this, true, token, error) == OAuthSetup::Ready;
      };
    }

    WriteLog("About to get binding info");
    std::vector<std::uint32_t> addresses;
    if (!network.LookupIPv4(GetLocalHostName(network), addresses)) {
      addresses.clear();
      WriteLog("Host lookup failed - binding to any local address");
    }
    WriteLog("IP Addresses - ");
    for (std::uint32_t address : addresses) WriteLog(DottedAddress(address));
    WriteLog("IP Addresses Complete ");
    WriteLog("binding info complete");

    bool bindIPFound = true;
    std::string bindAddress = ChooseBindAddress(addresses, m_strBindIP, bindIPFound);
    if (!bindIPFound) WriteLog("BindIP address not found - using default");

    WriteLog("About to call socket create");
    WriteLog("Using binding socket -" + (bindAddress.empty() ? std::string("0.0.0.0") : bindAddress));
    if (!socket->Create(bindAddress)) {
      WriteLog("Socket create failed");
      if (!socket->LastError().empty()) WriteLog("Reason: " + socket->LastError());
      socket.reset();
      m_nStatus = Status::SocketCreate;
      return false;
    }
    WriteLog("Socket create fine");
    WriteLog("Deleting binding info");
    addresses.clear();
    WriteLog("Deleting binding info complete");

    if (m_pQuery != nullptr) {
      std::string queryError = m_pQuery->GetQueryError();
      if (!queryError.empty()) WriteLog(queryError);
    }

    m_strRelayName = m_strAddress;
    ResolveTlsSettings();
    m_strAddress = AsciiLower(m_strAddress);
    if (m_strAddress == "localhost" || m_strAddress == "127.0.0.1") {
      WriteLog("localhost or 127.0.0.1 used so using hostname");
      m_strAddress = GetLocalHostName(network);
    }

    WriteLog("Socket connecting");
    if (!socket->Connect(m_strAddress, m_nPort)) {
      WriteLog("Socket failed to connect");
      if (!socket->LastError().empty()) WriteLog("Reason: " + socket->LastError());
      socket.reset();
      m_nStatus = Status::Connect;
      return false;
    }

    WriteLog("Going in to wait loop");
    CSMTPSocket::EndReason reason = socket->Run();
    if (reason == CSMTPSocket::EndReason::Completed) {
      WriteLog("Waitresult = 0");
      socket.reset();
      return true;
    }
    m_nStatus = Status::Timeout;
    WriteLog("Timeout");
    socket.reset();
    return false;
  } catch (const std::bad_alloc& error) {
    WriteLog("CResourceException thrown in Sendmail");
    WriteLog(std::string(error.what()).substr(0, 255));
  } catch (const std::exception& error) {
    WriteLog("CException thrown in Sendmail");
    WriteLog(std::string(error.what()).substr(0, 255));
  } catch (...) {
    WriteLog("Generic Exception thrown in Sendmail");
  }
  socket.reset();
  m_nStatus = Status::Exception;
  return false;
}

}  // namespace varnel
