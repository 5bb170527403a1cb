// Code page conversions through iconv. Windows code pages go by the names glibc gives
// them; a descriptor is opened once per thread and code page and reset before each use.
#include <errno.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "platform/CodePage.h"

namespace varnel {
namespace {

std::string IconvName(int codePage) {
  if (codePage >= 1250 && codePage <= 1258) return "WINDOWS-" + std::to_string(codePage);
  // ISO-8859 parts as Windows numbers them (28591 is part 1), parts 10, 11, 14 and 16
  // included.
  if (codePage >= 28591 && codePage <= 28606 && codePage != 28602) {
    return "ISO-8859-" + std::to_string(codePage - 28590);
  }
  if (codePage == 20127) return "ASCII";
  // CP874, CP932 (Windows-31J), CP936, CP949 (UHC), CP950, CP437, CP850 and the rest.
  return "CP" + std::to_string(codePage);
}

// What iconv_open returns for a code page the system lacks.
const iconv_t kNone = (iconv_t)-1;  // NOLINT: iconv's own sentinel

// The thread's open descriptors; closed when the thread ends.
class CDescriptors {
 public:
  ~CDescriptors() {
    for (const CEntry& entry : m_arrEntries) {
      if (entry.hConverter != kNone) iconv_close(entry.hConverter);
    }
  }
  // toUnicode: from the code page to UTF-16LE; else the other way. (iconv_t)-1 when the
  // system lacks the code page.
  iconv_t Get(int codePage, bool toUnicode) {
    for (const CEntry& entry : m_arrEntries) {
      if (entry.nCodePage == codePage && entry.bToUnicode == toUnicode) return Reset(entry.hConverter);
    }
    std::string name = IconvName(codePage);
    iconv_t converter = toUnicode ? iconv_open("UTF-16LE", name.c_str()) : iconv_open(name.c_str(), "UTF-16LE");
    m_arrEntries.push_back({codePage, toUnicode, converter});
    return converter;
  }

 private:
  struct CEntry {
    int nCodePage;
    bool bToUnicode;
    iconv_t hConverter;
  };
  static iconv_t Reset(iconv_t converter) {
    if (converter != kNone) iconv(converter, nullptr, nullptr, nullptr, nullptr);
    return converter;
  }
  std::vector<CEntry> m_arrEntries;
};

thread_local CDescriptors tls_descriptors;

}  // namespace

namespace SystemCodePage {

bool Decode(int codePage, std::string_view bytes, std::u16string& out) {
  iconv_t converter = tls_descriptors.Get(codePage, true);
  if (converter == kNone) return false;
  out.clear();
  std::vector<char> buffer(bytes.size() * 4 + 16);
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  auto flush = [&](char* end) {
    for (const char* p = buffer.data(); p + 1 < end; p += 2) {
      out += static_cast<char16_t>(static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[1]) << 8);
    }
  };
  while (inLeft > 0) {
    char* output = buffer.data();
    std::size_t outLeft = buffer.size();
    std::size_t result = iconv(converter, &in, &inLeft, &output, &outLeft);
    int error = errno;
    flush(output);
    if (result != static_cast<std::size_t>(-1)) break;
    if (error == E2BIG) continue;
    // EILSEQ or EINVAL: a byte that starts no character, or a pair cut off at the end.
    // A letter held back comes out before it.
    output = buffer.data();
    outLeft = buffer.size();
    iconv(converter, nullptr, nullptr, &output, &outLeft);
    flush(output);
    out += static_cast<char16_t>(0xFFFD);
    ++in;
    --inLeft;
  }
  // Windows-1258 holds a base letter back until it knows whether a tone mark follows.
  char* output = buffer.data();
  std::size_t outLeft = buffer.size();
  iconv(converter, nullptr, nullptr, &output, &outLeft);
  flush(output);
  return true;
}

bool Encode(int codePage, std::u16string_view text, std::string& out) {
  iconv_t converter = tls_descriptors.Get(codePage, false);
  if (converter == kNone) return false;
  out.clear();
  std::string units;
  units.reserve(text.size() * 2);
  for (char16_t unit : text) {
    units += static_cast<char>(unit & 0xFF);
    units += static_cast<char>(unit >> 8);
  }
  std::vector<char> buffer(text.size() * 4 + 16);
  char* in = units.data();
  std::size_t inLeft = units.size();
  while (inLeft > 0) {
    char* output = buffer.data();
    std::size_t outLeft = buffer.size();
    std::size_t result = iconv(converter, &in, &inLeft, &output, &outLeft);
    int error = errno;
    out.append(buffer.data(), static_cast<std::size_t>(output - buffer.data()));
    if (result != static_cast<std::size_t>(-1)) break;
    if (error == E2BIG) continue;
    // A character the code page lacks (or half a surrogate pair): "?" for its code unit.
    out += '?';
    in += 2;
    inLeft = inLeft >= 2 ? inLeft - 2 : 0;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
  }
  // Shift sequences back to the initial state (none for the code pages used here).
  char* output = buffer.data();
  std::size_t outLeft = buffer.size();
  iconv(converter, nullptr, nullptr, &output, &outLeft);
  out.append(buffer.data(), static_cast<std::size_t>(output - buffer.data()));
  return true;
}

bool IsLeadByte(int codePage, unsigned char byte) {
  iconv_t converter = tls_descriptors.Get(codePage, true);
  if (converter == kNone) return false;
  char input = static_cast<char>(byte);
  char* in = &input;
  std::size_t inLeft = 1;
  char buffer[8];
  char* output = buffer;
  std::size_t outLeft = sizeof buffer;
  // A byte that needs a second one to make a character leaves iconv waiting for it.
  bool lead = iconv(converter, &in, &inLeft, &output, &outLeft) == static_cast<std::size_t>(-1) && errno == EINVAL;
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  return lead;
}

int AnsiCodePage() { return kUtf8CodePage; }

}  // namespace SystemCodePage
}  // namespace varnel
