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
  explicit CInputFile(const std::string& path) { m_hFile = OpenRegularFile(path, m_nSize); }
  ~CInputFile() { Close(); }
  CInputFile(CInputFile&& other) noexcept
      : m_hFile(std::exchange(other.m_hFile, nullptr)), m_nSize(other.m_nSize) {}
  CInputFile& operator=(CInputFile&& other) noexcept {
    if (this != &other) {
      Close();
      m_hFile = std::exchange(other.m_hFile, nullptr);
      m_nSize = other.m_nSize;
    }
    return *this;
  }
  CInputFile(const CInputFile&) = delete;
  CInputFile& operator=(const CInputFile&) = delete;

  bool IsOpen() const { return m_hFile != nullptr; }
  // The length when opened.
  std::uint64_t Size() const { return m_nSize; }
  std::FILE* Get() const { return m_hFile; }
  void Close() noexcept {
    if (m_hFile != nullptr) std::fclose(m_hFile);
    m_hFile = nullptr;
  }

 private:
  std::FILE* m_hFile = nullptr;
  std::uint64_t m_nSize = 0;
};

}  // namespace varnel
