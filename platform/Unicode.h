// Conversions between UTF-8 and UTF-16 for the host command. Malformed input never fails:
// each byte or code unit that does not form a character becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace varnel {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes one character at text[offset] and advances offset (at least one byte).
char32_t DecodeUtf8(std::string_view text, std::size_t& offset);
void AppendUtf8(std::string& out, char32_t character);
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// UTF-16 code units as bytes, low byte first, the way the server stores nvarchar.
std::string Utf16ToBytes(std::u16string_view text);
std::u16string BytesToUtf16(std::string_view bytes);

}  // namespace varnel
