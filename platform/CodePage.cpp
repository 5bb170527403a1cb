#include "platform/CodePage.h"

#include "platform/Unicode.h"

namespace varnel {

std::optional<CCodePage> CCodePage::Find(int codePage) {
  if (codePage == kUtf8CodePage) return CCodePage(codePage, nullptr);
  for (std::size_t i = 0; i < kCodePageTableCount; ++i) {
    if (kCodePageTables[i].nCodePage == codePage) return CCodePage(codePage, kCodePageTables[i].pHigh);
  }
  return std::nullopt;
}

char CCodePage::Encode(char16_t unit) const {
  if (unit < 0x80) return static_cast<char>(unit);
  for (int i = 0; i < 128; ++i) {
    if (m_pHigh[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

std::string CCodePage::FromUtf16(std::u16string_view text) const {
  if (m_pHigh == nullptr) return Utf16ToUtf8(text);
  // One byte per UTF-16 code unit: a character outside the BMP becomes "??", as the
  // server's own conversion of an nvarchar value gives.
  std::string out;
  out.reserve(text.size());
  for (char16_t unit : text) out += Encode(unit);
  return out;
}

std::string CCodePage::FromUtf8(std::string_view text) const {
  return FromUtf16(Utf8ToUtf16(text));
}

std::u16string CCodePage::ToUtf16(std::string_view bytes) const {
  if (m_pHigh == nullptr) return Utf8ToUtf16(bytes);
  std::u16string out;
  out.reserve(bytes.size());
  for (char byte : bytes) {
    unsigned char value = static_cast<unsigned char>(byte);
    char16_t unit = value < 0x80 ? value : m_pHigh[value - 0x80];
    out += unit != 0 ? unit : static_cast<char16_t>(kReplacementCharacter);
  }
  return out;
}

std::string CCodePage::ToUtf8(std::string_view bytes) const { return Utf16ToUtf8(ToUtf16(bytes)); }

}  // namespace varnel
