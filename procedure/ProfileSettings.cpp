#include "procedure/ProfileSettings.h"

namespace varnel {

const char* CProfileSettings::ProfileKey(const std::string& name) const {
  const CRelayProfile& p = m_profile;
  if (name == "HeloName" && !p.strHeloName.empty()) return "helo_name";
  if (name == "TlsCaFile" && !p.strCaFile.empty()) return "ca_file";
  if (name == "Retries" && p.nRetries >= 0) return "retries";
  if (name == "RetryDelay" && p.nRetryDelay >= 0) return "retry_delay";
  if (name == "MaxSeconds" && p.nMaxSeconds >= 0) return "max_seconds";
  // A profile with a token endpoint of its own gives the whole client: the installation's
  // client id, scope and secret never go to the profile's endpoint.
  if (!p.strOAuthTokenUrl.empty()) {
    if (name == "OAuthTokenUrl") return "oauth_token_url";
    if (name == "OAuthClientId") return "oauth_client_id";
    if (name == "OAuthScope") return "oauth_scope";
    if (name == "OAuthClientSecret") return p.bOAuthClientSecretStored ? "oauth_client_secret" : "oauth_client_secret_file";
  }
  return nullptr;
}

namespace {

bool IsOAuthSetting(const std::string& name) { return name.rfind("OAuth", 0) == 0; }

}  // namespace

SettingState CProfileSettings::Value(const char* name, const char* variable, std::string& value) {
  if (m_bOwnRelay && IsOAuthSetting(name)) return SettingState::Missing;
  const char* key = ProfileKey(name);
  if (key == nullptr) return m_pSettings->Value(name, variable, value);
  const CRelayProfile& p = m_profile;
  std::string which = key;
  if (which == "helo_name") value = p.strHeloName;
  if (which == "ca_file") value = p.strCaFile;
  if (which == "retries") value = std::to_string(p.nRetries);
  if (which == "retry_delay") value = std::to_string(p.nRetryDelay);
  if (which == "max_seconds") value = std::to_string(p.nMaxSeconds);
  if (which == "oauth_token_url") value = p.strOAuthTokenUrl;
  if (which == "oauth_client_id") value = p.strOAuthClientId;
  if (which == "oauth_scope") value = p.strOAuthScope;
  if (which == "oauth_client_secret" || which == "oauth_client_secret_file") {
    std::string reason;
    return SecretValue(name, variable, value, reason);
  }
  return value.empty() ? SettingState::Missing : SettingState::Found;
}

std::string CProfileSettings::Origin(const char* name, const char* variable) {
  const char* key = ProfileKey(name);
  return key == nullptr ? m_pSettings->Origin(name, variable) : m_profile.KeyOrigin(key);
}

SettingState CProfileSettings::SecretValue(const char* name, const char* variable, std::string& value,
                                           std::string& reason) {
  reason.clear();
  if (m_bOwnRelay && IsOAuthSetting(name)) return SettingState::Missing;
  if (ProfileKey(name) == nullptr) return m_pSettings->SecretValue(name, variable, value, reason);
  if (std::string(name) != "OAuthClientSecret") return Value(name, variable, value);
  if (!m_profile.HasOAuthClientSecret()) return SettingState::Missing;
  if (m_profile.bOAuthClientSecretStored) {
    value = m_profile.strStoredOAuthClientSecret;
    return SettingState::Found;
  }
  return ReadSecretFile(m_profile.strOAuthClientSecretFile, value, reason) ? SettingState::Found : SettingState::Error;
}

}  // namespace varnel
