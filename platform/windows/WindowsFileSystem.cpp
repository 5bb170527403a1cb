// File enumeration with FindFirstFileW: "*" and "?" as the Windows file system matches
// them, without regard to case. Patterns and names are UTF-8 (the wide API's names, so
// that every name is reached whatever the system's ANSI code page). A pattern that
// matches nothing yields no file.
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Platform.h"
#include "platform/Unicode.h"
#include "platform/windows/WindowsHeaders.h"

namespace varnel {
namespace {

// Owns one open enumeration.
class CFindHandle {
 public:
  explicit CFindHandle(HANDLE handle) : m_hFind(handle) {}
  ~CFindHandle() {
    if (m_hFind != INVALID_HANDLE_VALUE) ::FindClose(m_hFind);
  }
  CFindHandle(CFindHandle&& other) noexcept : m_hFind(other.m_hFind) { other.m_hFind = INVALID_HANDLE_VALUE; }
  CFindHandle& operator=(CFindHandle&&) = delete;
  HANDLE Get() const { return m_hFind; }
  bool IsValid() const { return m_hFind != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_hFind;
};

// The directory part of a pattern, made absolute against the current directory, with a
// trailing separator; empty when it cannot be resolved.
std::wstring Wide(const std::string& utf8) {
  std::u16string units = Utf8ToUtf16(utf8);
  return std::wstring(units.begin(), units.end());
}

std::string Utf8(const wchar_t* wide) {
  std::u16string units;
  for (; *wide != L'\0'; ++wide) units += static_cast<char16_t>(*wide);
  return Utf16ToUtf8(units);
}

std::string AbsoluteDirectory(const std::string& pattern) {
  std::size_t cut = pattern.find_last_of("\\/:");
  std::wstring directory = Wide(cut == std::string::npos ? std::string(".") : pattern.substr(0, cut + 1));
  DWORD needed = ::GetFullPathNameW(directory.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::vector<wchar_t> buffer(needed + 1);
  DWORD length = ::GetFullPathNameW(directory.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (length == 0 || length >= buffer.size()) return {};
  std::string absolute = Utf8(buffer.data());
  if (absolute.back() != '\\' && absolute.back() != '/') absolute += '\\';
  return absolute;
}

bool IsDots(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

class CWindowsFileSystem final : public IFileSystem {
 public:
  std::vector<CFoundFile> FindFiles(const std::string& pattern) override {
    std::vector<CFoundFile> found;
    if (pattern.empty()) return found;
    // The device namespace (\\.\pipe\..., \\.\COM1) holds pipes and devices, never files
    // to attach: reading one could wait for ever.
    if (pattern.rfind("\\\\.\\", 0) == 0 || pattern.rfind("//./", 0) == 0) return found;
    WIN32_FIND_DATAW entry{};
    CFindHandle find(::FindFirstFileW(Wide(pattern).c_str(), &entry));
    if (!find.IsValid()) return found;
    std::string directory = AbsoluteDirectory(pattern);
    if (directory.empty()) return found;
    do {
      if (IsDots(entry.cFileName) || (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        continue;
      CFoundFile file;
      file.strName = Utf8(entry.cFileName);
      file.strFullPath = directory + file.strName;
      found.push_back(std::move(file));
    } while (::FindNextFileW(find.Get(), &entry));
    return found;
  }
};

}  // namespace

IFileSystem& DefaultFileSystem() {
  static CWindowsFileSystem files;
  return files;
}

}  // namespace varnel
