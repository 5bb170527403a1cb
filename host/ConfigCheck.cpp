#include "host/ConfigCheck.h"

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "platform/AttachmentPolicy.h"
#include "procedure/CallProfile.h"
#include "procedure/ProfileSettings.h"
#include "smtp/SMTPChannel.h"
#include "smtp/InstallationSettings.h"

namespace varnel::host {
namespace {

void PrintLine(std::ostream& output, ISettings& settings, const char* name, const char* variable,
               const std::string& value, const char* unset, bool secret = false) {
  std::string padded = name;
  padded.resize(19, ' ');
  output << padded;
  if (value.empty()) {
    output << "not set: " << unset << "\n";
    return;
  }
  output << (secret ? std::string("******** (set, not shown)") : value);
  // The ODBC values come with a built-in default or a command-line override: no one place.
  if (variable != nullptr) output << "  [" << settings.Origin(name, variable) << "]";
  output << "\n";
}

// The profile's relays contacted as a send contacts them, ending with QUIT before MAIL.
bool ProbeProfile(const CPlatform& base, ISettings& settings, const CRelayProfile& profile, std::ostream& output,
                  std::ostream& errors) {
  CCallProfile call;
  call.profile = profile;
  CXpParameters parameters;
  parameters.m_strProfile = profile.strName;
  CProfileSettings overlaid(settings, profile);
  CPlatform platform = base;
  platform.pSettings = &overlaid;
  CSMTPChannel channel(platform);
  channel.m_bProbe = true;
  // Needed to get past the checks before the dialogue; no recipient is ever named to the relay.
  channel.m_strRecipient = "postmaster@probe.invalid";
  if (!ApplyCallProfile(call, parameters, channel)) {
    errors << "varnel: probe of profile '" << profile.strName << "': " << channel.m_strErrorDetail << "\n";
    return false;
  }
  if (channel.m_arrRelays.empty()) {
    errors << "varnel: profile '" << profile.strName << "' names no relay to probe\n";
    return false;
  }
  channel.Initialise();
  std::string relay = channel.m_strRelayName + ":" + std::to_string(channel.m_nPort);
  if (channel.m_nStatus != Status::Success) {
    errors << "varnel: probe of profile '" << profile.strName << "' failed at " << relay << ": "
           << channel.GetErrorMessage();
    std::string reply = channel.GetSMTPErrorNumber() + " " + channel.GetSMTPErrorMessage();
    if (!channel.GetSMTPErrorNumber().empty()) errors << "; the relay said: " << reply.substr(0, reply.find_first_of("\r\n"));
    errors << "\n";
    return false;
  }
  output << "probe " << profile.strName << ": " << relay << " answered"
         << (channel.m_strTlsVersion.empty() ? std::string(", no TLS") : ", " + channel.m_strTlsVersion)
         << (channel.m_strSMTPUsername.empty() ? std::string(", no sign-in") : ", signed in as " + channel.m_strSMTPUsername)
         << ", QUIT before MAIL\n";
  return true;
}

// One profile, read and checked as a call would use it; its values printed, secrets masked.
bool CheckProfile(ISettings& settings, IProfileStore& store, const std::string& name, std::ostream& output,
                  std::ostream& errors, const CPlatform* probe) {
  CStoredProfile stored;
  std::string error;
  switch (store.Read(name, stored, error)) {
    case SettingState::Missing:
      errors << "varnel: no profile '" << name << "' in " << store.Origin() << "\n";
      return false;
    case SettingState::Error:
      errors << "varnel: " << error << "\n";
      return false;
    case SettingState::Found:
      break;
  }
  CRelayProfile profile;
  if (!ParseRelayProfile(stored, profile, error)) {
    errors << "varnel: " << error << "\n";
    return false;
  }
  std::string secret;
  auto limit = std::chrono::seconds(profile.nTimeout > 0 ? profile.nTimeout : 30);
  if (!ReadProfilePassword(profile, limit, secret, error)) {
    errors << "varnel: " << error << "\n";
    return false;
  }
  // The settings a call with this profile reads: the profile's CA file, greeting name,
  // OAuth client and limits checked by the settings' own rules.
  CProfileSettings overlaid(settings, profile);
  CInstallationSettings values;
  if (!ReadInstallationSettings(overlaid, values, error)) {
    errors << "varnel: " << error << "\n";
    return false;
  }
  std::string relays;
  for (const CRelay& relay : profile.arrRelays) {
    if (!relays.empty()) relays += ", ";
    relays += relay.strHost + (relay.nPort > 0 ? ":" + std::to_string(relay.nPort) : std::string());
  }
  auto line = [&output](const char* key, const std::string& value) {
    if (value.empty()) return;
    std::string padded = std::string("  ") + key;
    padded.resize(28, ' ');
    output << padded << value << "\n";
  };
  auto number = [](std::int32_t value) { return value < 0 ? std::string() : std::to_string(value); };
  output << "profile " << profile.strName << "  [" << profile.strOrigin << "]\n";
  line("address", relays);
  line("port", profile.nPort > 0 ? std::to_string(profile.nPort) : std::string());
  line("tls", number(profile.nTlsMode));
  line("ca_file", profile.strCaFile);
  line("helo_name", profile.strHeloName);
  line("from", profile.strFrom);
  line("username", profile.strUsername);
  const char* masked = "******** (set, not shown)";
  if (!profile.strPasswordFile.empty()) line("password_file", profile.strPasswordFile + "  password " + masked);
  if (!profile.strPasswordCommand.empty()) line("password_command", std::string("(not shown)  password ") + masked);
  if (profile.bPasswordStored) line("password", std::string(masked) + " (DPAPI)");
  line("oauth_token_url", profile.strOAuthTokenUrl);
  line("oauth_client_id", profile.strOAuthClientId);
  if (!profile.strOAuthClientSecretFile.empty()) {
    line("oauth_client_secret_file", profile.strOAuthClientSecretFile + "  secret " + masked);
  }
  if (profile.bOAuthClientSecretStored) line("oauth_client_secret", std::string(masked) + " (DPAPI)");
  line("oauth_scope", profile.strOAuthScope);
  line("timeout", profile.nTimeout > 0 ? std::to_string(profile.nTimeout) : std::string());
  line("retries", number(profile.nRetries));
  line("retry_delay", number(profile.nRetryDelay));
  line("max_seconds", number(profile.nMaxSeconds));
  line("partial_recipients", profile.nPartialRecipients < 0 ? std::string() : profile.nPartialRecipients ? "true" : "false");
  line("locked", profile.bLocked ? "true" : "false");
  std::fill(secret.begin(), secret.end(), '\0');
  return probe == nullptr || ProbeProfile(*probe, settings, profile, output, errors);
}

}  // namespace

int RunConfigCheck(ISettings& settings, IProfileStore* profiles, const std::optional<std::string>& profile,
                   std::ostream& output, std::ostream& errors, const CPlatform* probe) {
  if (profile && !IsProfileName(*profile)) {
    errors << "varnel: '" << *profile << "' is not a profile name (letters, digits, '-', '_', '.')\n";
    return kExitConfigFault;
  }
  if (int status = RunConfigCheck(settings, output, errors); status != 0) return status;
  std::vector<std::string> names;
  std::string error;
  SettingState state = profiles == nullptr ? SettingState::Missing : profiles->Names(names, error);
  if (state == SettingState::Error) {
    errors << "varnel: " << error << "\n";
    return kExitConfigFault;
  }
  if (profile) {
    names = {*profile};
  } else if (names.empty()) {
    if (probe != nullptr) {
      errors << "varnel: no profile to probe" << (profiles != nullptr ? " in " + profiles->Origin() : std::string()) << "\n";
      return kExitConfigFault;
    }
    // Without profiles the output stays as it always was.
    return 0;
  }
  if (profiles == nullptr) {
    errors << "varnel: no profile '" << *profile << "': this installation keeps no profiles\n";
    return kExitConfigFault;
  }
  for (const std::string& name : names) {
    if (!CheckProfile(settings, *profiles, name, output, errors, probe)) return kExitConfigFault;
  }
  output << "profiles: no fault found\n";
  return 0;
}

int RunConfigCheck(ISettings& settings, std::ostream& output, std::ostream& errors) {
  CInstallationSettings values;
  std::string error;
  if (!ReadInstallationSettings(settings, values, error)) {
    errors << "varnel: " << error << "\n";
    return kExitConfigFault;
  }
  CAttachmentPolicy attachments;
  if (!attachments.Load(settings, error)) {
    errors << "varnel: " << error << "\n";
    return kExitConfigFault;
  }
  PrintLine(output, settings, "BindIP", "VARNEL_BINDIP", values.strBindIP, "any local address");
  PrintLine(output, settings, "TlsMode", "VARNEL_TLS_MODE",
            values.nTlsMode < 0 ? std::string() : std::to_string(values.nTlsMode),
            "by port and credentials (465: implicit TLS; with credentials: STARTTLS when offered; else none)");
  PrintLine(output, settings, "TlsCaFile", "VARNEL_TLS_CA_FILE", values.strTlsCaFile, "the system's trust store");
  PrintLine(output, settings, "HeloName", "VARNEL_HELO_NAME", values.strHeloName,
            "the host's name, else its address");
  PrintLine(output, settings, "OAuthTokenUrl", "VARNEL_OAUTH_TOKEN_URL", values.strOAuthTokenUrl,
            "no token endpoint (calls name their own)");
  PrintLine(output, settings, "OAuthClientId", "VARNEL_OAUTH_CLIENT_ID", values.strOAuthClientId, "none");
  PrintLine(output, settings, "OAuthClientSecret", "VARNEL_OAUTH_CLIENT_SECRET", values.strOAuthClientSecret, "none",
            true);
  PrintLine(output, settings, "OAuthScope", "VARNEL_OAUTH_SCOPE", values.strOAuthScope, "none");
  PrintLine(output, settings, "OAuthRelays", "VARNEL_OAUTH_RELAYS", values.strOAuthRelays,
            "none: tokens of the OAuthClientSecret setting go to no relay");
  std::string folders;
  if (attachments.Limited()) settings.Value("AttachmentFolders", "VARNEL_ATTACHMENT_FOLDERS", folders);
  PrintLine(output, settings, "AttachmentFolders", "VARNEL_ATTACHMENT_FOLDERS", folders,
            "any file the account can read, but for the built-in refusals");
  auto number = [](int value) { return value < 0 ? std::string() : std::to_string(value); };
  PrintLine(output, settings, "Retries", "VARNEL_RETRIES", number(values.nRetries), "none (one try)");
  PrintLine(output, settings, "RetryDelay", "VARNEL_RETRY_DELAY", number(values.nRetryDelay), "5 seconds");
  PrintLine(output, settings, "MaxSeconds", "VARNEL_MAX_SECONDS", number(values.nMaxSeconds),
            "no bound but the per-reply time-out");
  // Read here as the command reads them; a value that cannot be read fails the check.
  struct {
    const char* pName;
    const char* pVariable;
    const char* pUnset;
  } const plain[] = {{"TempFolder", "VARNEL_TEMP_FOLDER", "the system's temporary folder"},
                     {"TokenCacheFolder", "VARNEL_TOKEN_CACHE_DIR", "$XDG_RUNTIME_DIR/varnel, else varnel-<uid> in the temporary folder"},
                     {"Syslog", "VARNEL_SYSLOG", "no syslog line"}};
  for (const auto& setting : plain) {
    std::string value;
    if (settings.Value(setting.pName, setting.pVariable, value) == SettingState::Error) {
      errors << "varnel: the " << setting.pName << " setting (" << settings.Origin(setting.pName, setting.pVariable)
             << ") cannot be read\n";
      return kExitConfigFault;
    }
    CutAtFirstNul(value);
    PrintLine(output, settings, setting.pName, setting.pVariable, value, setting.pUnset);
  }
  PrintLine(output, settings, "OdbcDriver", nullptr, settings.OdbcDriver(), "none");
  // Connection attributes can carry a database password: never printed.
  PrintLine(output, settings, "OdbcAttributes", nullptr, settings.OdbcAttributes(), "none", true);
  output << "settings: no fault found\n";
  return 0;
}

}  // namespace varnel::host
