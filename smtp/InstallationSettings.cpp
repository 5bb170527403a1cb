#include "smtp/InstallationSettings.h"

#include <cstdio>

#include "oauth/OAuthTokenClient.h"
#include "smtp/RelayProfile.h"

namespace varnel {
namespace {

constexpr std::size_t kValueLimit = 1000;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

class CReader {
 public:
  CReader(ISettings& settings, std::string& error) : m_settings(settings), m_strError(error) {}

  // The value up to its first NUL (empty when not set, `found` false); false when the store
  // holds one that cannot be read (or, for a secret, one kept where others can read it).
  // Every setting is read through here: one rule for all of them.
  bool Read(const char* name, const char* variable, std::string& value, bool secret = false,
            bool* found = nullptr) {
    value.clear();
    std::string reason;
    SettingState state = secret ? m_settings.SecretValue(name, variable, value, reason)
                                : m_settings.Value(name, variable, value);
    if (found != nullptr) *found = state == SettingState::Found;
    if (state == SettingState::Error) {
      m_strError = std::string("the ") + name + " setting " + (reason.empty() ? "cannot be read" : "is refused") +
                   " (" + m_settings.Origin(name, variable) + ")" + (reason.empty() ? "" : ": " + reason);
      return false;
    }
    if (state == SettingState::Missing) value.clear();
    CutAtFirstNul(value);
    return true;
  }

  // `value` is shown unless the setting is a secret.
  bool Fail(const char* name, const char* variable, const std::string& value, const std::string& why,
            bool secret = false) {
    m_strError = std::string("the ") + name + " setting " +
                 (secret ? std::string("(value not shown)") : ShownValue(value)) + " (" +
                 m_settings.Origin(name, variable) + ") " + why;
    return false;
  }

  // A text value (up to its first NUL): no control characters, at most 1000 bytes; blanks
  // and line breaks around it are not part of it.
  bool Text(const char* name, const char* variable, std::string& value, bool secret = false) {
    std::string raw;
    if (!Read(name, variable, raw, secret)) return false;
    if (raw.size() > kValueLimit) return Fail(name, variable, raw, "is longer than 1000 bytes", secret);
    value = Trimmed(raw);
    for (char c : value) {
      unsigned char byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) return Fail(name, variable, raw, "holds a control character", secret);
    }
    return true;
  }

  // A one-digit value from 0 to high; -1 when not set.
  bool Digit(const char* name, const char* variable, int high, int& value) {
    value = -1;
    std::string text;
    bool found = false;
    if (!Read(name, variable, text, false, &found)) return false;
    if (!found || ParseDigitSetting(text, 0, high, value)) return true;
    std::string why = "is not one of 0";
    for (int digit = 1; digit <= high; ++digit) why += (digit == high ? " or " : ", ") + std::to_string(digit);
    return Fail(name, variable, text, why);
  }

  // A whole number from 0 to high (at most nine digits); -1 when not set.
  bool WholeNumber(const char* name, const char* variable, int high, int& value) {
    value = -1;
    std::string text;
    bool found = false;
    if (!Read(name, variable, text, false, &found)) return false;
    if (!found) return true;
    std::string number = Trimmed(text);
    int parsed = 0;
    bool digits = !number.empty() && number.size() <= 9;
    for (char c : number) {
      if (c < '0' || c > '9') digits = false;
      if (digits) parsed = parsed * 10 + (c - '0');
    }
    if (digits && parsed <= high) {
      value = parsed;
      return true;
    }
    return Fail(name, variable, text, "is not a whole number from 0 to " + std::to_string(high));
  }

  // A value that must be one word: no blanks inside either.
  bool Word(const char* name, const char* variable, std::string& value) {
    if (!Text(name, variable, value)) return false;
    if (value.find_first_of(" \t") != std::string::npos) return Fail(name, variable, value, "holds a blank");
    return true;
  }

 private:
  ISettings& m_settings;
  std::string& m_strError;
};

bool ReadOAuthRelays(CReader& reader, std::string& value) {
  if (!reader.Text("OAuthRelays", "VARNEL_OAUTH_RELAYS", value)) return false;
  for (const CRelay& entry : SplitRelayList(value)) {
    CRelay relay;
    if (!ParseRelayEntry(entry.strHost, true, relay)) {
      return reader.Fail("OAuthRelays", "VARNEL_OAUTH_RELAYS", value,
                         "has an entry that is not \"host\" or \"host:port\" (port 1 to 65535): " + entry.strHost);
    }
  }
  return true;
}

}  // namespace

