#include "platform/SharedFile.h"

namespace varnel {

// The DLL lives in one process, the server's: its calls share tokens in memory, and no
// file is needed.
std::unique_ptr<ISharedFolder> OpenSharedFolder(const std::string& path, std::string& error) {
  error = "files shared between processes are not used on Windows (" + path + ")";
  return nullptr;
}

std::string DefaultSharedFolderPath() { return {}; }

}  // namespace varnel
