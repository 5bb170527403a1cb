// Move-only owner of a C stream opened for binary reading; closing cannot throw.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

namespace varnel {

class CInputFile {
 public:
  CInputFile() = default;
  explicit CInputFile(const std::string& path) : m_hFile(std::fopen(path.c_str(), "rb")) {}
  ~CInputFile() { Close(); }
  CInputFile(CInputFile&& other) noexcept : m_hFile(std::exchange(other.m_hFile, nullptr)) {}
  CInputFile& operator=(CInputFile&& other) noexcept {
    if (this != &other) {
      Close();
      m_hFile = std::exchange(other.m_hFile, nullptr);
    }
    return *this;
  }
  CInputFile(const CInputFile&) = delete;
  CInputFile& operator=(const CInputFile&) = delete;

  bool IsOpen() const { return m_hFile != nullptr; }
  std::FILE* Get() const { return m_hFile; }
  void Close() noexcept {
    if (m_hFile != nullptr) std::fclose(m_hFile);
    m_hFile = nullptr;
  }

 private:
  std::FILE* m_hFile = nullptr;
};

}  // namespace varnel
