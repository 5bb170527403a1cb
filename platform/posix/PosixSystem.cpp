#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/AttachmentPolicy.h"
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

bool AppendToFile(const std::string& path, const std::string& text, std::string* error) {
  auto fail = [error](std::string reason) {
    if (error != nullptr) *error = std::move(reason);
    return false;
  };
  if (path.empty()) return fail("no file name");
  if (path.find('\0') != std::string::npos) return fail("the name holds a NUL character");
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return fail("the name is not a file name");
  // The folder is opened first, so that the folder whose rights are checked is the one the
  // file was opened in.
#ifdef O_PATH
  int folderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  int folderFd = ::open(folder.c_str(), folderFlags);
  if (folderFd < 0) return fail("its folder cannot be opened (" + std::string(std::strerror(errno)) + ")");
  // Varnel's settings and the kernel's files are no place for a log: a line appended there
  // (or a file made there) would change how the installation or the system behaves.
  std::string protection;
  std::string realFolder;
  if (attachment_paths::IsKernelDescriptor(folderFd)) {
    protection = "it lies in a file system of the kernel, where a log is never written";
  } else if (!attachment_paths::RealPathOfOpenFolder(folderFd, folder, realFolder)) {
    protection = "the real path of its folder cannot be told";
  } else {
    for (const auto& [protectedFolder, what] : attachment_paths::ProtectedFolders()) {
      if (protection.empty() && attachment_paths::IsBelow(realFolder, protectedFolder)) {
        protection = "it lies in " + what + " " + protectedFolder + ", where a log is never written";
      }
    }
  }
  if (!protection.empty()) {
    ::close(folderFd);
    return fail(protection);
  }
  int fd = ::openat(folderFd, name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW,
                    0600);
  if (fd < 0) {
    int code = errno;
    ::close(folderFd);
    if (code == ELOOP) return fail("it is a symbolic link, which a log never follows");
    // A FIFO without a reader (or a device without its driver) does not open without waiting.
    if (code == ENXIO) return fail("it is not a regular file");
    return fail(std::strerror(code));
  }
  struct stat status {};
  struct stat folderStatus {};
  std::string refusal;
  if (::fstat(fd, &status) != 0 || ::fstat(folderFd, &folderStatus) != 0) {
    refusal = std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    refusal = "it is not a regular file";
  } else if ((folderStatus.st_mode & S_ISVTX) != 0 && (folderStatus.st_mode & (S_IWOTH | S_IWGRP)) != 0) {
    // A shared folder such as /tmp: a file there that neither this process's user nor the
    // folder's owner owns was planted by someone else, and one with further hard links may
    // be another file under a second name (protected_regular and protected_hardlinks).
    if (status.st_uid != ::geteuid() && status.st_uid != folderStatus.st_uid) {
      refusal = "it belongs to another user and lies in a shared folder";
    } else if (status.st_nlink > 1) {
      refusal = "it has further hard links and lies in a shared folder";
    }
  }
  ::close(folderFd);
  std::size_t done = 0;
  while (refusal.empty() && done < text.size()) {
    ssize_t count = ::write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      refusal = count < 0 ? std::strerror(errno) : "nothing was written";
    } else {
      done += static_cast<std::size_t>(count);
    }
  }
  ::close(fd);
  return refusal.empty() || fail(refusal);
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

bool ReadableByOthers(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

bool ProtectProcessSecrets() {
  bool done = true;
  rlimit none{0, 0};
  if (::setrlimit(RLIMIT_CORE, &none) != 0) done = false;
#ifdef __linux__
  // Not dumpable: no core dump, no ptrace and no /proc/PID/mem or environ for processes
  // of the same user.
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) done = false;
#endif
  return done;
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
