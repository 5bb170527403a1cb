// File enumeration with the two wildcards "*" and "?". Matching follows the host's
// file system: case-sensitive on POSIX, case-insensitive on Windows. Patterns, names and
// paths are UTF-8 (on Windows the wide API's names; POSIX names are bytes, UTF-8 by
// convention).
#pragma once

#include <string>
#include <vector>

namespace varnel {

struct CFoundFile {
  std::string strName;      // file name without directory
  std::string strFullPath;  // directory made absolute, then the name
};

class IFileSystem {
 public:
  virtual ~IFileSystem() = default;
  // Regular files matching one pattern, in the order the file system returns them;
  // "." and "..", directories and unreadable directories yield nothing.
  virtual std::vector<CFoundFile> FindFiles(const std::string& pattern) = 0;
};

}  // namespace varnel
