#include "procedure/SendLogLine.h"

#include "platform/Settings.h"
#include "smtp/SMTPChannel.h"

namespace varnel {
namespace {

std::string Value(const std::string& text) {
  std::string clean;
  bool quote = text.empty();
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      clean += '?';
      continue;
    }
    if (c == ' ' || c == '"' || c == '\\') quote = true;
    if (c == '"' || c == '\\') clean += '\\';
    clean += c;
  }
  return quote ? "\"" + clean + "\"" : clean;
}

}  // namespace

std::string FormatSendLogLine(const CCallReport& report) {
  std::string line = "from=" + Value(report.strSender);
  line += " recipients=" + std::to_string(report.nRecipients);
  if (report.strRelayHost.empty()) {
    line += " relay=none";
  } else {
    line += " relay=" + Value(report.strRelayHost) + ":" + std::to_string(report.nRelayPort);
  }
  if (!report.bRelayConnected && !report.strRelayHost.empty()) line += " connected=no";
  line += " tls=" + (report.strTlsVersion.empty() ? std::string("none") : Value(report.strTlsVersion));
  if (!report.strTlsCipher.empty()) line += " cipher=" + Value(report.strTlsCipher);
  line += " size=" + std::to_string(report.nSize);
  line += " duration=" + std::to_string(report.nMilliseconds) + "ms";
  line += " status=" + std::to_string(report.nStatus);
  std::string outcome = report.bAccepted      ? std::string("accepted")
                        : report.nStatus == -1 ? std::string("query could not connect")
                                               : std::string(CSMTPChannel::GetStatusText(report.nStatus));
  line += " outcome=" + Value(outcome);
  if (!report.strMessageId.empty()) line += " messageid=" + Value(report.strMessageId);
  return line;
}

bool SystemLogWanted(ISettings& settings) {
  std::string value;
  SettingState state = settings.Value("Syslog", "VARNEL_SYSLOG", value);
  if (state == SettingState::Missing) return false;
  if (state == SettingState::Error) return true;
  return !(value.empty() || value == "0");
}

}  // namespace varnel
