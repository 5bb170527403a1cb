#include "platform/FileSystem.h"
#include "platform/Platform.h"

namespace varnel {
namespace {
class CPosixFileSystem final : public IFileSystem {
 public:
  std::vector<CFoundFile> FindFiles(const std::string&) override { return {}; }
};
}  // namespace

IFileSystem& DefaultFileSystem() {
  static CPosixFileSystem files;
  return files;
}

}  // namespace varnel
