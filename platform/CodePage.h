// The 8-bit code page of the caller's connection: literals typed on a UTF-8 command line
// become bytes of it, and bytes the procedure sends back become UTF-8 for the terminal.
// A character the code page cannot hold becomes "?", as the server converts; a byte the
// code page does not assign becomes U+FFFD.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace varnel {

struct CCodePageTable {
  int nCodePage;
  const char16_t* pHigh;  // bytes 0x80 to 0xFF; 0 where unassigned
};
extern const CCodePageTable kCodePageTables[];
extern const std::size_t kCodePageTableCount;

inline constexpr int kUtf8CodePage = 65001;

class CCodePage {
 public:
  // The code page with this number; none when this command does not know it.
  static std::optional<CCodePage> Find(int codePage);

  int Number() const { return m_nCodePage; }
  std::string FromUtf8(std::string_view text) const;
  std::string FromUtf16(std::u16string_view text) const;
  std::u16string ToUtf16(std::string_view bytes) const;
  std::string ToUtf8(std::string_view bytes) const;

 private:
  explicit CCodePage(int codePage, const char16_t* high) : m_nCodePage(codePage), m_pHigh(high) {}
  char Encode(char16_t unit) const;

  int m_nCodePage;
  const char16_t* m_pHigh;  // null for UTF-8
};

}  // namespace varnel
