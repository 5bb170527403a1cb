// What both platforms do with a secret file once it is open and found private: read at
// most kSecretLimit bytes and keep the first line. Also the limit and the first-line rule
// of a secret command's output.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace varnel {

inline constexpr std::size_t kSecretLimit = 64 * 1024;

// The first line of a secret: a line break and what follows are not part of it.
inline std::string SecretFirstLine(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

// Reads the secret from stream (the file at path, open and checked) and closes it; false
// with `error` naming the file when it cannot be read or its first line is empty.
inline bool ReadOpenSecretFile(std::FILE* stream, const std::string& path, std::string& value, std::string& error) {
  std::string text(kSecretLimit, '\0');
  std::size_t length = std::fread(text.data(), 1, text.size(), stream);
  bool failed = std::ferror(stream) != 0;
  std::fclose(stream);
  if (failed) {
    error = "the file " + path + " cannot be read";
    return false;
  }
  text.resize(length);
  value = SecretFirstLine(text);
  if (value.empty()) {
    error = "the file " + path + " holds no secret (its first line is empty)";
    return false;
  }
  return true;
}

}  // namespace varnel
