#include "smtp/SMTPChannel.h"

#include <algorithm>
#include <string_view>

#include "mime/ByteSink.h"
#include "mime/MimeSendFile.h"
#include "platform/AsciiCase.h"
#include "platform/TextCensor.h"
#include "platform/System.h"
#include "platform/Log.h"
#include "smtp/CompletionEvent.h"

namespace varnel {
namespace {

// The delivery worker marks its thread so that its log lines carry the thread number;
// lines written on the server's thread carry 0.
thread_local long tls_nLogThreadNumber = 0;

}  // namespace

void SetLogThreadNumber(long number) { tls_nLogThreadNumber = number; }

CSMTPChannel::CSMTPChannel(const CPlatform& platform) : m_platform(platform) {}

CSMTPChannel::~CSMTPChannel() = default;

const CInstallationSettings* CSMTPChannel::InstallationValues(std::string& error, Status* status) const {
  if (!m_installation && m_strInstallationError.empty()) {
    CInstallationSettings values;
    bool tlsFault = false;
    if (m_platform.pSettings == nullptr) {
      m_installation = values;
    } else if (ReadInstallationSettings(*m_platform.pSettings, values, m_strInstallationError, &tlsFault)) {
      m_installation = std::move(values);
    } else {
      m_nInstallationFaultStatus = tlsFault ? Status::Tls : Status::Registry;
    }
  }
  if (!m_installation) {
    error = m_strInstallationError;
    if (status != nullptr) *status = m_nInstallationFaultStatus;
    return nullptr;
  }
  return &*m_installation;
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
  struct CNullSink final : IByteSink {
    void Write(const char*, std::size_t) override {}
  } sink;
  CMimeSendFile files(sink, std::string(), m_nCharset, *m_platform.pFileSystem);
  files.SetAttachmentPolicy(m_attachmentPolicy);
  std::string refusal;
  if (files.CheckFiles(m_strAttachments, refusal)) return true;
  WriteLog("Attachment not allowed: " + refusal);
  m_strErrorDetail = refusal;
  m_nStatus = Status::AttachmentRefused;
  return false;
}

}  // namespace varnel
