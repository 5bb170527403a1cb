// Clock, calendar, thread identity and environment on Windows.
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/System.h"
#include "platform/Unicode.h"
#include "platform/windows/WindowsHeaders.h"

#include <sddl.h>

namespace varnel {

std::int64_t CurrentTime() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool ToLocalTime(std::int64_t time, std::tm& result) {
  std::time_t value = static_cast<std::time_t>(time);
  return localtime_s(&result, &value) == 0;
}

bool ToUniversalTime(std::int64_t time, std::tm& result) {
  std::time_t value = static_cast<std::time_t>(time);
  return gmtime_s(&result, &value) == 0;
}

long CurrentThreadId() { return static_cast<long>(::GetCurrentThreadId()); }

std::string EnvironmentValue(const char* name) {
  // The value may grow between the two calls (another thread sets it): retry until the
  // buffer was large enough.
  std::vector<char> buffer(256);
  for (;;) {
    DWORD length = ::GetEnvironmentVariableA(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(length + 1);
  }
}

namespace {

std::string SystemErrorText(DWORD code) {
  char text[512] = {};
  DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, code, 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
  std::string result = "Windows error " + std::to_string(code);
  if (length > 0) result.append(": ").append(text, length);
  return result;
}

// Owns a security descriptor made by the SDDL conversion.
class CSecurityDescriptor {
 public:
  explicit CSecurityDescriptor(const char* sddl) {
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &m_pDescriptor, nullptr)) {
      m_pDescriptor = nullptr;
    }
  }
  ~CSecurityDescriptor() {
    if (m_pDescriptor != nullptr) ::LocalFree(m_pDescriptor);
  }
  CSecurityDescriptor(const CSecurityDescriptor&) = delete;
  CSecurityDescriptor& operator=(const CSecurityDescriptor&) = delete;
  PSECURITY_DESCRIPTOR Get() const { return m_pDescriptor; }

 private:
  PSECURITY_DESCRIPTOR m_pDescriptor = nullptr;
};

}  // namespace

bool AppendToFile(const std::string& path, const std::string& text, std::string* error) {
  auto fail = [error](std::string reason) {
    if (error != nullptr) *error = std::move(reason);
    return false;
  };
  if (path.empty()) return fail("no file name");
  // A new log is the equivalent of mode 0600: its owner, SYSTEM and the administrators
  // only, nothing inherited from a shared folder such as c:\temp.
  CSecurityDescriptor privateFile("D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)");
  if (privateFile.Get() == nullptr) return fail("no private security descriptor: " + SystemErrorText(::GetLastError()));
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = privateFile.Get();
  // Opened without waiting: a named pipe or device that is busy is never waited for. A
  // final reparse point (symbolic link, junction) is opened itself, never followed.
  HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &security, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail(SystemErrorText(::GetLastError()));
  std::string refusal;
  BY_HANDLE_FILE_INFORMATION information{};
  if (::GetFileType(file) != FILE_TYPE_DISK) {
    refusal = "it is not a regular file";
  } else if (!::GetFileInformationByHandle(file, &information)) {
    refusal = SystemErrorText(::GetLastError());
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    refusal = "it is a link (reparse point), which a log never follows";
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    refusal = "it is a folder";
  }
  std::string lines;
  lines.reserve(text.size() + 16);
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  DWORD count = 0;
  if (refusal.empty()) {
    if (!::WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &count, nullptr)) {
      refusal = SystemErrorText(::GetLastError());
    } else if (count != lines.size()) {
      refusal = "the file took only part of the line";
    }
  }
  ::CloseHandle(file);
  return refusal.empty() || fail(refusal);
}

std::FILE* OpenRegularFile(const std::string& path, std::uint64_t& size) {
  // Opened without waiting; only a file on disk is read (never a pipe, console or device).
  // The path is UTF-8, as file enumeration gives names.
  std::u16string units = Utf8ToUtf16(path);
  std::wstring wide(units.begin(), units.end());
  HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER length{};
  if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileSizeEx(handle, &length)) {
    ::CloseHandle(handle);
    return nullptr;
  }
  size = static_cast<std::uint64_t>(length.QuadPart);
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, "rb");
  if (file == nullptr) ::_close(fd);
  return file;
}

bool OpenFileSize(std::FILE* file, std::uint64_t& size) {
  if (file == nullptr) return false;
  HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file)));
  LARGE_INTEGER length{};
  if (handle == INVALID_HANDLE_VALUE || !::GetFileSizeEx(handle, &length)) return false;
  size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

// Rights on Windows are access lists; the host command that asks is POSIX only.
bool ReadableByOthers(const std::string&) { return false; }

// The DLL lives in the server's process, whose dumps are the server's to govern.
bool ProtectProcessSecrets() { return true; }

const char* DefaultLogFileName() { return "c:\\temp\\corvane.log"; }

void WriteSystemLog(const std::string& line, bool warning) {
  // Event 1 of source "Varnel": without a message file registered for the source, the
  // Event Viewer shows the line as the event's inserted text.
  HANDLE source = ::RegisterEventSourceA(nullptr, "Varnel");
  if (source == nullptr) return;
  const char* strings[] = {line.c_str()};
  ::ReportEventA(source, warning ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings,
                 nullptr);
  ::DeregisterEventSource(source);
}

// Large pages need a privilege the server's account rarely holds: normal pages here.
void* AllocateBulk(std::size_t size) { return std::malloc(size); }

void FreeBulk(void* block) { std::free(block); }

}  // namespace varnel
