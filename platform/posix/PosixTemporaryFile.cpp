#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/TemporaryFile.h"

namespace varnel {
namespace {

std::string Reason(int number) { return std::strerror(number); }

// Pages of the file mapped for reading: the page cache's own pages, not a copy of them.
class CMappedView final : public IFileView {
 public:
  CMappedView(void* base, std::size_t length, const char* data) : m_pBase(base), m_nLength(length), m_pData(data) {}
  CMappedView(const CMappedView&) = delete;
  CMappedView& operator=(const CMappedView&) = delete;
  ~CMappedView() override { ::munmap(m_pBase, m_nLength); }
  const char* Data() const override { return m_pData; }

 private:
  void* m_pBase;
  std::size_t m_nLength;
  const char* m_pData;
};

class CPosixTemporaryFile final : public ITemporaryFile {
 public:
  explicit CPosixTemporaryFile(int fd) : m_nFd(fd) {}
  CPosixTemporaryFile(const CPosixTemporaryFile&) = delete;
  CPosixTemporaryFile& operator=(const CPosixTemporaryFile&) = delete;
  ~CPosixTemporaryFile() override { ::close(m_nFd); }

  bool Append(const char* data, std::size_t size, std::string& error) override {
    while (size > 0) {
      ssize_t written = ::pwrite(m_nFd, data, size, static_cast<off_t>(m_nSize));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        // A short write leaves a tail that nothing reads; the next append overwrites it.
        error = written < 0 ? Reason(errno) : "nothing written";
        return false;
      }
      data += written;
      size -= static_cast<std::size_t>(written);
      m_nSize += static_cast<std::uint64_t>(written);
    }
    return true;
  }

  std::unique_ptr<IFileView> View(std::uint64_t offset, std::size_t size, std::string& error) override {
    if (offset > m_nSize || size > m_nSize - offset) {
      error = "read beyond the end of the file";
      return nullptr;
    }
    if (size == 0) return ITemporaryFile::View(offset, size, error);
    static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    std::uint64_t start = offset - offset % page;
    std::size_t length = static_cast<std::size_t>(offset - start) + size;
    // Populated at once: one call maps every page instead of a fault for each.
    void* base = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, m_nFd, static_cast<off_t>(start));
    if (base == MAP_FAILED) return ITemporaryFile::View(offset, size, error);
    return std::make_unique<CMappedView>(base, length, static_cast<const char*>(base) + (offset - start));
  }

  bool ReadAt(std::uint64_t offset, char* data, std::size_t size, std::string& error) override {
    if (offset > m_nSize || size > m_nSize - offset) {
      error = "read beyond the end of the file";
      return false;
    }
    while (size > 0) {
      ssize_t count = ::pread(m_nFd, data, size, static_cast<off_t>(offset));
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) {
        error = count < 0 ? Reason(errno) : "the file ended early";
        return false;
      }
      data += count;
      size -= static_cast<std::size_t>(count);
      offset += static_cast<std::uint64_t>(count);
    }
    return true;
  }

 private:
  int m_nFd;
  std::uint64_t m_nSize = 0;
};

}  // namespace

std::string SystemTemporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder != nullptr && *folder != '\0' ? std::string(folder) : std::string("/tmp");
}

std::unique_ptr<ITemporaryFile> CreateTemporaryFile(const std::string& folder, std::string& error) {
  if (folder.empty()) {
    error = "no folder given";
    return nullptr;
  }
  int fd = -1;
#ifdef O_TMPFILE
  // A file without a name from its first moment; O_EXCL keeps it from ever being linked
  // into the folder.
  fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    error = Reason(errno);
    return nullptr;
  }
#endif
  if (fd < 0) {
    // File systems without unnamed files: a name of its own, 0600, removed at once.
    std::string path = folder;
    if (path.back() != '/') path += '/';
    path += "varnel-rows.XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
      error = Reason(errno);
      return nullptr;
    }
    if (::unlink(name.data()) != 0) {
      error = Reason(errno);
      ::close(fd);
      return nullptr;
    }
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = "not a regular file";
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<CPosixTemporaryFile>(fd);
}

}  // namespace varnel
