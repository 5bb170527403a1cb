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

  // What a composition decides before it writes anything: the body's transfer encoding,
  // the Message-ID and the send time. The message measured before MAIL and the one sent
  // after DATA share one plan, so the size announced is the size sent.
  struct CPlan {
    std::string strBodyEncoding;
    std::string strMessageId;
    std::int64_t nSendTime = 0;
  };
  CPlan Plan(std::int64_t sendTime);
  void Compose(const CPlan& plan);
  // With a plan made now.
  void Compose();
  // false: the attachment writers log nothing (a composition that only measures).
  void SetLogging(bool on) { m_bLogging = on; }
  // The header block for a message sent at sendTime (seconds since 1970, UTC).
  std::string FormatHeader(std::int64_t sendTime);
  bool IsMultipart() const;
  bool ResultsAsAttachments() const;
  // The body's Content-Transfer-Encoding: "quoted-printable" when the body (HTML wrapper,
  // text and results in it) holds a line of over 998 characters with CR LF line ends, a
  // NUL byte, or 8-bit bytes for a relay without 8BITMIME; "8bit" for 8-bit bytes to a
  // relay with it; empty for 7-bit text.
  std::string BodyTransferEncoding() const;
  bool BodyNeedsEncoding() const;
  // Why the message must not be ended: an attachment the policy refused as it was opened
  // for sending (its bytes were not sent); empty otherwise.
  const std::string& AttachmentRefusal() const { return m_strAttachmentRefusal; }
  // The Message-ID the header carries; made on first use.
  const std::string& MessageId() const { return m_strMessageId; }
  void SetMessageId(std::string id) { m_strMessageId = std::move(id); }
  // The refusal naming an address of From, To or Cc that no folding can keep within a
  // header line of 998 octets (a word with no fold point longer than a line), as the
  // header block would write them; empty when every line fits.
  static std::string OverlongAddress(CSMTPChannel& channel);

 private:
  // measuring: out only measures lines, and rows whose length is known to fit need not
  // be rendered for it.
  void SendBodyContent(IByteSink& out, bool measuring) const;
  void SendBody(IByteSink& out, bool measuring) const;
  void SendResultset(std::size_t index, IByteSink& out, bool measuring) const;
  void SendAttachmentParts();

  CSMTPChannel& m_channel;
  IByteSink& m_sink;
  std::string m_strBodyEncoding;
  std::string m_strMessageId;
  bool m_bLogging = true;
  std::string m_strAttachmentRefusal;
};

// RFC 5322 date-time in UTC ("Tue, 08 Dec 2026 02:33:13 +0000"); empty when the
// conversion fails.
std::string FormatMailDate(std::int64_t time);
// The right side of a Message-ID: the sender's address domain when it is one, else the
// name the relay was greeted with, else "localhost".
std::string MessageIdDomain(const std::string& address, const std::string& heloName);
// "<random.random@domain>" (RFC 5322 section 3.6.4), 128 random bits.
std::string NewMessageId(const std::string& domain);

}  // namespace varnel
