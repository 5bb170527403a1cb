// A message body as quoted-printable text (RFC 2045 section 6.7), for bodies whose lines
// are too long for SMTP (RFC 5321 section 4.5.3.1.6: 998 characters before CR LF). It is
// a sink in front of another: what is written is the body as it would otherwise go out,
// and what comes out decodes to exactly that. CR LF, a bare CR and a bare LF are line
// ends (the DATA stream would make each a CR LF), written as CR LF; printable ASCII and
// inner blanks stay readable; "=", tabs and other control bytes, bytes 0x7F and up, and a
// blank before a line end are escaped; longer lines get soft breaks ("=" at 76 characters).
#pragma once

#include <cstddef>
#include <string>

#include "mime/ByteSink.h"

namespace varnel {

class CQuotedPrintableBodyStream final : public IByteSink {
 public:
  static constexpr std::size_t kMaxLine = 76;
  static constexpr std::size_t kBufferSize = 64 * 1024;

  explicit CQuotedPrintableBodyStream(IByteSink& sink);
  CQuotedPrintableBodyStream(const CQuotedPrintableBodyStream&) = delete;
  CQuotedPrintableBodyStream& operator=(const CQuotedPrintableBodyStream&) = delete;

  using IByteSink::Write;
  void Write(const char* data, std::size_t size) override;
  // Ends the body: a last line without a line end closes with a soft break, so that the
  // line end that follows in the message (before a boundary or the end of data) is not
  // part of the decoded text. Everything buffered goes to the sink.
  void Finish();
  bool Failed() const override { return m_sink.Failed(); }

 private:
  void Byte(unsigned char byte);
  void LineEnd();
  void Token(const char* text, std::size_t size);
  void Escaped(unsigned char byte);
  void Flush();

  IByteSink& m_sink;
  std::string m_strOutput;
  std::size_t m_nColumn = 0;     // characters on the current output line
  bool m_bPendingCR = false;     // a CR whose LF may follow
  int m_nPendingBlank = -1;      // a blank that may end its line
};

}  // namespace varnel
