#include "smtp/RelayProfile.h"

#include <set>

#include "smtp/InstallationSettings.h"

namespace varnel {
namespace {

constexpr std::size_t kTextLimit = 1000;

bool HasControl(const std::string& text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

bool IsDecimal(const std::string& text) {
  return !text.empty() && text.size() <= 12 && text.find_first_not_of("0123456789") == std::string::npos;
}

// The key reader of one profile: each method takes one value, checks it and names the key
// when it is at fault.
class CProfileReader {
 public:
  CProfileReader(const CStoredProfile& stored, CRelayProfile& profile, std::string& error)
      : m_stored(stored), m_profile(profile), m_strError(error) {}

  bool Fail(const std::string& key, const std::string& why) {
    m_strError = "the " + m_profile.KeyOrigin(key.c_str()) + " " + why;
    return false;
  }

  bool Text(const std::string& key, const CStoredValue& value, std::string& target, bool word = false) {
    if (value.eKind != CStoredValue::Kind::Text) return WrongType(key, value, "a string");
    if (value.strText.size() > kTextLimit) return Fail(key, "is longer than 1000 bytes");
    if (HasControl(value.strText)) return Fail(key, "holds a control character");
    if (value.strText.empty()) return Fail(key, "is empty");
    if (word && value.strText.find_first_of(" \t") != std::string::npos) {
      return Fail(key, ShownValue(value.strText) + " holds a blank");
    }
    target = value.strText;
    return true;
  }

  bool Number(const std::string& key, const CStoredValue& value, std::int64_t low, std::int64_t high,
              std::int32_t& target, const char* range = nullptr) {
    std::int64_t number = 0;
    if (value.eKind == CStoredValue::Kind::Number) {
      number = value.nNumber;
    } else if (m_stored.bLooseTypes && value.eKind == CStoredValue::Kind::Text && IsDecimal(value.strText)) {
      number = std::stoll(value.strText);
    } else if (value.eKind == CStoredValue::Kind::Text) {
      return Fail(key, ShownValue(value.strText) + " is not a whole number");
    } else {
      return WrongType(key, value, "a whole number");
    }
    if (number < low || number > high) {
      return Fail(key, "is " + std::to_string(number) + ", not " +
                           (range != nullptr ? std::string(range)
                                             : "a whole number from " + std::to_string(low) + " to " +
                                                   std::to_string(high)));
    }
    target = static_cast<std::int32_t>(number);
    return true;
  }

  bool Boolean(const std::string& key, const CStoredValue& value, bool& target) {
    if (value.eKind == CStoredValue::Kind::Boolean) {
      target = value.bValue;
      return true;
    }
    if (m_stored.bLooseTypes && value.eKind == CStoredValue::Kind::Number && (value.nNumber == 0 || value.nNumber == 1)) {
      target = value.nNumber == 1;
      return true;
    }
    return WrongType(key, value, "true or false");
  }

  bool Relays(const std::string& key, const CStoredValue& value) {
    std::vector<std::string> entries;
    if (value.eKind == CStoredValue::Kind::Text) {
      entries.push_back(value.strText);
    } else if (value.eKind == CStoredValue::Kind::List) {
      entries = value.arrItems;
      if (entries.empty()) return Fail(key, "lists no relay");
    } else {
      return WrongType(key, value, "a string or an array of strings");
    }
    for (const std::string& entry : entries) {
      CRelay relay;
      if (entry.size() > kTextLimit || HasControl(entry) || entry.find_first_of(" \t,;") != std::string::npos ||
          !ParseRelayEntry(entry, true, relay)) {
        return Fail(key, "entry " + ShownValue(entry) + " is not \"host\" or \"host:port\" (port 1 to 65535)");
      }
      m_profile.arrRelays.push_back(relay);
    }
    return true;
  }

  bool WrongType(const std::string& key, const CStoredValue& value, const char* wanted) {
    const char* kinds[] = {"a string", "a whole number", "a boolean", "a list", "a protected secret"};
    std::string what = value.eKind == CStoredValue::Kind::Text ? "is the string " + ShownValue(value.strText)
                                                                : std::string("is ") + kinds[static_cast<int>(value.eKind)];
    return Fail(key, what + ", not " + wanted);
  }

  bool Secret(const std::string& key, const CStoredValue& value, std::string& target, bool& stored) {
    if (value.eKind != CStoredValue::Kind::Secret) {
      return Fail(key, "is kept as plain text: a secret is never part of a profile's text; name a file (" + key +
                           "_file)" + (key == "password" ? std::string(" or a command (password_command)") : "") +
                           ", or on Windows store it protected with DPAPI (REG_BINARY)");
    }
    if (value.strText.empty()) return Fail(key, "holds an empty secret");
    target = value.strText;
    stored = true;
    return true;
  }

 private:
  const CStoredProfile& m_stored;
  CRelayProfile& m_profile;
  std::string& m_strError;
};

}  // namespace

std::string CRelayProfile::Describe() const { return "profile '" + strName + "' (" + strOrigin + ")"; }

std::string CRelayProfile::KeyOrigin(const char* key) const {
  return std::string("key ") + key + " of profile '" + strName + "' (" + strOrigin + ")";
}

bool ParseRelayEntry(const std::string& entry, bool strict, CRelay& relay) {
  relay = CRelay();
  std::string host = entry;
  std::size_t colon = entry.rfind(':');
  bool bracketed = !entry.empty() && entry.front() == '[';
  // A bare IPv6 address holds colons of its own: only a bracketed one can carry a port.
  bool hasPort = colon != std::string::npos &&
                 (bracketed ? colon > 0 && entry[colon - 1] == ']' : entry.find(':') == colon);
  if (hasPort) {
    std::string port = entry.substr(colon + 1);
    if (IsDecimal(port) && std::stoll(port) >= 1 && std::stoll(port) <= 65535) {
      host = entry.substr(0, colon);
      relay.nPort = static_cast<std::int32_t>(std::stoll(port));
    } else if (strict) {
      return false;
    }
  }
  if (host.empty() || (bracketed && host.back() != ']')) {
    if (strict) return false;
    host = entry;
    relay.nPort = 0;
  }
  relay.strHost = host;
  return true;
}

std::vector<CRelay> ParseRelayList(const std::string& address) {
  std::vector<CRelay> relays = SplitRelayList(address);
  for (CRelay& relay : relays) {
    CRelay parsed;
    if (ParseRelayEntry(relay.strHost, false, parsed)) relay = parsed;
  }
  return relays;
}

bool ParseRelayProfile(const CStoredProfile& stored, CRelayProfile& profile, std::string& error, bool* tlsFault) {
  profile = CRelayProfile();
  profile.strName = stored.strName;
  profile.strOrigin = stored.strOrigin;
  if (tlsFault != nullptr) *tlsFault = false;
  CProfileReader reader(stored, profile, error);
  std::set<std::string> seen;
  for (const auto& [key, value] : stored.arrValues) {
    if (!seen.insert(key).second) return reader.Fail(key, "is given twice");
    if (!value.strProblem.empty()) return reader.Fail(key, value.strProblem);
    bool ok = true;
    if (key == "address") {
      ok = reader.Relays(key, value);
    } else if (key == "port") {
      ok = reader.Number(key, value, 1, 65535, profile.nPort);
    } else if (key == "tls") {
      ok = reader.Number(key, value, 0, 3, profile.nTlsMode, "one of 0, 1, 2 or 3 (TLS modes)");
      if (!ok && tlsFault != nullptr) *tlsFault = true;
    } else if (key == "ca_file") {
      ok = reader.Text(key, value, profile.strCaFile);
      if (ok) {
        std::FILE* file = std::fopen(profile.strCaFile.c_str(), "rb");
        if (file == nullptr) {
          ok = reader.Fail(key, "names " + ShownValue(profile.strCaFile) + ", a file that cannot be read");
        } else {
          std::fclose(file);
        }
      }
      if (!ok && tlsFault != nullptr) *tlsFault = true;
    } else if (key == "helo_name") {
      ok = reader.Text(key, value, profile.strHeloName, true);
    } else if (key == "from") {
      ok = reader.Text(key, value, profile.strFrom);
    } else if (key == "username") {
      ok = reader.Text(key, value, profile.strUsername);
    } else if (key == "password_file") {
      ok = reader.Text(key, value, profile.strPasswordFile);
    } else if (key == "password_command") {
#ifdef _WIN32
      ok = reader.Fail(key, "is not available on Windows: store the password protected with DPAPI, or name a file "
                            "(password_file)");
#else
      ok = reader.Text(key, value, profile.strPasswordCommand);
#endif
    } else if (key == "password") {
      ok = reader.Secret(key, value, profile.strStoredPassword, profile.bPasswordStored);
    } else if (key == "oauth_token_url") {
      ok = reader.Text(key, value, profile.strOAuthTokenUrl, true);
    } else if (key == "oauth_client_id") {
      ok = reader.Text(key, value, profile.strOAuthClientId, true);
    } else if (key == "oauth_client_secret_file") {
      ok = reader.Text(key, value, profile.strOAuthClientSecretFile);
    } else if (key == "oauth_client_secret") {
      ok = reader.Secret(key, value, profile.strStoredOAuthClientSecret, profile.bOAuthClientSecretStored);
    } else if (key == "oauth_scope") {
      ok = reader.Text(key, value, profile.strOAuthScope);
    } else if (key == "timeout") {
      ok = reader.Number(key, value, 1, 86400, profile.nTimeout);
    } else if (key == "retries") {
      ok = reader.Number(key, value, 0, 100, profile.nRetries);
    } else if (key == "retry_delay") {
      ok = reader.Number(key, value, 0, 86400, profile.nRetryDelay);
    } else if (key == "max_seconds") {
      ok = reader.Number(key, value, 0, 86400, profile.nMaxSeconds);
    } else if (key == "partial_recipients") {
      bool partial = false;
      ok = reader.Boolean(key, value, partial);
      profile.nPartialRecipients = partial ? 1 : 0;
    } else if (key == "locked") {
      ok = reader.Boolean(key, value, profile.bLocked);
    } else {
      ok = reader.Fail(key, "is not a profile key (address, port, tls, ca_file, helo_name, from, username, "
                            "password_file, password_command, oauth_token_url, oauth_client_id, "
                            "oauth_client_secret_file, oauth_scope, timeout, retries, retry_delay, max_seconds, "
                            "partial_recipients, locked)");
    }
    if (!ok) return false;
  }
  int passwordSources = !profile.strPasswordFile.empty() + !profile.strPasswordCommand.empty() + profile.bPasswordStored;
  if (passwordSources > 1) {
    return reader.Fail("password_file", "comes with another password source: give one of password_file, "
                                        "password_command" + std::string(profile.bPasswordStored ? ", password" : ""));
  }
  if (!profile.strOAuthClientSecretFile.empty() && profile.bOAuthClientSecretStored) {
    return reader.Fail("oauth_client_secret_file", "comes with oauth_client_secret: give one of them");
  }
  if (passwordSources > 0 && profile.strUsername.empty()) {
    return reader.Fail(profile.strPasswordFile.empty() ? (profile.bPasswordStored ? "password" : "password_command")
                                                       : "password_file",
                       "gives a password, but the profile names no username");
  }
  if ((!profile.strOAuthClientId.empty() || profile.HasOAuthClientSecret() || !profile.strOAuthScope.empty()) &&
      profile.strOAuthTokenUrl.empty()) {
    return reader.Fail("oauth_token_url", "is missing: the profile's OAuth client needs its token endpoint");
  }
  if (!profile.strOAuthTokenUrl.empty() && profile.strUsername.empty()) {
    return reader.Fail("oauth_token_url", "is given, but the profile names no username to sign in as");
  }
  if (passwordSources > 0 && !profile.strOAuthTokenUrl.empty()) {
    return reader.Fail("oauth_token_url", "comes with a password: a profile signs in one way");
  }
  return true;
}

bool ReadProfilePassword(const CRelayProfile& profile, std::chrono::milliseconds limit, std::string& value,
                         std::string& error) {
  std::string why;
  if (profile.bPasswordStored) {
    value = profile.strStoredPassword;
    return true;
  }
  if (!profile.strPasswordFile.empty()) {
    if (ReadSecretFile(profile.strPasswordFile, value, why)) return true;
    error = "the " + profile.KeyOrigin("password_file") + " cannot be used: " + why;
    return false;
  }
  if (!profile.strPasswordCommand.empty()) {
    if (RunSecretCommand(profile.strPasswordCommand, limit, value, why)) return true;
    error = "the " + profile.KeyOrigin("password_command") + " failed: " + why;
    return false;
  }
  value.clear();
  return true;
}

bool ReadProfileOAuthClientSecret(const CRelayProfile& profile, std::string& value, std::string& error) {
  if (profile.bOAuthClientSecretStored) {
    value = profile.strStoredOAuthClientSecret;
    return true;
  }
  value.clear();
  if (profile.strOAuthClientSecretFile.empty()) return true;
  std::string why;
  if (ReadSecretFile(profile.strOAuthClientSecretFile, value, why)) return true;
  error = "the " + profile.KeyOrigin("oauth_client_secret_file") + " cannot be used: " + why;
  return false;
}

bool ProfileSecretFiles(IProfileStore& store, std::vector<std::pair<std::string, std::string>>& files,
                        std::string& error) {
  std::vector<std::string> names;
  switch (store.Names(names, error)) {
    case SettingState::Missing: return true;
    case SettingState::Error: return false;
    case SettingState::Found: break;
  }
  const std::pair<const char*, const char*> keys[] = {{"password_file", "the password file"},
                                                      {"oauth_client_secret_file", "the OAuth client secret file"}};
  for (const std::string& name : names) {
    CStoredProfile stored;
    if (store.Read(name, stored, error) == SettingState::Error) return false;
    for (const auto& [key, value] : stored.arrValues) {
      for (const auto& [secretKey, what] : keys) {
        if (key == secretKey && value.eKind == CStoredValue::Kind::Text && !value.strText.empty()) {
          files.emplace_back(value.strText, std::string(what) + " of profile '" + name + "'");
        }
      }
    }
  }
  return true;
}

}  // namespace varnel
