// Private scratch files for data that must not be held in memory whole (captured rows).
// A file is readable and writable by its owner only, has no name that another process
// could open, and disappears when it is closed or the process ends, however it ends.
// Failures come back as false with the system's reason in text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace varnel {

class ITemporaryFile {
 public:
  virtual ~ITemporaryFile() = default;
  // Appends size bytes at the end of the file.
  virtual bool Append(const char* data, std::size_t size, std::string& error) = 0;
  // Reads exactly size bytes from offset, which must lie within what was appended.
  virtual bool ReadAt(std::uint64_t offset, char* data, std::size_t size, std::string& error) = 0;
};

// The system's folder for temporary files (TMPDIR or /tmp on POSIX, the account's
// temporary folder on Windows).
std::string SystemTemporaryFolder();
// Creates a new file in folder; nullptr with the reason in error.
std::unique_ptr<ITemporaryFile> CreateTemporaryFile(const std::string& folder, std::string& error);

}  // namespace varnel
