// Which files a call may attach. A caller of the procedure is not trusted with the server's
// files: Varnel's own settings folder (it holds the OAuth client secret) and the kernel's
// /proc and /sys (the process's environment, memory maps, ...) are never attached, and the
// AttachmentFolders setting, when present, limits attachments to files below the folders
// it lists. Every check is made on the file as opened, by its real path as the system
// tells it for the open file, so neither a link nor ".." in a name leads out. A refusal
// comes with a reason naming the file.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace varnel {

class ISettings;

class CAttachmentPolicy {
 public:
  // The built-in refusals only: no AttachmentFolders limit.
  CAttachmentPolicy();

  // Adds the AttachmentFolders setting (the registry value on Windows; on POSIX
  // VARNEL_ATTACHMENT_FOLDERS, else the file AttachmentFolders in the settings folder):
  // absolute folders separated by ";" or line breaks. Present but empty, it allows no file
  // at all. False with a reason naming the setting when it cannot be read or names a
  // folder that is not absolute.
  bool Load(ISettings& settings, std::string& error);

  // Secrets that live outside the settings folder are never attached either: a profile's
  // password file, say (what names it in the reason), or a folder of them with all it holds
  // (the folder where OAuth tokens are shared). A link to them or a name with ".." is
  // refused as they are, since the check is made on the real path.
  void RefuseFile(const std::string& path, const std::string& what);
  void RefuseFolder(const std::string& path, const std::string& what);

  // Whether an open file may be attached. path is its name as found (for the reason).
  bool Allows(std::FILE* file, const std::string& path, std::string& reason) const;

  bool Limited() const { return m_bLimited; }

 private:
  struct CRefusedFolder {
    std::string strPath;  // real path
    std::string strWhat;  // for the reason
    bool bFile = false;   // a single file rather than a folder
  };
  std::vector<CRefusedFolder> m_arrRefusedFolders;
  bool m_bLimited = false;
  std::vector<std::string> m_arrAllowedFolders;  // real paths
};

// Implemented per operating system.
namespace attachment_paths {
// Varnel's settings folder and the kernel's folders, as real paths, with what they are.
std::vector<std::pair<std::string, std::string>> ProtectedFolders();
// A folder named in the setting: absolute on this system.
bool IsAbsoluteFolder(const std::string& folder);
// The folder's real path; the folder as written, made plain, when it does not exist.
std::string RealFolderPath(const std::string& folder);
// The real path of an open file; false with the reason when the system cannot tell it.
bool RealPathOfOpenFile(std::FILE* file, const std::string& path, std::string& real, std::string& reason);
// A file of a kernel file system (procfs, sysfs and their kind), wherever it is mounted.
bool IsKernelFile(std::FILE* file);
#ifndef _WIN32
// The same for an open descriptor (of a file or a folder).
bool IsKernelDescriptor(int descriptor);
// The real path of an open folder; false when the system cannot tell it.
bool RealPathOfOpenFolder(int descriptor, const std::string& folder, std::string& real);
#endif
// path is folder itself or lies below it (without regard to case on Windows).
bool IsBelow(const std::string& path, const std::string& folder);
}  // namespace attachment_paths

}  // namespace varnel
