// Writes one message into the DATA stream: the header block (RFC 5322, MIME headers of
// RFC 2045/2046), the optional HTML wrapper, the body with any query results, and the
// attachment parts. Reports nothing; a failed send shows in the stream's result.
// A body with a line too long for SMTP (over 998 characters) goes out quoted-printable,
// so that relays take it and the recipient still reads exactly the text that was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace varnel {

class CSMTPChannel;
class IByteSink;

class CMessageComposer {
 public:
  CMessageComposer(CSMTPChannel& channel, IByteSink& sink);

  void Compose();
  // The header block for a message sent at sendTime (seconds since 1970, UTC).
  std::string FormatHeader(std::int64_t sendTime);
  bool IsMultipart() const;
  bool ResultsAsAttachments() const;
  // Whether the body (HTML wrapper, text and results in it) holds a line of over 998
  // characters once its line ends are CR LF. Only messages sent with CR LF line ends are
  // ever encoded; the others keep their chosen line ends untouched.
  bool BodyNeedsEncoding() const;

 private:
  // measuring: out only measures lines, and rows whose length is known to fit need not
  // be rendered for it.
  void SendBodyContent(IByteSink& out, bool measuring) const;
  void SendBody(IByteSink& out, bool measuring) const;
  void SendResultset(std::size_t index, IByteSink& out, bool measuring) const;
  void SendAttachmentParts();

  CSMTPChannel& m_channel;
  IByteSink& m_sink;
  bool m_bBodyQuotedPrintable = false;
};

// "%d %b %Y %H:%M:%S" in UTC; empty when the conversion fails.
std::string FormatMailDate(std::int64_t time);

// A header value whose line breaks are folded (each run of CR and LF becomes the
// terminator and a blank), so that no value can start a header line of its own, and
// whose lines are folded to at most 998 characters where a blank (or, in an address
// list, a comma) allows. prefixLength counts the header name before the value.
std::string FoldHeaderValue(const std::string& value, const std::string& terminator, std::size_t prefixLength,
                            bool addressList);

}  // namespace varnel
