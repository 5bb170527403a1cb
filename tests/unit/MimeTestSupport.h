// Helpers shared by the attachment tests: a memory sink, decoders written independently
// of the encoders, and a scratch directory.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "mime/ByteSink.h"

namespace varnel::test {

class CMemorySink final : public IByteSink {
 public:
  void Write(const char* data, std::size_t size) override {
    m_strData.append(data, size);
    ++m_nWrites;
    if (size > m_nLargestWrite) m_nLargestWrite = size;
  }
  std::string m_strData;
  std::size_t m_nWrites = 0;
  std::size_t m_nLargestWrite = 0;
};

// RFC 2045 base64 body: the alphabet, "=" padding at the very end, CR LF line breaks.
// Anything else (a bare CR or LF, a stray character, padding in the middle) fails.
inline std::optional<std::string> DecodeBase64(const std::string& text) {
  std::string compact;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 >= text.size() || text[i + 1] != '\n') return std::nullopt;
      ++i;
      continue;
    }
    if (text[i] == '\n') return std::nullopt;
    compact += text[i];
  }
  if (compact.size() % 4 != 0) return std::nullopt;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string bytes;
  for (std::size_t i = 0; i < compact.size(); i += 4) {
    bool last = i + 4 == compact.size();
    int padding = (compact[i + 3] == '=') + (compact[i + 2] == '=');
    if (padding > 0 && !last) return std::nullopt;
    if (compact[i + 2] == '=' && compact[i + 3] != '=') return std::nullopt;
    unsigned bits = 0;
    for (int k = 0; k < 4; ++k) {
      int v = k >= 4 - padding ? 0 : value(compact[i + static_cast<std::size_t>(k)]);
      if (v < 0) return std::nullopt;
      bits = (bits << 6) | static_cast<unsigned>(v);
    }
    bytes += static_cast<char>((bits >> 16) & 0xFF);
    if (padding < 2) bytes += static_cast<char>((bits >> 8) & 0xFF);
    if (padding < 1) bytes += static_cast<char>(bits & 0xFF);
  }
  return bytes;
}

// RFC 2045 quoted-printable: "=XX" (uppercase hex), "=" CR LF as soft break, CR LF as a
// hard break decoded to "\n". Fails on a lone "=", lowercase or bad hex, a bare CR or LF,
// and on bytes that must not appear literally.
inline std::optional<std::string> DecodeQuotedPrintable(const std::string& text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '=') {
      if (text.compare(i + 1, 2, "\r\n") == 0) {
        i += 2;
        continue;
      }
      if (i + 2 >= text.size()) return std::nullopt;
      int high = hex(text[i + 1]);
      int low = hex(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      bytes += static_cast<char>(high * 16 + low);
      i += 2;
    } else if (c == '\r') {
      if (i + 1 >= text.size() || text[i + 1] != '\n') return std::nullopt;
      bytes += '\n';
      ++i;
    } else if (c == '\n' || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
      return std::nullopt;
    } else {
      bytes += c;
    }
  }
  return bytes;
}

// Lines of text split at CR LF; the part after the last CR LF is the last element.
inline std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

inline std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// A fresh directory under the system's temporary directory, removed with its content.
class CScratchDirectory {
 public:
  CScratchDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varnel-mime-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) m_strPath = pattern;
  }
  ~CScratchDirectory() {
    std::error_code ignored;
    if (!m_strPath.empty()) std::filesystem::remove_all(m_strPath, ignored);
  }
  CScratchDirectory(const CScratchDirectory&) = delete;
  CScratchDirectory& operator=(const CScratchDirectory&) = delete;

  const std::string& Path() const { return m_strPath; }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string path = m_strPath + "/" + name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file != nullptr) {
      std::fwrite(content.data(), 1, content.size(), file);
      std::fclose(file);
    }
    return path;
  }

 private:
  std::string m_strPath;
};

}  // namespace varnel::test
