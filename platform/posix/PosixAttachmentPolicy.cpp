// Real paths of attachments on POSIX: the open file's path as the kernel tells it through
// /proc/self/fd, else its name resolved by realpath and confirmed to be the same file.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/AttachmentPolicy.h"
#include "platform/Settings.h"

namespace varnel::attachment_paths {
namespace {

// realpath's result, or nothing.
bool ResolvePath(const std::string& path, std::string& real) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return false;
  real = resolved.get();
  return true;
}

// "." steps and repeated "/" removed; ".." kept (it is only resolved by the system).
std::string PlainPath(const std::string& path) {
  std::string result;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string step = path.substr(start, slash - start);
    if (!step.empty() && step != ".") result += "/" + step;
    start = slash + 1;
  }
  return result.empty() ? "/" : result;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ProtectedFolders() {
  std::vector<std::pair<std::string, std::string>> folders;
  folders.emplace_back(RealFolderPath(SettingsDirectory()), "Varnel's settings folder");
  folders.emplace_back(RealFolderPath("/proc"), "the kernel's folder");
  folders.emplace_back(RealFolderPath("/sys"), "the kernel's folder");
  return folders;
}

bool IsAbsoluteFolder(const std::string& folder) { return !folder.empty() && folder[0] == '/'; }

std::string RealFolderPath(const std::string& folder) {
  std::string real;
  if (ResolvePath(folder, real)) return real;
  if (!folder.empty() && folder[0] == '/') return PlainPath(folder);
  char current[4096];
  if (::getcwd(current, sizeof current) == nullptr) return PlainPath("/" + folder);
  return PlainPath(std::string(current) + "/" + folder);
}

namespace {

// The path the kernel gives for an open descriptor (/proc/self/fd), false without one.
bool DescriptorPath(int descriptor, std::string& real) {
  std::string link = "/proc/self/fd/" + std::to_string(descriptor);
  char buffer[4096];
  ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer || buffer[0] != '/') return false;
  real.assign(buffer, static_cast<std::size_t>(length));
  return true;
}

}  // namespace

bool RealPathOfOpenFile(std::FILE* file, const std::string& path, std::string& real, std::string& reason) {
  int fd = ::fileno(file);
  struct stat opened {};
  if (fd < 0 || ::fstat(fd, &opened) != 0) {
    reason = path + " cannot be examined";
    return false;
  }
  if (DescriptorPath(fd, real)) return true;
  // Without /proc: the name resolved, if it still leads to the very file that is open.
  struct stat named {};
  if (ResolvePath(path, real) && ::stat(real.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
      named.st_ino == opened.st_ino) {
    return true;
  }
  reason = "the real path of " + path + " cannot be told";
  return false;
}

bool IsKernelFile(std::FILE* file) { return IsKernelDescriptor(::fileno(file)); }

bool RealPathOfOpenFolder(int descriptor, const std::string& folder, std::string& real) {
  if (DescriptorPath(descriptor, real)) return true;
  // Without /proc: the name resolved, if it still leads to the very folder that is open.
  struct stat opened {};
  struct stat named {};
  return ::fstat(descriptor, &opened) == 0 && ResolvePath(folder, real) && ::stat(real.c_str(), &named) == 0 &&
         named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

bool IsKernelDescriptor(int descriptor) {
#ifdef __linux__
  struct statfs system {};
  if (::fstatfs(descriptor, &system) != 0) return true;
  switch (static_cast<unsigned long>(system.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case EFIVARFS_MAGIC:
      return true;
    default:
      return false;
  }
#else
  (void)descriptor;
  return false;
#endif
}

bool IsBelow(const std::string& path, const std::string& folder) {
  std::string base = folder;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base == "/") return !path.empty() && path[0] == '/';
  if (path.compare(0, base.size(), base) != 0) return false;
  return path.size() == base.size() || path[base.size()] == '/';
}

}  // namespace varnel::attachment_paths
