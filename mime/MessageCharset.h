// The charset of a message: one place names it on the wire (RFC 2046 section 4.1.2
// charset parameter, RFC 2047 and RFC 2231 charset tags) and decides which name fits text
// in a code page, so that a message never declares a charset its bytes are not in.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// A charset number: an ISO-8859 part (1 to 16), or the number of a Windows code page
// whose own registered name the message carries (65001 UTF-8, 874, 932, 936, 949, 950,
// 1250 to 1258, 437, 850).
inline constexpr std::int32_t kUtf8Charset = 65001;

// True for the charsets @codepage takes: ISO-8859 parts 1 to 11 and 13 to 16, and UTF-8.
// Part 12 was never published.
bool IsMessageCharset(std::int32_t charset);
// "utf-8", "iso-8859-N", "windows-1252", "Shift_JIS", ...; an unknown number names
// ISO-8859-1, the default.
std::string CharsetName(std::int32_t charset);
// The code page that holds the charset's bytes: 28590 + N for ISO-8859 part N.
int CharsetCodePage(std::int32_t charset);
// The charset named after a code page itself ("windows-1250" for 1250, ISO-8859 part N for
// 28590 + N); ISO-8859-1 for a code page without a name here.
std::int32_t OwnCharset(int codePage);

// The ISO-8859 parts that text of a connection's code page may be labelled with while
// every byte of it means the same character there, first the one messages have always
// carried (1250 part 2, 1251 part 5, 1253 part 7, 1254 part 9, 1255 part 8, 1256 part 6,
// 1257 part 13, part 1 for the others), then a closer one (874: part 11). None for UTF-8.
std::vector<std::int32_t> PairedIsoParts(int connectionCodePage);

// Which of the 256 byte values occur in some text.
using CByteSet = std::array<bool, 256>;
void AddBytes(CByteSet& set, std::string_view text);

// The label for text whose bytes are in textCodePage and hold the bytes of present: the
// first of isoParts under which each of those bytes means the same character as in the
// code page, else the code page's own name. The code page must be known to the system.
std::int32_t ChooseCharset(int textCodePage, const std::vector<std::int32_t>& isoParts, const CByteSet& present);

}  // namespace varnel
