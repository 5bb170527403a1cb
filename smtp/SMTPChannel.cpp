#include "smtp/SMTPChannel.h"

#include <algorithm>
#include <string_view>

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

const char* CSMTPChannel::GetStatusText(std::int32_t code) {
  switch (code) {
    case 0: return "Success";
    case 1: return "Socket inialisation error";
    case 2: return "Error returned from Socket Control Create";
    case 3: return "Unable to Connect to SMTP Server";
    case 4: return "Error creating complete event";
    case 5: return "Destination address or recipient cannot be null";
    case 6: return "Destination returned error : See log";
    case 7: return "Error accessing the registry";
    case 8: return "Timeout exceeded";
    case 9: return "Unknown return value from message loop";
    case 10: return "Exception caught";
    case 11: return "Servername buffer exceeded";
    case 12: return "Username buffer exceeded";
    case 13: return "Password buffer exceeded";
    case 14: return "Error while logging on";
    case 15: return "TLS could not be established";
    case 16: return "OAuth token could not be obtained";
    default: return "Unknown error";
  }
}

std::string CSMTPChannel::GetErrorMessage() const {
  std::string text = GetStatusText(m_nStatus);
  if (!m_strErrorDetail.empty()) text += ": " + m_strErrorDetail;
  return text;
}

std::string CSMTPChannel::GetSMTPErrorMessage() const {
  if (m_strSMTPReply.size() > 5) return m_strSMTPReply.substr(4);
  return {};
}

void CSMTPChannel::WriteLog(const std::string& message) const {
  if (m_nDebug <= 0) return;
  long number = tls_nLogThreadNumber;
  AppendLogLine(m_nDebug, m_strLogFileName, message, &number);
}

}  // namespace varnel
