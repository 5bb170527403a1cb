// Installation settings on POSIX, where there is no registry: the environment first,
// then one small file per value under /etc/varnel. Nothing is ever created.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Platform.h"
#include "platform/Settings.h"
#include "platform/System.h"
#include "platform/posix/PosixPrivateFile.h"

namespace varnel {
namespace {

std::string SettingPath(const char* file) {
  std::string path = SettingsDirectory();
  path += '/';
  path += file;
  return path;
}

}  // namespace

// A secret's file must be this process's own and closed to group and others: checked on
// the file as opened, so a link or a swap between check and read changes nothing.
bool IsPrivateFile(std::FILE* stream, std::string& reason) {
  struct stat status;
  if (::fstat(::fileno(stream), &status) != 0) {
    reason = std::string("cannot be examined: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = "is not a regular file";
    return false;
  }
  if (status.st_uid != ::geteuid()) {
    reason = "belongs to user " + std::to_string(status.st_uid) + ", not to this process's user " +
             std::to_string(::geteuid());
    return false;
  }
  if ((status.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    reason = std::string("can be read or written by others (mode ") + mode + "; chmod 600 it)";
    return false;
  }
  return true;
}

namespace {

SettingState ReadSetting(const char* variable, const char* file, std::string& value,
                         std::string* secretReason = nullptr) {
  if (const char* text = std::getenv(variable); text != nullptr) {
    value = text;
    return SettingState::Found;
  }
  std::string path = SettingPath(file);
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  if (stream == nullptr) return errno == ENOENT || errno == ENOTDIR ? SettingState::Missing : SettingState::Error;
  if (secretReason != nullptr && !IsPrivateFile(stream, *secretReason)) {
    std::fclose(stream);
    return SettingState::Error;
  }
  char buffer[1000];
  std::size_t length = std::fread(buffer, 1, sizeof buffer, stream);
  bool failed = std::ferror(stream) != 0;
  std::fclose(stream);
  if (failed) return SettingState::Error;
  value.assign(buffer, length);
  // A file written by an editor ends with a line break; the value does not.
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == '\0')) value.pop_back();
  return SettingState::Found;
}

class CPosixSettings final : public ISettings {
 public:
  SettingState BindIP(std::string& value) override { return ReadSetting("VARNEL_BINDIP", "BindIP", value); }
  std::string OdbcDriver() override {
    std::string value;
    if (ReadSetting("VARNEL_ODBC_DRIVER", "OdbcDriver", value) == SettingState::Found && !value.empty()) return value;
    return "SQLite3";
  }
  int AnsiCodePage() override {
    std::string value = EnvironmentValue("VARNEL_CODEPAGE");
    int number = value.empty() ? 0 : std::atoi(value.c_str());
    return number > 0 ? number : 1252;
  }
  SettingState Value(const char* name, const char* variable, std::string& value) override {
    return ReadSetting(variable, name, value);
  }
  SettingState SecretValue(const char* name, const char* variable, std::string& value, std::string& reason) override {
    reason.clear();
    return ReadSetting(variable, name, value, &reason);
  }
  std::string Origin(const char* name, const char* variable) override {
    if (std::getenv(variable) != nullptr) return std::string("environment variable ") + variable;
    return "file " + SettingPath(name);
  }
  std::string OdbcAttributes() override {
    std::string value;
    if (ReadSetting("VARNEL_ODBC_ATTRIBUTES", "OdbcAttributes", value) == SettingState::Found) return value;
    return {};
  }
};

}  // namespace

std::string SettingsDirectory() {
  std::string path = EnvironmentValue("VARNEL_CONFIG_DIR");
  return path.empty() ? std::string("/etc/varnel") : path;
}

ISettings& DefaultSettings() {
  static CPosixSettings settings;
  return settings;
}

}  // namespace varnel
