// Letter case of ASCII text, independent of the process locale: parameter names, SQL
// keywords, driver names and protocol texts compare this way; other bytes are kept.
#pragma once

#include <string>
#include <string_view>

namespace varnel {

inline std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

inline std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace varnel
