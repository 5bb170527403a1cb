// The charset of a message: an ISO-8859 part number, or UTF-8. One place names it on the
// wire (RFC 2046 section 4.1.2 charset parameter, RFC 2047 and RFC 2231 charset tags).
#pragma once

#include <cstdint>
#include <string>

namespace varnel {

// The charset number that stands for UTF-8 (Windows code page 65001).
inline constexpr std::int32_t kUtf8Charset = 65001;

// True for the charsets a message can carry: ISO-8859 parts 1 to 11 and 13 to 16, and
// UTF-8. Part 12 was never published.
bool IsMessageCharset(std::int32_t charset);
// "utf-8" or "iso-8859-N"; an unknown number names ISO-8859-1, the default.
std::string CharsetName(std::int32_t charset);

}  // namespace varnel
