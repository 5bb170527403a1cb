// Real paths of attachments on Windows: GetFinalPathNameByHandle on the open file, with
// links, junctions and short names resolved by the system; folders of the setting are
// resolved the same way. Paths are compared without regard to case, as NTFS names them.
// The settings live in the registry, so no folder is refused by itself here.
#include <io.h>

#include <vector>

#include "platform/AttachmentPolicy.h"
#include "platform/windows/WindowsHeaders.h"

namespace varnel::attachment_paths {
namespace {

std::wstring Widen(const std::string& text, UINT codePage) {
  if (text.empty()) return {};
  int length = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr, nullptr);
  }
  return narrow;
}

bool FinalPath(HANDLE handle, std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                               FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return false;
    if (length < buffer.size()) {
      path.assign(buffer.data(), length);
      return true;
    }
    buffer.resize(length + 1);
  }
  return false;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace

std::vector<std::pair<std::string, std::string>> ProtectedFolders() { return {}; }

bool IsAbsoluteFolder(const std::string& folder) {
  bool drive = folder.size() >= 3 && folder[1] == ':' && (folder[2] == '\\' || folder[2] == '/');
  bool unc = folder.size() >= 3 && (folder[0] == '\\' || folder[0] == '/') && (folder[1] == '\\' || folder[1] == '/');
  return drive || unc;
}

std::string RealFolderPath(const std::string& folder) {
  std::wstring wide = Widen(folder, CP_ACP);
  HANDLE handle = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    std::wstring path;
    bool resolved = FinalPath(handle, path);
    ::CloseHandle(handle);
    if (resolved) return Utf8(path);
  }
  // A folder that does not exist holds no file; its full name in the final paths' form.
  DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return Utf8(wide);
  std::vector<wchar_t> buffer(needed + 1);
  DWORD length = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  std::wstring full(buffer.data(), length < buffer.size() ? length : 0);
  if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1])) return Utf8(L"\\\\?\\UNC\\" + full.substr(2));
  return Utf8(L"\\\\?\\" + full);
}

bool RealPathOfOpenFile(std::FILE* file, const std::string& path, std::string& real, std::string& reason) {
  HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
  std::wstring wide;
  if (handle == INVALID_HANDLE_VALUE || !FinalPath(handle, wide)) {
    reason = "the real path of " + path + " cannot be told";
    return false;
  }
  real = Utf8(wide);
  return true;
}

bool IsKernelFile(std::FILE*) { return false; }

bool IsBelow(const std::string& path, const std::string& folder) {
  std::wstring file = Widen(path, CP_UTF8);
  std::wstring base = Widen(folder, CP_UTF8);
  while (!base.empty() && IsSeparator(base.back())) base.pop_back();
  if (base.empty() || file.size() < base.size()) return false;
  if (::CompareStringOrdinal(file.data(), static_cast<int>(base.size()), base.data(), static_cast<int>(base.size()),
                             TRUE) != CSTR_EQUAL) {
    return false;
  }
  return file.size() == base.size() || IsSeparator(file[base.size()]);
}

}  // namespace varnel::attachment_paths
