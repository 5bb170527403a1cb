#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/SharedFile.h"
#include "platform/TemporaryFile.h"

namespace varnel {
namespace {

std::string Reason(int number) { return std::strerror(number); }

bool WriteAll(int fd, const std::string& content) {
  const char* data = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

class CPosixLockedFile final : public ILockedFile {
 public:
  CPosixLockedFile(int fd, std::string path) : m_nFd(fd), m_strPath(std::move(path)) {}
  CPosixLockedFile(const CPosixLockedFile&) = delete;
  CPosixLockedFile& operator=(const CPosixLockedFile&) = delete;
  ~CPosixLockedFile() override { ::close(m_nFd); }  // closing releases the lock

  bool Read(std::string& content, std::string& error) override {
    content.clear();
    char buffer[4096];
    off_t offset = 0;
    for (;;) {
      ssize_t count = ::pread(m_nFd, buffer, sizeof buffer, offset);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        error = "cannot read " + m_strPath + ": " + Reason(errno);
        return false;
      }
      if (count == 0) return true;
      if (content.size() + static_cast<std::size_t>(count) > kMaxContent) {
        error = m_strPath + " is larger than a token file can be";
        return false;
      }
      content.append(buffer, static_cast<std::size_t>(count));
      offset += count;
    }
  }

  // Written in place under the lock: every reader takes the same lock first.
  bool Replace(const std::string& content, std::string& error) override {
    if (::ftruncate(m_nFd, 0) != 0 || ::lseek(m_nFd, 0, SEEK_SET) != 0 || !WriteAll(m_nFd, content) ||
        ::fsync(m_nFd) != 0) {
      error = "cannot write " + m_strPath + ": " + Reason(errno);
      return false;
    }
    return true;
  }

 private:
  static constexpr std::size_t kMaxContent = 1 << 20;
  int m_nFd;
  std::string m_strPath;
};

class CPosixSharedFolder final : public ISharedFolder {
 public:
  CPosixSharedFolder(int fd, std::string path) : m_nFd(fd), m_strPath(std::move(path)) {}
  CPosixSharedFolder(const CPosixSharedFolder&) = delete;
  CPosixSharedFolder& operator=(const CPosixSharedFolder&) = delete;
  ~CPosixSharedFolder() override { ::close(m_nFd); }

  std::unique_ptr<ILockedFile> Lock(const std::string& name, std::chrono::steady_clock::time_point deadline,
                                    std::string& error) override {
    std::string path = m_strPath + "/" + name;
    if (name.empty() || name[0] == '.' || name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") !=
                                               std::string::npos) {
      error = "not a file name for " + m_strPath + ": " + name;
      return nullptr;
    }
    int fd = ::openat(m_nFd, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      error = "cannot open " + path + ": " + Reason(errno);
      return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        (info.st_mode & 077) != 0) {
      ::close(fd);
      error = path + " is not a private file of this account";
      return nullptr;
    }
    // Waits in short steps so that the deadline holds whoever keeps the lock.
    for (;;) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) {
        error = "cannot lock " + path + ": " + Reason(errno);
        ::close(fd);
        return nullptr;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        error = "timed out waiting for the lock on " + path;
        ::close(fd);
        return nullptr;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::make_unique<CPosixLockedFile>(fd, path);
  }

 private:
  int m_nFd;
  std::string m_strPath;
};

}  // namespace

std::unique_ptr<ISharedFolder> OpenSharedFolder(const std::string& path, std::string& error) {
  if (path.empty()) {
    error = "no folder named for shared files";
    return nullptr;
  }
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "cannot make the folder " + path + ": " + Reason(errno);
    return nullptr;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open the folder " + path + ": " + Reason(errno);
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) {
    ::close(fd);
    error = path + " is not a folder";
    return nullptr;
  }
  if (info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
    ::close(fd);
    error = "the folder " + path + " is open to other accounts (it must be owned by this account, mode 0700)";
    return nullptr;
  }
  return std::make_unique<CPosixSharedFolder>(fd, path);
}

std::string DefaultSharedFolderPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/varnel";
  std::string temporary = SystemTemporaryFolder();
  if (!temporary.empty() && temporary.back() == '/') temporary.pop_back();
  return temporary + "/varnel-" + std::to_string(::geteuid());
}

}  // namespace varnel
