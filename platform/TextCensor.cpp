#include "platform/TextCensor.h"

#include "platform/Unicode.h"

namespace varnel {
namespace {

constexpr char kCensored = '?';

bool IsC0OrDel(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (std::size_t offset = 0; offset < text.size();) {
    std::size_t start = offset;
    // A malformed byte decodes to U+FFFD and advances by one; U+FFFD itself takes three.
    if (DecodeUtf8(text, offset) == kReplacementCharacter && offset - start == 1) return false;
  }
  return true;
}

std::string CensorLine(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  if (IsValidUtf8(line)) {
    for (std::size_t offset = 0; offset < line.size();) {
      std::size_t start = offset;
      char32_t character = DecodeUtf8(line, offset);
      if (character < 0x80 ? IsC0OrDel(static_cast<unsigned char>(character)) : character <= 0x9F) {
        out += kCensored;
      } else {
        out.append(line.substr(start, offset - start));
      }
    }
    return out;
  }
  for (char c : line) {
    unsigned char byte = static_cast<unsigned char>(c);
    out += IsC0OrDel(byte) || (byte >= 0x80 && byte <= 0x9F) ? kCensored : c;
  }
  return out;
}

std::vector<std::string> CensoredLines(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(CensorLine(text.substr(start)));
      return lines;
    }
    lines.push_back(CensorLine(text.substr(start, end - start)));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
}

std::string CensorText(std::string_view text, std::string_view separator) {
  std::vector<std::string> lines = CensoredLines(text);
  std::string out = lines.front();
  for (std::size_t i = 1; i < lines.size(); ++i) {
    out.append(separator);
    out += lines[i];
  }
  return out;
}

std::string CensorKeepingLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find_first_of("\r\n", start);
    out += CensorLine(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return out;
    out += text[end];
    start = end + 1;
  }
}

}  // namespace varnel
