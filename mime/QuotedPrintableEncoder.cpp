#include "mime/QuotedPrintableEncoder.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace varnel {
namespace {

// What one input byte becomes: nLength characters (0: dropped, 1: itself, 3: "=XX"),
// stored so that the escape loop copies four bytes and advances by nLength, no branch.
struct CByteCode {
  char arrText[4];
  std::uint8_t nLength;
};

struct CByteTable {
  std::array<CByteCode, 256> arrCodes{};
  constexpr CByteTable() {
    constexpr char kHex[] = "0123456789ABCDEF";
    for (int c = 0; c < 256; ++c) {
      CByteCode& code = arrCodes[static_cast<std::size_t>(c)];
      bool literal = (c >= 0x21 && c <= 0x7E) && c != '.' && c != '=';
      if (c == '\r' || c == '\n') {
        code = CByteCode{{0, 0, 0, 0}, 0};
      } else if (literal) {
        code = CByteCode{{static_cast<char>(c), 0, 0, 0}, 1};
      } else {
        code = CByteCode{{'=', kHex[c >> 4], kHex[c & 0x0F], 0}, 3};
      }
    }
  }
};
constexpr CByteTable kBytes;

// A soft break: "=" at the end of a line that continues (RFC 2045 section 6.7, rule 5).
constexpr char kSoftBreak[] = "=\r\n";

}  // namespace

CQuotedPrintableEncoder::CQuotedPrintableEncoder(IByteSink& sink)
    : m_pSink(&sink), m_pOutput(std::make_unique<char[]>(kBufferSize)) {}

void CQuotedPrintableEncoder::EncodeLine(std::string_view text) {
  // Four bytes are stored per input byte, so keep one spare beyond three per byte.
  std::size_t needed = text.size() * 3 + 4;
  if (m_arrEscaped.size() < needed) m_arrEscaped.resize(needed);
  char* escaped = m_arrEscaped.data();
  std::size_t length = 0;
  for (unsigned char c : text) {
    const CByteCode& code = kBytes.arrCodes[c];
    std::memcpy(escaped + length, code.arrText, 4);
    length += code.nLength;
  }

  // Cut into output lines of at most 76 characters. A line that would end inside an
  // escape triplet is cut before the triplet instead, so "=XX" is never split.
  std::size_t position = 0;
  while (length - position > kMaxLine) {
    std::size_t take = 75;
    if (escaped[position + 74] == '=') {
      take = 74;
    } else if (escaped[position + 73] == '=') {
      take = 73;
    }
    Append(escaped + position, take);
    Append(kSoftBreak, 3);
    position += take;
  }
  Append(escaped + position, length - position);
  Append("\r\n", 2);
}

void CQuotedPrintableEncoder::EncodeBytes(std::string_view bytes) {
  constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : bytes) {
    const CByteCode& code = kBytes.arrCodes[c];
    char escaped[3] = {'=', kHex[c >> 4], kHex[c & 0x0F]};
    const char* text = code.nLength == 1 ? code.arrText : escaped;
    std::size_t length = code.nLength == 1 ? 1 : 3;
    // 75 characters and the "=" of the soft break make the longest line, 76.
    if (m_nColumn + length > kMaxLine - 1) {
      Append(kSoftBreak, 3);
      m_nColumn = 0;
    }
    Append(text, length);
    m_nColumn += length;
  }
}

void CQuotedPrintableEncoder::FinishBytes() {
  if (m_nColumn > 0) Append(kSoftBreak, 3);
  m_nColumn = 0;
  Flush();
}

void CQuotedPrintableEncoder::Append(const char* data, std::size_t size) {
  // Pieces are at most one output line, far below the buffer size.
  if (m_nOutput + size > kBufferSize) Flush();
  std::memcpy(m_pOutput.get() + m_nOutput, data, size);
  m_nOutput += size;
}

void CQuotedPrintableEncoder::Flush() {
  if (m_nOutput == 0) return;
  m_pSink->Write(m_pOutput.get(), m_nOutput);
  m_nOutput = 0;
}

}  // namespace varnel
