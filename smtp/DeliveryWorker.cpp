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
#include "smtp/MessageComposer.h"
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

// How much a TLS mode protects: 0 nothing, 1 TLS when the relay offers it, 2 TLS or no
// mail (STARTTLS required and implicit TLS alike).
int TlsStrength(std::int32_t mode) { return mode >= TlsMode::Required ? 2 : mode; }

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

bool CSMTPChannel::ResolveTlsSettings() {
  std::string error;
  int status = Status::Registry;
  const CInstallationSettings* settings = InstallationValues(error, &status);
  if (settings == nullptr) {
    if (status == Status::Tls) WriteLog("TLS could not be established: " + error);
    m_strErrorDetail = error;
    m_nStatus = status;
    return false;
  }
  int configured = settings->nTlsMode;
  bool given = m_nTlsMode >= TlsMode::Never && m_nTlsMode <= TlsMode::Implicit;
  // Credentials go in clear only when the call said @tls=0 itself, or the settings allow it.
  m_bPlainSignInAllowed = (given && m_nTlsMode == TlsMode::Never) || settings->nAllowPlainSignIn == 1;
  if (!given) {
    m_nTlsMode = configured >= 0 ? configured : DefaultTlsMode(m_nPort, m_bAuthenticate);
  } else if (configured >= 0 && TlsStrength(m_nTlsMode) < TlsStrength(configured)) {
    // The setting is a floor: a call may ask for more protection, never for less.
    WriteLog("@tls=" + std::to_string(m_nTlsMode) + " is below the TlsMode setting: TLS mode " +
             std::to_string(configured) + " applies");
    m_nTlsMode = configured;
  }
  if (!settings->strTlsCaFile.empty()) m_strTlsCaFile = settings->strTlsCaFile;
  if (m_nTlsMode != TlsMode::Never) WriteLog("TLS mode " + std::to_string(m_nTlsMode));
  return true;
}

std::string CSMTPChannel::GetEffectiveFrom() {
  if (!m_strFrom.empty()) return m_strFrom;
  // The name the relay is greeted with: the HeloName setting, else the host's fully
  // qualified name; never a domain made up by appending to the host name.
  std::string error;
  const CInstallationSettings* settings = InstallationValues(error);
  std::string domain = GetSenderDomain(*m_platform.pNetwork, settings != nullptr ? settings->strHeloName : "");
  if (domain.find('.') == std::string::npos && domain.find('[') == std::string::npos) {
    WriteLog("No fully qualified name for this host: the default sender is sqlserver@" + domain +
             " (the HeloName setting names the domain)");
  }
  return "sqlserver@" + domain;
}

bool CSMTPChannel::Initialise() {
  try {
    // Every installation setting is read here, before the worker starts: one that cannot be
    // read or does not parse ends the call before anything is sent.
    std::string error;
    int status = Status::Registry;
    const CInstallationSettings* settings = InstallationValues(error, &status);
    if (settings == nullptr) {
      WriteLog("Setting refused: " + error);
      m_strErrorDetail = error;
      m_nStatus = status;
      return false;
    }
    m_strBindIP = settings->strBindIP;
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
    std::string settingError;
    int settingStatus = Status::Registry;
    if (InstallationValues(settingError, &settingStatus) == nullptr) {
      WriteLog("Setting refused: " + settingError);
      m_strErrorDetail = settingError;
      m_nStatus = settingStatus;
      return false;
    }
    WriteLog("Checking recipient and address");
    if (m_strAddress.empty() || m_strRecipient.empty()) {
      WriteLog("Recipient and address or empty");
      m_nStatus = Status::NoDestination;
      return false;
    }
    // An address that cannot be sent as written stops the call before the relay is
    // contacted, so that no part of the message goes to only some of its recipients.
    std::string refusal;
    WriteLog("Processing recipient");
    bool usable = ParseAddressList(m_strRecipient, m_arrRecipients, refusal);
    if (usable) {
      WriteLog("Processing bcc");
      usable = ParseAddressList(m_strBCC, m_arrRecipients, refusal);
    }
    if (usable) {
      WriteLog("Processing cc");
      usable = ParseAddressList(m_strCC, m_arrRecipients, refusal);
    }
    if (usable) {
      WriteLog("Get From Address");
      m_strFrom = GetEffectiveFrom();
      WriteLog("ExtractEmailAddress");
      std::string fault;
      m_strFromAddress = ExtractEmailAddress(m_strFrom, fault);
      // A sender of blanks alone is no sender: the default one goes into the header and
      // the envelope alike (an empty MAIL From would mark the message as a bounce).
      if (fault.empty() && m_strFrom.empty()) {
        m_strFrom = GetEffectiveFrom();
        m_strFromAddress = ExtractEmailAddress(m_strFrom, fault);
      }
      if (!fault.empty()) refusal = AddressRefusal(m_strFrom, fault);
    }
    if (refusal.empty() && !m_arrRecipients.empty()) refusal = CMessageComposer::OverlongAddress(*this);
    if (!refusal.empty()) {
      WriteLog("Refused: " + refusal);
      m_strErrorDetail = refusal;
      m_nStatus = Status::NoDestination;
      return false;
    }
    if (m_arrRecipients.empty()) {
      m_nStatus = Status::NoDestination;
      return false;
    }
    // A file the call may not attach ends the send before anything goes out.
    if (!CheckAttachments()) return false;

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
    if (!ResolveTlsSettings()) {
      socket.reset();
      return false;
    }
    // The relay is the one the caller named: "localhost" and "127.0.0.1" stay loopback.
    m_strAddress = AsciiLower(m_strAddress);

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
