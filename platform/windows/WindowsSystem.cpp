// Clock, calendar, thread identity and environment on Windows.
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/System.h"
#include "platform/windows/WindowsHeaders.h"

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

bool AppendToFile(const std::string& path, const std::string& text, bool) {
  if (path.empty()) return false;
  // Opened without waiting: a named pipe or device that is busy is never waited for.
  HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool written = ::GetFileType(file) == FILE_TYPE_DISK;
  std::string lines;
  lines.reserve(text.size() + 16);
  for (char c : text) {
    if (c == '\n') lines += '\r';
    lines += c;
  }
  DWORD count = 0;
  if (written) written = ::WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &count, nullptr) != 0;
  ::CloseHandle(file);
  return written && count == lines.size();
}

std::FILE* OpenRegularFile(const std::string& path, std::uint64_t& size) {
  // Opened without waiting; only a file on disk is read (never a pipe, console or device).
  HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
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
