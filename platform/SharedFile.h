// Small files that the processes of one account share, kept in a folder only that account
// can enter, each held under an exclusive lock while a process reads or replaces it, so
// that processes starting at the same moment take turns. Failures come back as false or
// nullptr with the reason, naming the folder or file, in error.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace varnel {

class ILockedFile {
 public:
  virtual ~ILockedFile() = default;  // releases the lock
  // The whole content; empty when the file was just made.
  virtual bool Read(std::string& content, std::string& error) = 0;
  // Replaces the content as a whole: readers never see half of it.
  virtual bool Replace(const std::string& content, std::string& error) = 0;
};

class ISharedFolder {
 public:
  virtual ~ISharedFolder() = default;
  // The file name (letters, digits, '-' and '.') in the folder, made 0600 when missing,
  // locked by this process; waits for another holder until deadline.
  virtual std::unique_ptr<ILockedFile> Lock(const std::string& name, std::chrono::steady_clock::time_point deadline,
                                            std::string& error) = 0;
};

// The folder path, made 0700 when missing. It must be a folder (not a link), owned by
// this process's account, with no group or world permission bits; else nullptr and why.
std::unique_ptr<ISharedFolder> OpenSharedFolder(const std::string& path, std::string& error);

// The account's default folder for such files: $XDG_RUNTIME_DIR/varnel when that is set,
// else varnel-<uid> in the system's temporary folder.
std::string DefaultSharedFolderPath();

}  // namespace varnel
