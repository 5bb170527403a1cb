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

// A setting that holds a whole number from low to high (blanks around it allowed).
// Missing leaves value as it is; anything else that is not such a number is an error
// naming the setting.
bool ParseWholeNumberSetting(const char* name, SettingState state, const std::string& text, std::int64_t low,
                             std::int64_t high, std::int64_t& value, std::string& error) {
  switch (state) {
    case SettingState::Missing:
      return true;
    case SettingState::Error:
      error = std::string("the ") + name + " setting cannot be read";
      return false;
    case SettingState::Found:
      break;
  }
  std::size_t first = text.find_first_not_of(" \t\r\n");
  std::size_t last = text.find_last_not_of(" \t\r\n");
  std::string number = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  std::int64_t parsed = 0;
  bool digits = !number.empty() && number.size() <= 9;
  for (char c : number) {
    if (c < '0' || c > '9') digits = false;
    if (digits) parsed = parsed * 10 + (c - '0');
  }
  if (digits && parsed >= low && parsed <= high) {
    value = parsed;
    return true;
  }
  std::string shown;
  for (char c : number.substr(0, 40)) shown += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
  error = std::string("the ") + name + " setting \"" + shown + "\" is not a whole number from " +
          std::to_string(low) + " to " + std::to_string(high);
  return false;
}

// What an attempt that did not deliver leaves to do.
enum class AttemptEnd {
  Final,      // nothing more: the refusal would come again, or the relay may hold the message
  NextRelay,  // another relay may take it (TLS failure, a 4xx not meant as "later")
  Transient,  // another relay, and this one again in a later round
  SkipRelay,  // this relay refused the sign-in: the others may still be tried
};

AttemptEnd ClassifyAttempt(const CSMTPChannel& channel, bool lostConnection) {
  const std::string& code = channel.m_strSMTPErrorNumber;
  bool transientCode = code == "421" || code == "450" || code == "451" || code == "452" || code == "454";
  switch (channel.m_nStatus) {
    case Status::Connect:
      return AttemptEnd::Transient;
    case Status::Timeout:
      return lostConnection ? AttemptEnd::Transient : AttemptEnd::Final;
    case Status::Tls:
      return transientCode ? AttemptEnd::Transient : AttemptEnd::NextRelay;
    case Status::LogOn:
      if (transientCode) return AttemptEnd::Transient;
      return code.size() == 3 && code[0] == '4' ? AttemptEnd::NextRelay : AttemptEnd::SkipRelay;
    case Status::DestinationError:
      if (transientCode) return AttemptEnd::Transient;
      return code.size() == 3 && code[0] == '4' ? AttemptEnd::NextRelay : AttemptEnd::Final;
    default:
      return AttemptEnd::Final;
  }
}

// The first line of a reply, for the attempt log.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

std::string DescribeAttempts(const std::vector<CDeliveryAttempt>& attempts) {
  std::string text;
  for (const CDeliveryAttempt& attempt : attempts) {
    if (!text.empty()) text += "; ";
    text += attempt.strRelay + ":" + std::to_string(attempt.nPort) + " " +
            (attempt.strReply.empty() ? CSMTPChannel::GetStatusText(attempt.nStatus) : attempt.strReply);
  }
  return text;
}

}  // namespace

std::vector<CRelay> SplitRelayList(const std::string& address) {
  std::vector<CRelay> relays;
  std::size_t at = 0;
  while (at <= address.size()) {
    std::size_t end = address.find_first_of(",;", at);
    if (end == std::string::npos) end = address.size();
    std::string name = address.substr(at, end - at);
    std::size_t first = name.find_first_not_of(" \t\r\n");
    std::size_t last = name.find_last_not_of(" \t\r\n");
    if (first != std::string::npos) relays.push_back({name.substr(first, last - first + 1), 0});
    at = end + 1;
  }
  return relays;
}

