// Relay profiles on Windows: one key per profile under HKLM\Software\Corvane\Profiles,
// its values named as the profile keys (REG_SZ, REG_DWORD, REG_MULTI_SZ for relay lists).
// A secret is a REG_BINARY value protected with DPAPI in machine scope, unprotected here;
// the keys are opened for reading only.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ProfileStore.h"
#include "platform/SecretFile.h"
#include "platform/windows/WindowsHeaders.h"

#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>

namespace varnel {
namespace {

constexpr const char* kProfilesKey = "Software\\Corvane\\Profiles";
constexpr DWORD kValueLimit = 16 * 1024;

bool IsMissing(LONG rc) { return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND; }

class CKey {
 public:
  CKey() = default;
  ~CKey() {
    if (m_hKey != nullptr) ::RegCloseKey(m_hKey);
  }
  CKey(const CKey&) = delete;
  CKey& operator=(const CKey&) = delete;
  LONG Open(const std::string& path) { return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &m_hKey); }
  HKEY Get() const { return m_hKey; }

 private:
  HKEY m_hKey = nullptr;
};

// A DPAPI blob as its secret text; false when it cannot be unprotected.
bool Unprotect(const std::vector<BYTE>& blob, std::string& secret, DWORD& code) {
  DATA_BLOB in{static_cast<DWORD>(blob.size()), const_cast<BYTE*>(blob.data())};
  DATA_BLOB out{0, nullptr};
  if (!::CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    code = ::GetLastError();
    return false;
  }
  secret.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
  ::SecureZeroMemory(out.pbData, out.cbData);
  ::LocalFree(out.pbData);
  // A secret stored with its terminating NUL or line break ends there.
  std::size_t end = secret.find_first_of(std::string("\r\n\0", 3));
  if (end != std::string::npos) secret.resize(end);
  return true;
}

CStoredValue ValueOf(DWORD type, const std::vector<BYTE>& data) {
  CStoredValue value;
  const char* text = reinterpret_cast<const char*>(data.data());
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::size_t length = data.size();
      const void* nul = std::memchr(text, '\0', length);
      if (nul != nullptr) length = static_cast<std::size_t>(static_cast<const char*>(nul) - text);
      value.strText.assign(text, length);
      break;
    }
    case REG_DWORD:
      if (data.size() == sizeof(DWORD)) {
        DWORD number = 0;
        std::memcpy(&number, data.data(), sizeof number);
        value.eKind = CStoredValue::Kind::Number;
        value.nNumber = number;
      } else {
        value.strProblem = "is a REG_DWORD of the wrong size";
      }
      break;
    case REG_MULTI_SZ:
      value.eKind = CStoredValue::Kind::List;
      for (std::size_t at = 0; at < data.size() && text[at] != '\0';) {
        std::size_t end = at;
        while (end < data.size() && text[end] != '\0') ++end;
        value.arrItems.emplace_back(text + at, end - at);
        at = end + 1;
      }
      break;
    case REG_BINARY: {
      value.eKind = CStoredValue::Kind::Secret;
      DWORD code = 0;
      if (!Unprotect(data, value.strText, code)) {
        value.strProblem = "cannot be unprotected with DPAPI (error " + std::to_string(code) +
                           "); store it protected in machine scope on this computer";
      }
      break;
    }
    default:
      value.strProblem = "has registry type " + std::to_string(type) + ", not REG_SZ, REG_DWORD, REG_MULTI_SZ or REG_BINARY";
      break;
  }
  return value;
}

class CWindowsProfileStore final : public IProfileStore {
 public:
  std::string Origin() override { return std::string("registry key HKLM\\") + kProfilesKey; }

