#include "mime/QuotedPrintableBodyStream.h"

namespace varnel {

namespace {
constexpr char kHex[] = "0123456789ABCDEF";
}

CQuotedPrintableBodyStream::CQuotedPrintableBodyStream(IByteSink& sink) : m_sink(sink) {
  m_strOutput.reserve(kBufferSize + 16);
}

void CQuotedPrintableBodyStream::Write(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    Byte(static_cast<unsigned char>(data[i]));
    if (m_strOutput.size() >= kBufferSize) Flush();
  }
}

void CQuotedPrintableBodyStream::Byte(unsigned char byte) {
  if (m_bPendingCR) {
    m_bPendingCR = false;
    LineEnd();
    if (byte == '\n') return;  // CR LF is one line end
  }
  if (byte == '\r') {
    m_bPendingCR = true;
    return;
  }
  if (byte == '\n') {
    LineEnd();
    return;
  }
  // A blank is written once it is known not to end its line.
  if (m_nPendingBlank >= 0) {
    char blank = static_cast<char>(m_nPendingBlank);
    m_nPendingBlank = -1;
    Token(&blank, 1);
  }
  if (byte == ' ') {
    m_nPendingBlank = byte;
  } else if (byte >= 0x21 && byte <= 0x7E && byte != '=') {
    char literal = static_cast<char>(byte);
    Token(&literal, 1);
  } else {
    Escaped(byte);
  }
}

void CQuotedPrintableBodyStream::LineEnd() {
  if (m_nPendingBlank >= 0) {
    Escaped(static_cast<unsigned char>(m_nPendingBlank));
    m_nPendingBlank = -1;
  }
  m_strOutput += "\r\n";
  m_nColumn = 0;
}

void CQuotedPrintableBodyStream::Escaped(unsigned char byte) {
  const char triplet[3] = {'=', kHex[byte >> 4], kHex[byte & 0x0F]};
  Token(triplet, 3);
}

void CQuotedPrintableBodyStream::Token(const char* text, std::size_t size) {
  // One column stays free for the "=" of a soft break.
  if (m_nColumn + size > kMaxLine - 1) {
    m_strOutput += "=\r\n";
    m_nColumn = 0;
  }
  m_strOutput.append(text, size);
  m_nColumn += size;
}

void CQuotedPrintableBodyStream::Finish() {
  if (m_bPendingCR) {
    m_bPendingCR = false;
    LineEnd();
  }
  if (m_nPendingBlank >= 0) {
    Escaped(static_cast<unsigned char>(m_nPendingBlank));
    m_nPendingBlank = -1;
  }
  if (m_nColumn > 0) {
    m_strOutput += "=\r\n";
    m_nColumn = 0;
  }
  Flush();
}

void CQuotedPrintableBodyStream::Flush() {
  if (m_strOutput.empty()) return;
  m_sink.Write(m_strOutput);
  m_strOutput.clear();
}

}  // namespace varnel
