#include "host/ConfigCheck.h"

#include <ostream>
#include <string>

#include "platform/AttachmentPolicy.h"
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

}  // namespace

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
  std::string folders;
  if (attachments.Limited()) settings.Value("AttachmentFolders", "VARNEL_ATTACHMENT_FOLDERS", folders);
  PrintLine(output, settings, "AttachmentFolders", "VARNEL_ATTACHMENT_FOLDERS", folders,
            "any file the account can read, but for the built-in refusals");
  PrintLine(output, settings, "OdbcDriver", nullptr, settings.OdbcDriver(), "none");
  // Connection attributes can carry a database password: never printed.
  PrintLine(output, settings, "OdbcAttributes", nullptr, settings.OdbcAttributes(), "none", true);
  output << "settings: no fault found\n";
  return 0;
}

}  // namespace varnel::host
