// Move-only owner of a regular file opened for binary reading (never a FIFO or device,
// never waited on while opening); closing cannot throw.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "platform/System.h"

namespace varnel {

class CInputFile {
 public:
  CInputFile() = default;
  explicit CInputFile(const std::string& path) {
    m_hFile = OpenRegularFile(path, m_nSize);
    m_nLimit = m_nSize;
  }
  ~CInputFile() { Close(); }
  CInputFile(CInputFile&& other) noexcept
      : m_hFile(std::exchange(other.m_hFile, nullptr)), m_nSize(other.m_nSize), m_nLimit(other.m_nLimit) {}
  CInputFile& operator=(CInputFile&& other) noexcept {
    if (this != &other) {
      Close();
      m_hFile = std::exchange(other.m_hFile, nullptr);
      m_nSize = other.m_nSize;
      m_nLimit = other.m_nLimit;
    }
    return *this;
  }
  CInputFile(const CInputFile&) = delete;
  CInputFile& operator=(const CInputFile&) = delete;

  bool IsOpen() const { return m_hFile != nullptr; }
  // The length when opened.
  std::uint64_t Size() const { return m_nSize; }
  // How many bytes are sent: the length when opened, so that a file that grows while it is
  // sent goes out as it was (and as the message was measured), never without end; less
  // when the message was measured with the file shorter.
  std::uint64_t Limit() const { return m_nLimit; }
  void LimitTo(std::uint64_t limit) {
    if (limit < m_nLimit) m_nLimit = limit;
  }
  std::FILE* Get() const { return m_hFile; }
  void Close() noexcept {
    if (m_hFile != nullptr) std::fclose(m_hFile);
    m_hFile = nullptr;
  }

 private:
  std::FILE* m_hFile = nullptr;
  std::uint64_t m_nSize = 0;
  std::uint64_t m_nLimit = 0;
};

// fread of at most `left` bytes more, counted down by what was read.
inline std::size_t ReadWithin(std::FILE* file, void* buffer, std::size_t size, std::uint64_t& left) {
  std::size_t wanted = size < left ? size : static_cast<std::size_t>(left);
  std::size_t count = wanted == 0 ? 0 : std::fread(buffer, 1, wanted, file);
  left -= count;
  return count;
}

}  // namespace varnel
