// Installation settings from the registry: values under HKEY_LOCAL_MACHINE\Software\Corvane.
// The key is opened for reading only and never created; a missing key or value is no
// error, one that exists but cannot be read is.
#include <cstring>
#include <string>

#include "platform/CodePage.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "platform/windows/WindowsHeaders.h"

namespace varnel {
namespace {

constexpr const char* kSettingsKey = "Software\\Corvane";
// The longest value taken; a bind address or driver name is far shorter.
constexpr DWORD kValueLimit = 1000;

// Owns one open registry key.
class CRegistryKey {
 public:
  explicit CRegistryKey(HKEY key) : m_hKey(key) {}
  ~CRegistryKey() {
    if (m_hKey != nullptr) ::RegCloseKey(m_hKey);
  }
  CRegistryKey(CRegistryKey&& other) noexcept : m_hKey(other.m_hKey) { other.m_hKey = nullptr; }
  CRegistryKey& operator=(CRegistryKey&&) = delete;
  HKEY Get() const { return m_hKey; }

 private:
  HKEY m_hKey;
};

bool IsMissing(LONG rc) { return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND; }

// Reads one value as text, whatever its registry type: the bytes up to the first NUL.
SettingState ReadValue(const char* name, std::string& value) {
  HKEY opened = nullptr;
  LONG rc = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &opened);
  if (IsMissing(rc)) return SettingState::Missing;
  if (rc != ERROR_SUCCESS) return SettingState::Error;
  CRegistryKey key(opened);

  char buffer[kValueLimit] = {};
  DWORD size = kValueLimit;
  DWORD type = 0;
  rc = ::RegQueryValueExA(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  if (IsMissing(rc)) return SettingState::Missing;
  // ERROR_MORE_DATA included: a value longer than any sensible setting is refused whole
  // rather than cut to an address or name that nobody wrote.
  if (rc != ERROR_SUCCESS) return SettingState::Error;
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    // A number (TlsMode, say) entered as a DWORD reads as its decimal text.
    DWORD number = 0;
    std::memcpy(&number, buffer, sizeof number);
    value = std::to_string(number);
    return SettingState::Found;
  }
  std::size_t length = size <= kValueLimit ? size : kValueLimit;
  if (type == REG_MULTI_SZ) {
    // A list (AttachmentFolders, say) entered one item per line reads as items joined by ";".
    value.clear();
    for (std::size_t at = 0; at < length && buffer[at] != '\0';) {
      std::size_t end = at;
      while (end < length && buffer[end] != '\0') ++end;
      if (!value.empty()) value += ';';
      value.append(buffer + at, end - at);
      at = end + 1;
    }
    return SettingState::Found;
  }
  value.assign(buffer, length);
  CutAtFirstNul(value);
  return SettingState::Found;
}

class CWindowsSettings final : public ISettings {
 public:
  SettingState BindIP(std::string& value) override { return ReadValue("BindIP", value); }

  SettingState Value(const char* name, const char*, std::string& value) override { return ReadValue(name, value); }

  std::string Origin(const char* name, const char*) override {
    return std::string("registry value HKLM\\") + kSettingsKey + "\\" + name;
  }

  std::string OdbcDriver() override {
    std::string value;
    if (ReadValue("OdbcDriver", value) == SettingState::Found && !value.empty()) return value;
    // The driver that every Windows installation carries.
    return "SQL Server";
  }

  std::string OdbcAttributes() override {
    std::string value;
    if (ReadValue("OdbcAttributes", value) == SettingState::Found) return value;
    return {};
  }

  // The server's strings are in the system's ANSI code page, as its ODBC calls are.
  int AnsiCodePage() override { return SystemCodePage::AnsiCodePage(); }
};

}  // namespace

std::string SettingsDirectory() { return {}; }

ISettings& DefaultSettings() {
  static CWindowsSettings settings;
  return settings;
}

}  // namespace varnel
