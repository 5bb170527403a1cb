// File enumeration on POSIX: the directory part of a pattern is taken literally, the
// name part may hold "*" (any run of bytes) and "?" (any one byte), matched
// case-sensitively as the file system names files. Every other byte, "[" included, is
// literal. Failures (no directory, no rights) simply yield no files.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <memory>

#include "platform/FileSystem.h"
#include "platform/Platform.h"

namespace varnel {
namespace {

// Owns an open directory stream; closing cannot throw.
class CDirectory {
 public:
  explicit CDirectory(const std::string& path) : m_hDirectory(::opendir(path.c_str())) {}
  ~CDirectory() {
    if (m_hDirectory != nullptr) ::closedir(m_hDirectory);
  }
  CDirectory(const CDirectory&) = delete;
  CDirectory& operator=(const CDirectory&) = delete;
  DIR* Get() const { return m_hDirectory; }

 private:
  DIR* m_hDirectory;
};

// Wildcard match with backtracking to the last "*" only: linear in practice, never
// exponential.
bool MatchesName(const char* pattern, const char* name) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern != '\0' && (*pattern == '?' || *pattern == *name)) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

std::string CurrentDirectory() {
  std::string buffer(4096, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.c_str();
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

// The directory of a pattern made absolute, with "." steps and repeated "/" removed
// (".." is kept: through a symbolic link it does not simply go up one name). Ends with
// "/".
std::string AbsoluteDirectory(const std::string& directory) {
  std::string path = directory;
  if (path.empty() || path[0] != '/') path = CurrentDirectory() + "/" + path;
  std::string result = "/";
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string_view step(path.data() + start, slash - start);
    if (!step.empty() && step != ".") {
      result.append(step);
      result += '/';
    }
    start = slash + 1;
  }
  return result;
}

bool IsRegularFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

class CPosixFileSystem final : public IFileSystem {
 public:
  std::vector<CFoundFile> FindFiles(const std::string& pattern) override {
    std::vector<CFoundFile> found;
    std::size_t slash = pattern.rfind('/');
    std::string directory = slash == std::string::npos ? std::string() : pattern.substr(0, slash + 1);
    std::string namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (namePattern.empty() || namePattern.find('\0') != std::string::npos) return found;
    std::string absolute = AbsoluteDirectory(directory);

    if (namePattern.find_first_of("*?") == std::string::npos) {
      // A plain name matches at most itself; no need to read the directory (which may
      // also be searchable without being readable).
      std::string path = absolute + namePattern;
      if (namePattern != "." && namePattern != ".." && IsRegularFile(path)) found.push_back({namePattern, path});
      return found;
    }

    CDirectory stream(absolute);
    if (stream.Get() == nullptr) return found;
    while (dirent* entry = ::readdir(stream.Get())) {
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (!MatchesName(namePattern.c_str(), name)) continue;
      std::string path = absolute + name;
      // Only regular files: a directory is never attached, and a FIFO or device would
      // block or never end when read. Symbolic links count as what they point to.
      bool regular = entry->d_type == DT_REG || (entry->d_type != DT_DIR && IsRegularFile(path));
      if (regular) found.push_back({name, std::move(path)});
    }
    return found;
  }
};

}  // namespace

IFileSystem& DefaultFileSystem() {
  static CPosixFileSystem files;
  return files;
}

}  // namespace varnel
