#include "mime/MessageCharset.h"

#include <optional>

#include "platform/CodePage.h"

namespace varnel {
namespace {

constexpr int kIsoCodePageBase = 28590;

bool IsIsoPart(std::int32_t charset) { return charset >= 1 && charset <= 16 && charset != 12; }

}  // namespace

bool IsMessageCharset(std::int32_t charset) { return charset == kUtf8Charset || IsIsoPart(charset); }

std::string CharsetName(std::int32_t charset) {
  // The names IANA registers; for the double-byte code pages the common name of the
  // standard each extends.
  switch (charset) {
    case kUtf8Charset: return "utf-8";
    case 874: return "windows-874";
    case 932: return "Shift_JIS";
    case 936: return "GBK";
    case 949: return "EUC-KR";
    case 950: return "Big5";
    case 437: return "IBM437";
    case 850: return "IBM850";
    default: break;
  }
  if (charset >= 1250 && charset <= 1258) return "windows-" + std::to_string(charset);
  if (!IsIsoPart(charset)) charset = 1;
  return "iso-8859-" + std::to_string(charset);
}

int CharsetCodePage(std::int32_t charset) { return IsIsoPart(charset) ? kIsoCodePageBase + charset : charset; }

std::int32_t OwnCharset(int codePage) {
  if (IsIsoPart(codePage - kIsoCodePageBase)) return codePage - kIsoCodePageBase;
  switch (codePage) {
    case kUtf8Charset:
    case 874:
    case 932:
    case 936:
    case 949:
    case 950:
    case 437:
    case 850:
      return codePage;
    default:
      return codePage >= 1250 && codePage <= 1258 ? codePage : 1;
  }
}

std::vector<std::int32_t> PairedIsoParts(int connectionCodePage) {
  switch (connectionCodePage) {
    case kUtf8Charset: return {};
    case 1250: return {2};
    case 1251: return {5};
    case 1253: return {7};
    case 1254: return {9};
    case 1255: return {8};
    case 1256: return {6};
    case 1257: return {13};
    case 874: return {1, 11};
    default: break;
  }
  if (IsIsoPart(connectionCodePage - kIsoCodePageBase)) return {connectionCodePage - kIsoCodePageBase};
  return {1};
}

void AddBytes(CByteSet& set, std::string_view text) {
  for (unsigned char c : text) set[c] = true;
}

std::int32_t ChooseCharset(int textCodePage, const std::vector<std::int32_t>& isoParts, const CByteSet& present) {
  std::optional<CCodePage> text = CCodePage::Find(textCodePage);
  for (std::int32_t part : isoParts) {
    std::optional<CCodePage> iso = CCodePage::Find(CharsetCodePage(part));
    if (!text || !iso) continue;
    bool same = true;
    for (int byte = 0x80; byte <= 0xFF && same; ++byte) {
      if (!present[static_cast<std::size_t>(byte)]) continue;
      std::string one(1, static_cast<char>(byte));
      std::u16string there = iso->ToUtf16(one);
      // A byte that is only part of a character in the code page, or none, is no match.
      same = text->CharacterLength(one + "x", 0) == 1 && there == text->ToUtf16(one) && there != u"\uFFFD";
    }
    if (same) return part;
  }
  return OwnCharset(textCodePage);
}

}  // namespace varnel
