// Settings of the installation that do not come with the call: the local bind address
// and the database client's driver. Only read, never created.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace varnel {

enum class SettingState { Found, Missing, Error };

// A setting's text ends at its first NUL, as a registry string does: what follows is no
// part of what anyone wrote.
inline void CutAtFirstNul(std::string& value) {
  std::size_t nul = value.find('\0');
  if (nul != std::string::npos) value.resize(nul);
}

class ISettings {
 public:
  virtual ~ISettings() = default;
  // The BindIP value; Missing when the key or the value does not exist, Error when the
  // store exists but cannot be read.
  virtual SettingState BindIP(std::string& value) = 0;
  // ODBC driver name and extra connection attributes for the query runner.
  virtual std::string OdbcDriver() = 0;
  virtual std::string OdbcAttributes() = 0;
  // The 8-bit code page of the procedure's strings (the server's ANSI code page); the
  // database client converts between it and what its driver speaks.
  virtual int AnsiCodePage() { return 1252; }
  // Any other setting, read as BindIP is: the registry value `name` on Windows; on POSIX
  // the environment variable `variable`, else the file `name` in the settings directory.
  // Every wrapper must forward it: a setting lost on the way is a silent misconfiguration.
  virtual SettingState Value(const char* name, const char* variable, std::string& value) = 0;
  // Where Value(name, variable) looks, for messages that must say which setting is at
  // fault and where it came from ("environment variable VARNEL_TLS_MODE", "file
  // /etc/varnel/TlsMode", a registry value). Wrappers forward it as they forward Value.
  virtual std::string Origin(const char* /*name*/, const char* /*variable*/) { return "the installation's settings"; }
  // A setting that holds a secret, read as Value is; where the store is a file, it must be
  // the process's own and readable by no one else (as ssh treats keys), else Error with
  // `reason` saying why. Wrappers forward it as they forward Value.
  virtual SettingState SecretValue(const char* name, const char* variable, std::string& value, std::string& reason) {
    reason.clear();
    return Value(name, variable, value);
  }
};

// The folder of the settings files (POSIX: VARNEL_CONFIG_DIR, else /etc/varnel); empty
// where the settings live in the registry. Its files are never attached to a message.
std::string SettingsDirectory();

}  // namespace varnel
