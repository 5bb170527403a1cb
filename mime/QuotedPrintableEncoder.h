// Quoted-printable lines (RFC 2045 section 6.7) for text attachments and result sets.
// Stricter than the RFC's minimum: blank, tab and "." are escaped too, so no line ends in
// white space or begins with a period, and CR and LF are dropped so that line structure
// comes only from the encoder's own hard line ends. Any byte sequence encodes; no failure.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "mime/ByteSink.h"

namespace varnel {

class CQuotedPrintableEncoder {
 public:
  // Longest output line before its CR LF (RFC 2045 section 6.7, rule 5).
  static constexpr std::size_t kMaxLine = 76;
  static constexpr std::size_t kBufferSize = 64 * 1024;

  explicit CQuotedPrintableEncoder(IByteSink& sink);
  CQuotedPrintableEncoder(const CQuotedPrintableEncoder&) = delete;
  CQuotedPrintableEncoder& operator=(const CQuotedPrintableEncoder&) = delete;

  // Encodes every byte of text (a NUL byte too) as one logical line: one or more output
  // lines joined by soft breaks, the last one ended by CR LF. Output collects in a buffer
  // that goes to the sink when it fills up or on Flush.
  void EncodeLine(std::string_view text);
  // Encodes bytes exactly, line breaks included (CR as =0D, LF as =0A), continuing the
  // current output line across calls: for parts whose type is not text, whose decoded
  // bytes must equal the file's (RFC 2045 section 6.7, rule 4).
  void EncodeBytes(std::string_view bytes);
  // Ends what EncodeBytes wrote with a soft break, so that the CR LF that follows in the
  // message does not decode into the content; then flushes.
  void FinishBytes();
  // Hands the buffered output to the sink. Must be called before anything else is
  // written to the same sink.
  void Flush();

 private:
  void Append(const char* data, std::size_t size);

  IByteSink* m_pSink;
  std::vector<char> m_arrEscaped;  // escaped text of the current line
  std::unique_ptr<char[]> m_pOutput;
  std::size_t m_nOutput = 0;
  std::size_t m_nColumn = 0;  // characters on the current line of EncodeBytes output
};

}  // namespace varnel
