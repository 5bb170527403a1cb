#include "platform/CodePage.h"

#include <map>
#include <mutex>

#include "platform/Unicode.h"

namespace varnel {

std::optional<CCodePage> CCodePage::Find(int codePage) {
  // One description per code page for the life of the process: asking the system about
  // every byte once is cheap, but not for every value of a result set.
  static std::mutex mutex;
  static std::map<int, std::shared_ptr<const CData>> known;
  std::lock_guard<std::mutex> lock(mutex);
  if (auto found = known.find(codePage); found != known.end()) return CCodePage(found->second);

  auto data = std::make_shared<CData>();
  data->nCodePage = codePage;
  if (codePage != kUtf8CodePage) {
    std::u16string probe;
    if (codePage <= 0 || !SystemCodePage::Decode(codePage, "a", probe) || probe != u"a") return std::nullopt;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
      if (SystemCodePage::IsLeadByte(codePage, static_cast<unsigned char>(byte))) {
        data->arrLead[static_cast<std::size_t>(byte)] = true;
        data->bDoubleByte = true;
      }
    }
    if (!data->bDoubleByte) {
      for (int byte = 0x80; byte <= 0xFF; ++byte) {
        std::u16string unit;
        SystemCodePage::Decode(codePage, std::string(1, static_cast<char>(byte)), unit);
        data->arrHigh[static_cast<std::size_t>(byte - 0x80)] =
            unit.size() == 1 && unit[0] != kReplacementCharacter ? unit[0] : 0;
      }
    }
  }
  known.emplace(codePage, data);
  return CCodePage(std::move(data));
}

char CCodePage::Encode(char16_t unit) const {
  if (unit < 0x80) return static_cast<char>(unit);
  for (std::size_t i = 0; i < 128; ++i) {
    if (m_pData->arrHigh[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

std::string CCodePage::FromUtf16(std::u16string_view text) const {
  if (IsUtf8()) return Utf16ToUtf8(text);
  if (!m_pData->bDoubleByte) {
    // One byte per UTF-16 code unit: a character outside the BMP becomes "??", as the
    // server's own conversion of an nvarchar value gives.
    std::string out;
    out.reserve(text.size());
    for (char16_t unit : text) out += Encode(unit);
    return out;
  }
  std::string out;
  if (!SystemCodePage::Encode(m_pData->nCodePage, text, out)) out.assign(text.size(), '?');
  return out;
}

std::string CCodePage::FromUtf8(std::string_view text) const {
  if (IsUtf8()) return Utf16ToUtf8(Utf8ToUtf16(text));
  return FromUtf16(Utf8ToUtf16(text));
}

std::u16string CCodePage::ToUtf16(std::string_view bytes) const {
  if (IsUtf8()) return Utf8ToUtf16(bytes);
  std::u16string out;
  if (m_pData->bDoubleByte) {
    if (!SystemCodePage::Decode(m_pData->nCodePage, bytes, out)) out.assign(bytes.size(), kReplacementCharacter);
    return out;
  }
  out.reserve(bytes.size());
  for (char byte : bytes) {
    unsigned char value = static_cast<unsigned char>(byte);
    char16_t unit = value < 0x80 ? value : m_pData->arrHigh[value - 0x80];
    out += unit != 0 || value == 0 ? unit : static_cast<char16_t>(kReplacementCharacter);
  }
  return out;
}

std::string CCodePage::ToUtf8(std::string_view bytes) const {
  if (IsUtf8()) return Utf16ToUtf8(Utf8ToUtf16(bytes));
  return Utf16ToUtf8(ToUtf16(bytes));
}

std::string CCodePage::ConvertTo(const CCodePage& target, std::string_view bytes) const {
  if (target.Number() == Number() && !IsUtf8()) return std::string(bytes);
  return target.FromUtf16(ToUtf16(bytes));
}

std::size_t CCodePage::CharacterLength(std::string_view text, std::size_t offset) const {
  if (offset >= text.size()) return 0;
  if (IsUtf8()) {
    std::size_t next = offset;
    DecodeUtf8(text, next);
    return next - offset;
  }
  if (m_pData->bDoubleByte && m_pData->arrLead[static_cast<unsigned char>(text[offset])] && offset + 1 < text.size()) {
    return 2;
  }
  return 1;
}

}  // namespace varnel