std::string ShownValue(const std::string& text) {
  std::string shown = "\"";
  for (std::size_t i = 0; i < text.size() && i < 60; ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
      shown += static_cast<char>(byte);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    }
  }
  if (text.size() > 60) shown += "...";
  return shown + "\"";
}

bool ParseDigitSetting(const std::string& text, int low, int high, int& value) {
  std::string trimmed = Trimmed(text);
  if (trimmed.size() != 1 || trimmed[0] < '0' + low || trimmed[0] > '0' + high) return false;
  value = trimmed[0] - '0';
  return true;
}

bool ParseTlsModeSetting(const std::string& text, int& mode) { return ParseDigitSetting(text, 0, 3, mode); }

bool ReadTlsCaFileSetting(ISettings& settings, std::string& value, std::string& error) {
  CReader reader(settings, error);
  if (!reader.Text("TlsCaFile", "VARNEL_TLS_CA_FILE", value)) return false;
  if (value.empty()) return true;
  std::FILE* file = std::fopen(value.c_str(), "rb");
  if (file == nullptr) return reader.Fail("TlsCaFile", "VARNEL_TLS_CA_FILE", value, "names a file that cannot be read");
  std::fclose(file);
  return true;
}

bool ReadInstallationSettings(ISettings& settings, CInstallationSettings& values, std::string& error,
                              bool* tlsFault) {
  values = CInstallationSettings();
  if (tlsFault != nullptr) *tlsFault = false;
  CReader reader(settings, error);

  // BindIP has its own entry point in the settings store.
  std::string bind;
  SettingState state = settings.BindIP(bind);
  if (state == SettingState::Error) {
    error = "the BindIP setting cannot be read (" + settings.Origin("BindIP", "VARNEL_BINDIP") + ")";
    return false;
  }
  if (state == SettingState::Found) {
    values.strBindIP = Trimmed(bind);
    if (values.strBindIP.size() > kValueLimit ||
        values.strBindIP.find_first_not_of("0123456789.") != std::string::npos) {
      return reader.Fail("BindIP", "VARNEL_BINDIP", bind, "is not an IPv4 address");
    }
  }

  // A TlsMode or AllowPlainSignIn that is there must hold one of its digits: an empty or
  // mistyped one is refused, never read as "not set", which could mean no TLS at all.
  if (tlsFault != nullptr) *tlsFault = true;
  if (!reader.Digit("TlsMode", "VARNEL_TLS_MODE", 3, values.nTlsMode) ||
      !reader.Digit("AllowPlainSignIn", "VARNEL_ALLOW_PLAIN_SIGN_IN", 1, values.nAllowPlainSignIn) ||
      !ReadTlsCaFileSetting(settings, values.strTlsCaFile, error)) {
    return false;
  }
  if (tlsFault != nullptr) *tlsFault = false;
  if (!reader.Word("HeloName", "VARNEL_HELO_NAME", values.strHeloName)) return false;

  if (!reader.Word("OAuthTokenUrl", "VARNEL_OAUTH_TOKEN_URL", values.strOAuthTokenUrl)) return false;
  if (!values.strOAuthTokenUrl.empty()) {
    CHttpsUrl url;
    std::string why;
    if (!ParseHttpsUrl(values.strOAuthTokenUrl, url, why)) {
      return reader.Fail("OAuthTokenUrl", "VARNEL_OAUTH_TOKEN_URL", values.strOAuthTokenUrl, "is not usable: " + why);
    }
  }
  return reader.Word("OAuthClientId", "VARNEL_OAUTH_CLIENT_ID", values.strOAuthClientId) &&
         reader.Text("OAuthClientSecret", "VARNEL_OAUTH_CLIENT_SECRET", values.strOAuthClientSecret, true) &&
         reader.Text("OAuthScope", "VARNEL_OAUTH_SCOPE", values.strOAuthScope) &&
         ReadOAuthRelays(reader, values.strOAuthRelays) &&
         reader.WholeNumber("Retries", "VARNEL_RETRIES", 100, values.nRetries) &&
         reader.WholeNumber("RetryDelay", "VARNEL_RETRY_DELAY", 86400, values.nRetryDelay) &&
         reader.WholeNumber("MaxSeconds", "VARNEL_MAX_SECONDS", 86400, values.nMaxSeconds);
}

}  // namespace varnel
