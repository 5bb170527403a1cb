// Temporary files on Windows: created with a random name in the folder, shared with
// nobody, deleted by the system when the handle closes (also when the process dies), and
// with a protected access list that grants the file's owner alone.
#include <cstring>

#include "platform/Random.h"
#include "platform/TemporaryFile.h"
#include "platform/windows/WindowsHeaders.h"
// After windows.h.
#include <sddl.h>

namespace varnel {
namespace {

std::string Reason(DWORD code) {
  char text[512] = {};
  DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                  sizeof text - 1, nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
  if (length == 0) return "system error " + std::to_string(code);
  return std::string(text, length);
}

class CWindowsTemporaryFile final : public ITemporaryFile {
 public:
  explicit CWindowsTemporaryFile(HANDLE handle) : m_hFile(handle) {}
  CWindowsTemporaryFile(const CWindowsTemporaryFile&) = delete;
  CWindowsTemporaryFile& operator=(const CWindowsTemporaryFile&) = delete;
  ~CWindowsTemporaryFile() override { ::CloseHandle(m_hFile); }

  bool Append(const char* data, std::size_t size, std::string& error) override {
    while (size > 0) {
      DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      OVERLAPPED place{};
      place.Offset = static_cast<DWORD>(m_nSize & 0xFFFFFFFFu);
      place.OffsetHigh = static_cast<DWORD>(m_nSize >> 32);
      DWORD written = 0;
      if (!::WriteFile(m_hFile, data, piece, &written, &place) || written == 0) {
        error = Reason(::GetLastError());
        return false;
      }
      data += written;
      size -= written;
      m_nSize += written;
    }
    return true;
  }

  bool ReadAt(std::uint64_t offset, char* data, std::size_t size, std::string& error) override {
    if (offset > m_nSize || size > m_nSize - offset) {
      error = "read beyond the end of the file";
      return false;
    }
    while (size > 0) {
      DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      OVERLAPPED place{};
      place.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
      place.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD count = 0;
      if (!::ReadFile(m_hFile, data, piece, &count, &place)) {
        error = Reason(::GetLastError());
        return false;
      }
      if (count == 0) {
        error = "the file ended early";
        return false;
      }
      data += count;
      size -= count;
      offset += count;
    }
    return true;
  }

 private:
  HANDLE m_hFile;
  std::uint64_t m_nSize = 0;
};

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

}  // namespace

std::string SystemTemporaryFolder() {
  wchar_t path[MAX_PATH + 2] = {};
  DWORD length = ::GetTempPathW(MAX_PATH + 1, path);
  if (length == 0 || length > MAX_PATH + 1) return std::string();
  int bytes = ::WideCharToMultiByte(CP_ACP, 0, path, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string folder(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) ::WideCharToMultiByte(CP_ACP, 0, path, static_cast<int>(length), folder.data(), bytes, nullptr, nullptr);
  return folder;
}

std::unique_ptr<ITemporaryFile> CreateTemporaryFile(const std::string& folder, std::string& error) {
  if (folder.empty()) {
    error = "no folder given";
    return nullptr;
  }
  std::wstring path = Widen(folder);
  if (path.back() != L'\\' && path.back() != L'/') path += L'\\';
  // Full access for the file's owner (the account that creates it), nothing inherited.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
    error = Reason(::GetLastError());
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor;
  attributes.bInheritHandle = FALSE;
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD failure = ERROR_FILE_EXISTS;
  // A random name never collides in practice; CREATE_NEW refuses one that does.
  for (int attempt = 0; attempt < 4 && handle == INVALID_HANDLE_VALUE && failure == ERROR_FILE_EXISTS; ++attempt) {
    std::wstring name = path + Widen("varnel-rows-" + RandomHex(12) + ".tmp");
    handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) failure = ::GetLastError();
  }
  ::LocalFree(descriptor);
  if (handle == INVALID_HANDLE_VALUE) {
    error = Reason(failure);
    return nullptr;
  }
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    error = "not a file on disk";
    return nullptr;
  }
  return std::make_unique<CWindowsTemporaryFile>(handle);
}

}  // namespace varnel