  SettingState Read(const std::string& name, CStoredProfile& profile, std::string& error) override {
    std::string path = std::string(kProfilesKey) + "\\" + name;
    CKey key;
    LONG rc = key.Open(path);
    if (IsMissing(rc)) return SettingState::Missing;
    if (rc != ERROR_SUCCESS) {
      error = "the registry key HKLM\\" + path + " cannot be read (error " + std::to_string(rc) + ")";
      return SettingState::Error;
    }
    profile = CStoredProfile();
    profile.strName = name;
    profile.strOrigin = "registry key HKLM\\" + path;
    profile.bLooseTypes = true;
    for (DWORD index = 0;; ++index) {
      char valueName[256];
      DWORD nameLength = sizeof valueName;
      DWORD type = 0;
      std::vector<BYTE> data(kValueLimit);
      DWORD size = kValueLimit;
      rc = ::RegEnumValueA(key.Get(), index, valueName, &nameLength, nullptr, &type, data.data(), &size);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS) {
        error = profile.strOrigin + " cannot be read (error " + std::to_string(rc) +
                "; a value longer than 16 KiB is refused)";
        return SettingState::Error;
      }
      data.resize(size);
      // The key's default value holds nothing of the profile.
      if (nameLength == 0) continue;
      profile.arrValues.emplace_back(std::string(valueName, nameLength), ValueOf(type, data));
    }
    return SettingState::Found;
  }

  SettingState Names(std::vector<std::string>& names, std::string& error) override {
    names.clear();
    CKey key;
    LONG rc = key.Open(kProfilesKey);
    if (IsMissing(rc)) return SettingState::Missing;
    if (rc != ERROR_SUCCESS) {
      error = Origin() + " cannot be read (error " + std::to_string(rc) + ")";
      return SettingState::Error;
    }
    for (DWORD index = 0;; ++index) {
      char name[256];
      DWORD length = sizeof name;
      rc = ::RegEnumKeyExA(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc != ERROR_SUCCESS) {
        error = Origin() + " cannot be read (error " + std::to_string(rc) + ")";
        return SettingState::Error;
      }
      names.emplace_back(name, length);
    }
    return SettingState::Found;
  }
};

// A secret's file may be read by its own accounts only: a file without a DACL, or whose
// DACL lets a broad group read it (Everyone, Authenticated Users, Users, Guests,
// anonymous, interactive or network logons), is refused.
bool IsPrivateSecretFile(const std::string& path, std::string& reason) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD rc = ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                     nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) {
    reason = "its permissions cannot be read (error " + std::to_string(rc) + ")";
    return false;
  }
  bool open = dacl == nullptr;
  const char* broad[] = {"S-1-1-0", "S-1-5-11", "S-1-5-32-545", "S-1-5-32-546", "S-1-5-7", "S-1-5-4", "S-1-5-2"};
  for (DWORD index = 0; !open && index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!::GetAce(dacl, index, &entry)) continue;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    const ACCESS_ALLOWED_ACE* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) == 0) continue;
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    for (const char* text : broad) {
      PSID group = nullptr;
      if (!::ConvertStringSidToSidA(text, &group)) continue;
      if (::EqualSid(sid, group)) open = true;
      ::LocalFree(group);
    }
  }
  ::LocalFree(descriptor);
  if (open) reason = "can be read by users other than the service account (grant read to that account only)";
  return !open;
}

}  // namespace

IProfileStore& DefaultProfileStore() {
  static CWindowsProfileStore store;
  return store;
}

bool ReadSecretFile(const std::string& path, std::string& value, std::string& error) {
  value.clear();
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  if (stream == nullptr) {
    error = "the file " + path + " cannot be read";
    return false;
  }
  std::string reason;
  if (!IsPrivateSecretFile(path, reason)) {
    std::fclose(stream);
    error = "the file " + path + " is refused: it " + reason;
    return false;
  }
  return ReadOpenSecretFile(stream, path, value, error);
}

bool RunSecretCommand(const std::string&, std::chrono::milliseconds, std::string& value, std::string& error) {
  value.clear();
  error = "secret commands are not available on Windows";
  return false;
}

}  // namespace varnel
