// Private scratch files for data that must not be held in memory whole (captured rows).
// A file is readable and writable by its owner only, has no name that another process
// could open, and disappears when it is closed or the process ends, however it ends.
// Failures come back as false with the system's reason in text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace varnel {

// Bytes of a temporary file to read in place, valid while the view lives.
class IFileView {
 public:
  virtual ~IFileView() = default;
  virtual const char* Data() const = 0;
};

class ITemporaryFile {
 public:
  virtual ~ITemporaryFile() = default;
  // Appends size bytes at the end of the file.
  virtual bool Append(const char* data, std::size_t size, std::string& error) = 0;
  // Reads exactly size bytes from offset, which must lie within what was appended.
  virtual bool ReadAt(std::uint64_t offset, char* data, std::size_t size, std::string& error) = 0;
  // The size bytes from offset (within what was appended) to read in place: mapped where
  // the system can (no copy), else read into a buffer of the view's own.
  virtual std::unique_ptr<IFileView> View(std::uint64_t offset, std::size_t size, std::string& error);
};

// The system's folder for temporary files (TMPDIR or /tmp on POSIX, the account's
// temporary folder on Windows).
std::string SystemTemporaryFolder();
// Creates a new file in folder; nullptr with the reason in error.
std::unique_ptr<ITemporaryFile> CreateTemporaryFile(const std::string& folder, std::string& error);

}  // namespace varnel