bool CSMTPChannel::ResolveRetrySettings() {
  ISettings& settings = *m_platform.pSettings;
  std::string error;
  std::string text;
  std::int64_t retries = 0;
  std::int64_t delay = 5;
  std::int64_t maxSeconds = 0;
  bool ok = true;
  if (m_nRetries < 0) {
    ok = ParseWholeNumberSetting("Retries", settings.Value("Retries", "VARNEL_RETRIES", text), text, 0, 100, retries,
                                 error);
    if (ok) m_nRetries = static_cast<std::int32_t>(retries);
  }
  if (ok && m_nRetryDelayMs < 0) {
    ok = ParseWholeNumberSetting("RetryDelay", settings.Value("RetryDelay", "VARNEL_RETRY_DELAY", text), text, 0,
                                 86400, delay, error);
    if (ok) m_nRetryDelayMs = delay * 1000;
  }
  if (ok && m_nMaxSeconds < 0) {
    ok = ParseWholeNumberSetting("MaxSeconds", settings.Value("MaxSeconds", "VARNEL_MAX_SECONDS", text), text, 0,
                                 86400, maxSeconds, error);
    if (ok) m_nMaxSeconds = static_cast<std::int32_t>(maxSeconds);
  }
  if (!ok) {
    WriteLog(error);
    m_strErrorDetail = error;
    m_nStatus = Status::Registry;
    return false;
  }
  // 0: no bound but the per-reply time-out.
  if (m_nMaxSeconds > 0) m_tCallDeadline = m_tCallStart + std::chrono::seconds(m_nMaxSeconds);
  return true;
}

std::chrono::milliseconds CSMTPChannel::WaitLimit() const {
  std::chrono::milliseconds limit = EffectiveTimeout(m_nTimeout);
  if (m_tCallDeadline == std::chrono::steady_clock::time_point::max()) return limit;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(m_tCallDeadline - std::chrono::steady_clock::now());
  if (left < limit) limit = left;
  return limit.count() < 1 ? std::chrono::milliseconds(1) : limit;
}

bool CSMTPChannel::CallTimeUp() const { return std::chrono::steady_clock::now() >= m_tCallDeadline; }

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

bool CSMTPChannel::EndCallTimeUp() {
  m_nStatus = Status::Timeout;
  m_strErrorDetail = "the call's bound of " + std::to_string(m_nMaxSeconds) + " seconds passed after " +
                     std::to_string(m_arrAttempts.size()) + " attempt(s)";
  if (m_bEndOfDataSent) m_strErrorDetail += "; the relay may have accepted the message";
  if (!m_arrAttempts.empty()) m_strErrorDetail += ": " + DescribeAttempts(m_arrAttempts);
  WriteLog("Timeout: " + m_strErrorDetail);
  return false;
}

