#include "smtp/SMTPChannel.h"

#include <algorithm>
#include <string_view>
#include <thread>

#include "mime/AttachmentFiles.h"
#include "platform/AsciiCase.h"
#include "platform/TextCensor.h"
#include "platform/System.h"
#include "platform/Log.h"
#include "platform/Network.h"
#include "oauth/OAuthTokens.h"
#include "smtp/AddressList.h"
#include "smtp/RelayProfile.h"
#include "smtp/CompletionEvent.h"
#include "smtp/DeliveryWorker.h"
#include "smtp/SMTPSocket.h"

namespace varnel {
namespace {

// The delivery worker marks its thread so that its log lines carry the thread number;
// lines written on the server's thread carry 0.
thread_local long tls_nLogThreadNumber = 0;

void DeliveryThreadProc(CSMTPChannel* channel, int* exitCode) {
  SetLogThreadNumber(CurrentThreadId());
  try {
    *exitCode = channel->Sendmail() ? 0 : 1;
  } catch (...) {
    *exitCode = 1;
  }
}

}  // namespace

void SetLogThreadNumber(long number) { tls_nLogThreadNumber = number; }

CSMTPChannel::CSMTPChannel(const CPlatform& platform) : m_platform(platform) {}

CSMTPChannel::~CSMTPChannel() = default;

bool CSMTPChannel::ReadSettings() {
  if (m_settings.bRead) return true;
  std::string error;
  Status status = Status::Registry;
  if (ReadDeliverySettings(m_platform.pSettings, m_settings, error, status)) return true;
  WriteLog("Setting refused: " + error);
  m_strErrorDetail = error;
  m_nStatus = status;
  return false;
}

// The text is stored as given: the data stream applies RFC 5321 transparency to every
// line of the message, so no partial dot-stuffing happens here.
void CSMTPChannel::SetSubject(std::string text) { m_strSubject = std::move(text); }

void CSMTPChannel::SetBody(std::string text) {
  m_strBody = std::move(text);
  // Searched in place, whatever the case: a large body is not copied for it.
  auto contains = [this](std::string_view mark) {
    return std::search(m_strBody.begin(), m_strBody.end(), mark.begin(), mark.end(), [](char a, char b) {
             return (a >= 'a' && a <= 'z' ? static_cast<char>(a - 'a' + 'A') : a) == b;
           }) != m_strBody.end();
  };
  if (contains("<HTML") && contains("</HTML")) {
    m_strContentType = "text/html";
    m_bHTML = true;
  }
}

void CSMTPChannel::SetCharsetFromCodePage(std::uint32_t codepage) {
  switch (codepage) {
    case 1250: m_nCharset = 2; break;
    case 1251: m_nCharset = 5; break;
    case 1253: m_nCharset = 7; break;
    case 1254: m_nCharset = 9; break;
    case 1255: m_nCharset = 8; break;
    case 1256: m_nCharset = 6; break;
    case 1257: m_nCharset = 13; break;
    case 65001: m_nCharset = 65001; break;  // UTF-8 collations: the message is UTF-8
    default: m_nCharset = 1; break;
  }
}

std::string CSMTPChannel::GetErrorMessage() const {
  std::string text = GetStatusText(m_nStatus);
  // The detail may quote a relay, a token endpoint or a TLS library: one line, no
  // control characters.
  if (!m_strErrorDetail.empty()) text += ": " + CensorText(m_strErrorDetail, " ");
  return text;
}

// The first characters of a reply: digits from a relay that keeps to the protocol, anything
// from one that does not.
std::string CSMTPChannel::GetSMTPErrorNumber() const { return CensorLine(m_strSMTPErrorNumber); }

std::string CSMTPChannel::GetSMTPErrorMessage() const {
  if (m_strSMTPReply.size() > 5) return CensorKeepingLineEnds(std::string_view(m_strSMTPReply).substr(4));
  return {};
}

void CSMTPChannel::WriteLog(const std::string& message) const {
  if (m_nDebug <= 0) return;
  long number = tls_nLogThreadNumber;
  std::string error;
  if (!AppendLogLine(m_nDebug, m_strLogFileName, message, &number, &error)) m_logProblem.Record(error);
}

bool CSMTPChannel::CheckAttachments() {
  if (m_strAttachments.empty()) return true;
  std::string error;
  if (!m_attachmentPolicy.Load(*m_platform.pSettings, error)) {
    WriteLog(error);
    m_strErrorDetail = error;
    m_nStatus = Status::Registry;
    return false;
  }
  // The secrets kept outside the settings folder: every profile's secret files, and the
  // folder where the tokens of this account's calls are shared.
  if (m_platform.pProfiles != nullptr) {
    std::vector<std::pair<std::string, std::string>> secrets;
    if (!ProfileSecretFiles(*m_platform.pProfiles, secrets, error)) {
      WriteLog(error);
      m_strErrorDetail = error;
      m_nStatus = Status::Registry;
      return false;
    }
    for (const auto& [path, what] : secrets) m_attachmentPolicy.RefuseFile(path, what);
  }
  m_attachmentPolicy.RefuseFolder(OAuthTokenSharingFolder(), "the folder of shared OAuth tokens");
  // Expanded once: the files checked here are the files every composition attaches.
  m_attachmentFiles = ExpandAttachmentList(*m_platform.pFileSystem, m_strAttachments);
  std::string refusal;
  if (CheckAttachmentFiles(m_attachmentFiles, m_attachmentPolicy, refusal)) return true;
  WriteLog("Attachment not allowed: " + refusal);
  m_strErrorDetail = refusal;
  m_nStatus = Status::AttachmentRefused;
  return false;
}

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

void CSMTPChannel::ResolveRetrySettings() {
  const CInstallationSettings& settings = m_settings.installation;
  if (m_nRetries < 0) m_nRetries = settings.nRetries >= 0 ? settings.nRetries : 0;
  if (m_nRetryDelayMs < 0) m_nRetryDelayMs = (settings.nRetryDelay >= 0 ? settings.nRetryDelay : 5) * std::int64_t{1000};
  if (m_nMaxSeconds < 0) m_nMaxSeconds = settings.nMaxSeconds >= 0 ? settings.nMaxSeconds : 0;
  // 0: no bound but the per-reply time-out.
  if (m_nMaxSeconds > 0) m_tCallDeadline = m_tCallStart + std::chrono::seconds(m_nMaxSeconds);
}

std::chrono::milliseconds CSMTPChannel::WaitLimit() const {
  std::chrono::milliseconds limit = EffectiveTimeout(m_nTimeout);
  if (m_tCallDeadline == std::chrono::steady_clock::time_point::max()) return limit;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(m_tCallDeadline - std::chrono::steady_clock::now());
  if (left < limit) limit = left;
  return limit.count() < 1 ? std::chrono::milliseconds(1) : limit;
}

bool CSMTPChannel::CallTimeUp() const { return std::chrono::steady_clock::now() >= m_tCallDeadline; }

void CSMTPChannel::ResolveTlsSettings() {
  const CInstallationSettings& settings = m_settings.installation;
  bool given = m_nTlsMode >= TlsMode::Never && m_nTlsMode <= TlsMode::Implicit;
  // Credentials go in clear only when the call said @tls=0 itself, or the settings allow it.
  m_settings.bPlainSignInAllowed = (given && m_nTlsMode == TlsMode::Never) || settings.nAllowPlainSignIn == 1;
  bool raised = false;
  std::int32_t mode = ResolveTlsMode(m_nTlsMode, settings.nTlsMode, m_nPort, m_bAuthenticate, raised);
  if (raised) {
    WriteLog("@tls=" + std::to_string(m_nTlsMode) + " is below the TlsMode setting: TLS mode " +
             std::to_string(mode) + " applies");
  }
  m_nTlsMode = mode;
  if (m_nTlsMode != TlsMode::Never) WriteLog("TLS mode " + std::to_string(m_nTlsMode));
}

std::string CSMTPChannel::GetEffectiveFrom() {
  if (!m_strFrom.empty()) return m_strFrom;
  // The name the relay is greeted with: the HeloName setting, else the host's fully
  // qualified name; never a domain made up by appending to the host name.
  std::string domain = GetSenderDomain(*m_platform.pNetwork, m_settings.installation.strHeloName);
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
    if (!ReadSettings()) return false;
    m_strBindIP = m_settings.installation.strBindIP;
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

bool CSMTPChannel::Sendmail() { return CDeliveryWorker(*this).Run(); }

}  // namespace varnel
