#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/System.h"

namespace varnel {

std::int64_t CurrentTime() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool ToLocalTime(std::int64_t time, std::tm& result) {
  std::time_t value = static_cast<std::time_t>(time);
  return localtime_r(&value, &result) != nullptr;
}

bool ToUniversalTime(std::int64_t time, std::tm& result) {
  std::time_t value = static_cast<std::time_t>(time);
  return gmtime_r(&value, &result) != nullptr;
}

long CurrentThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

bool AppendToFile(const std::string& path, const std::string& text, bool privateFile) {
  if (path.empty()) return false;
  int flags = O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | (privateFile ? O_NOFOLLOW : 0);
  int fd = ::open(path.c_str(), flags, privateFile ? 0600 : 0666);
  if (fd < 0) return false;
  struct stat status {};
  bool written = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  std::size_t done = 0;
  while (written && done < text.size()) {
    ssize_t count = ::write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) written = false;
    else done += static_cast<std::size_t>(count);
  }
  ::close(fd);
  return written;
}

std::FILE* OpenRegularFile(const std::string& path, std::uint64_t& size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  size = static_cast<std::uint64_t>(status.st_size);
  // Regular files never block; the flag only mattered while opening.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) ::close(fd);
  return file;
}

bool OpenFileSize(std::FILE* file, std::uint64_t& size) {
  struct stat status {};
  if (file == nullptr || ::fstat(::fileno(file), &status) != 0) return false;
  size = static_cast<std::uint64_t>(status.st_size);
  return true;
}

const char* DefaultLogFileName() { return "/tmp/corvane.log"; }

void WriteSystemLog(const std::string& line, bool warning) {
  // The connection to the log is made on the first line, not here.
  static std::once_flag opened;
  std::call_once(opened, [] { ::openlog("varnel", LOG_PID, LOG_MAIL); });
  ::syslog(LOG_MAIL | (warning ? LOG_WARNING : LOG_INFO), "%s", line.c_str());
}

void* AllocateBulk(std::size_t size) {
  void* block = nullptr;
  // Aligned to the large page size, so that whole blocks can be backed by large pages.
  if (posix_memalign(&block, kBulkBlockSize, size) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  // Only advice: where large pages are off or short, the block keeps normal pages.
  madvise(block, size, MADV_HUGEPAGE);
#endif
  return block;
}

void FreeBulk(void* block) { std::free(block); }

}  // namespace varnel
