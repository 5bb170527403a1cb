// Fuzz target: arbitrary caller text through every kind of header field. Whatever the
// value, a field is ASCII (text outside it only inside encoded words), its lines end in
// CR LF, no line exceeds 998 characters (in an address list: unless one word of it is
// longer than a line), and every continuation line starts with white space and holds
// more than white space, so no value can start a field of its own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mime/HeaderFieldWriter.h"

namespace {

// The longest run of bytes without a blank or line break: an address list has no fold
// point inside one, so only runs that fit a line can be held to 998 (the delivery refuses
// longer addresses before any header is written).
std::size_t LongestWord(std::string_view value) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (char c : value) {
    run = (c == ' ' || c == '\t' || c == '\r' || c == '\n') ? 0 : run + 1;
    if (run > longest) longest = run;
  }
  return longest;
}

void Check(const std::string& field, bool asciiOnly, bool limited = true) {
  if (field.size() < 2 || field.compare(field.size() - 2, 2, "\r\n") != 0) std::abort();
  std::size_t start = 0;
  bool first = true;
  while (start < field.size()) {
    std::size_t end = field.find("\r\n", start);
    if (end == std::string::npos) std::abort();
    std::string_view line(field.data() + start, end - start);
    if (limited && line.size() > varnel::CHeaderFieldWriter::kMaxLine) std::abort();
    for (char c : line) {
      unsigned char byte = static_cast<unsigned char>(c);
      if (c == '\r' || c == '\n' || c == '\0') std::abort();
      if (asciiOnly && byte >= 0x80) std::abort();
    }
    if (!first && (line.empty() || (line[0] != ' ' && line[0] != '\t') ||
                   line.find_first_not_of(" \t") == std::string_view::npos)) {
      std::abort();
    }
    first = false;
    start = end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the charset: UTF-8 or an ISO-8859 part.
  std::int32_t charset = data[0] % 2 == 0 ? 65001 : 1 + data[0] % 16;
  std::string value(reinterpret_cast<const char*>(data + 1), size - 1);
  varnel::CHeaderFieldWriter writer(charset, "\r\n");
  Check(writer.Unstructured("Subject", value), true);
  // Addresses are never changed, so their bytes may be 8-bit; the rest holds.
  Check(writer.AddressList("To", value), false, LongestWord(value) <= varnel::CHeaderFieldWriter::kMaxLine - 8);
  Check(writer.WithParameters("Content-Type", "text/plain", {{"charset", writer.Charset()}, {"name", value}}), true);
  return 0;
}
