// The 8-bit code pages of the caller's connection and of the message: literals typed on a
// UTF-8 command line become bytes of one, the procedure's text moves between them, and
// bytes sent back become UTF-8 for the terminal. The conversions are the operating
// system's (iconv on POSIX, the code page API on Windows); UTF-8 is converted here.
// A character a code page cannot hold becomes "?", as the server converts; a byte
// sequence that is no character of the code page becomes U+FFFD.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

inline constexpr int kUtf8CodePage = 65001;

class CCodePage {
 public:
  // The code page with this number; none when the system does not know it.
  static std::optional<CCodePage> Find(int codePage);

  int Number() const { return m_pData->nCodePage; }
  bool IsUtf8() const { return m_pData->nCodePage == kUtf8CodePage; }
  // Characters of one or two bytes (932, 936, 949, 950).
  bool IsDoubleByte() const { return m_pData->bDoubleByte; }

  std::string FromUtf8(std::string_view text) const;
  std::string FromUtf16(std::u16string_view text) const;
  std::u16string ToUtf16(std::string_view bytes) const;
  std::string ToUtf8(std::string_view bytes) const;
  // Bytes of this code page as bytes of another: what the other cannot hold becomes "?".
  std::string ConvertTo(const CCodePage& target, std::string_view bytes) const;
  // Bytes of the character that starts at text[offset]: 1 to 4 (never past the end).
  std::size_t CharacterLength(std::string_view text, std::size_t offset) const;

 private:
  struct CData {
    int nCodePage = 0;
    bool bDoubleByte = false;
    std::array<char16_t, 128> arrHigh{};  // single-byte pages: bytes 0x80 to 0xFF, 0 if unassigned
    std::array<bool, 256> arrLead{};      // double-byte pages: bytes that start a pair
  };
  explicit CCodePage(std::shared_ptr<const CData> data) : m_pData(std::move(data)) {}
  char Encode(char16_t unit) const;

  std::shared_ptr<const CData> m_pData;
};

// The conversions the operating system provides (platform/posix, platform/windows); the
// code page is never 65001. Each reports false when the system lacks the code page.
namespace SystemCodePage {
// Decodes bytes; each byte that starts no character becomes U+FFFD.
bool Decode(int codePage, std::string_view bytes, std::u16string& out);
// Encodes; each UTF-16 code unit of a character the code page lacks becomes "?".
bool Encode(int codePage, std::u16string_view text, std::string& out);
// Whether byte starts a character of two bytes.
bool IsLeadByte(int codePage, unsigned char byte);
// The code page of the system's 8-bit calls (the ODBC driver manager's ANSI functions):
// Windows' ANSI code page; UTF-8 on POSIX, where the drivers speak it. May be 65001.
int AnsiCodePage();
}  // namespace SystemCodePage

}  // namespace varnel