bool CSMTPChannel::TryRelay(bool refreshableToken, bool& lostConnection) {
  // Nothing of an earlier attempt carries over but what the call learned for good.
  m_nStatus = Status::Success;
  m_strSMTPReply.clear();
  m_strSMTPErrorNumber.clear();
  m_strErrorDetail.clear();
  m_strTlsVersion.clear();
  m_strTlsCipher.clear();
  m_strMessageId.clear();
  m_nMessageBytes = 0;
  m_bRelay8BitMime = false;
  m_bRelayConnected = false;
  m_bEndOfDataSent = false;
  m_nRecipientIndex = 0;
  m_arrRefusedRecipients.clear();
  m_hCompleteEvent = std::make_unique<CCompletionEvent>();
  lostConnection = false;

  WriteLog("Creating CSMTPSocket");
  CChannelTokenSource freshTokens(*this);
  auto socket = std::make_unique<CSMTPSocket>(*this);
  if (refreshableToken) socket->m_pFreshTokens = &freshTokens;

  INetwork& network = *m_platform.pNetwork;
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
    m_nStatus = Status::SocketCreate;
    return false;
  }
  WriteLog("Socket create fine");
  WriteLog("Deleting binding info");
  addresses.clear();
  WriteLog("Deleting binding info complete");

  if (m_arrRelays.size() > 1) WriteLog("Relay " + m_strRelayName + " port " + std::to_string(m_nPort));
  WriteLog("Socket connecting");
  if (!socket->Connect(m_strAddress, m_nPort)) {
    WriteLog("Socket failed to connect");
    if (!socket->LastError().empty()) WriteLog("Reason: " + socket->LastError());
    m_nStatus = Status::Connect;
    lostConnection = true;
    return true;
  }
  WriteLog("Going in to wait loop");
  if (socket->Run() == CSMTPSocket::EndReason::Completed) {
    WriteLog("Waitresult = 0");
    return true;
  }
  m_nStatus = Status::Timeout;
  lostConnection = true;
  WriteLog("Timeout");
  return true;
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
    if (m_arrRelays.empty()) m_arrRelays = SplitRelayList(m_strAddress);
    if (m_arrRelays.empty() || m_strRecipient.empty()) {
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

    if (m_pQuery != nullptr) {
      std::string queryError = m_pQuery->GetQueryError();
      if (!queryError.empty()) WriteLog(queryError);
    }

    if (!ResolveTlsSettings()) return false;
    if (!ResolveRetrySettings()) return false;

    // Each round tries the relays in order; a round that ended on a transient outcome
    // is followed by another after the delay, doubled each round.
    const std::int32_t basePort = m_nPort;
    std::vector<bool> skipped(m_arrRelays.size(), false);
    std::int64_t delay = m_nRetryDelayMs;
    // As ever, true when the last dialogue ran to its end (whatever its outcome).
    bool lastLost = false;
    for (std::int32_t round = 0; round <= m_nRetries; ++round) {
      bool transient = false;
      for (std::size_t index = 0; index < m_arrRelays.size(); ++index) {
        if (skipped[index]) continue;
        if (CallTimeUp()) return EndCallTimeUp();
        const CRelay& relay = m_arrRelays[index];
        m_nPort = relay.nPort > 0 ? relay.nPort : basePort;
        m_strRelayName = relay.strHost;
        // The relay is the one the caller named: "localhost" and "127.0.0.1" stay loopback.
        m_strAddress = AsciiLower(relay.strHost);
        bool lostConnection = false;
        if (!TryRelay(fetchedToken, lostConnection)) return false;
        lastLost = lostConnection;
        CDeliveryAttempt attempt;
        attempt.strRelay = relay.strHost;
        attempt.nPort = m_nPort;
        attempt.nStatus = m_nStatus;
        attempt.strReply = !m_strSMTPReply.empty() ? FirstLine(m_strSMTPReply) : FirstLine(m_strErrorDetail);
        m_arrAttempts.push_back(attempt);
        // A first try that delivered says all in the classic lines above.
        if (m_arrAttempts.size() > 1 || (m_nStatus != Status::Success && m_nStatus != Status::Partial)) {
          WriteLog("Attempt " + std::to_string(m_arrAttempts.size()) + " at " + relay.strHost + ":" +
                   std::to_string(m_nPort) + ": " +
                   (attempt.strReply.empty() ? std::string(GetStatusText(m_nStatus)) : attempt.strReply));
        }
        if (m_nStatus == Status::Success || m_nStatus == Status::Partial) {
          m_nAcceptedRelay = static_cast<std::int32_t>(index);
          return true;
        }
        if (CallTimeUp()) return EndCallTimeUp();
        if (m_bEndOfDataSent && lostConnection) {
          // RFC 5321 section 6.1: a message the relay may hold is not sent again.
          m_nStatus = Status::Unknown;
          m_arrAttempts.back().nStatus = m_nStatus;
          WriteLog("The connection ended after the end of the message: the relay may have accepted it");
          return false;
        }
        AttemptEnd end = ClassifyAttempt(*this, lostConnection);
        if (end == AttemptEnd::Final) return !lostConnection;
        if (end == AttemptEnd::SkipRelay) skipped[index] = true;
        if (end == AttemptEnd::Transient) transient = true;
      }
      if (!transient || round == m_nRetries) break;
      // Jitter: up to a quarter more, so that callers that failed together do not return together.
      std::int64_t wait = delay + (delay > 0 ? delay * static_cast<std::int64_t>(std::stoul(RandomHex(1), nullptr, 16)) / 1024 : 0);
      m_arrAttempts.back().nDelayMs = wait;
      WriteLog("Trying again in " + std::to_string(wait) + " ms");
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait);
      if (until > m_tCallDeadline) {
        std::this_thread::sleep_until(m_tCallDeadline);
        return EndCallTimeUp();
      }
      std::this_thread::sleep_until(until);
      delay *= 2;
    }
    return !lastLost;
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
