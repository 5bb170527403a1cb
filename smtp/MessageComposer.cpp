#include "smtp/MessageComposer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "mime/ByteSink.h"
#include "mime/HeaderFieldWriter.h"
#include "mime/MimeSendFile.h"
#include "mime/QuotedPrintableBodyStream.h"
#include "platform/System.h"
#include "platform/Log.h"
#include "platform/Random.h"
#include "smtp/SMTPChannel.h"
#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"
#include "smtp/AddressList.h"

namespace varnel {

std::string FormatMailDate(std::int64_t time) {
  std::tm utc{};
  if (!ToUniversalTime(time, utc) || utc.tm_wday < 0 || utc.tm_wday > 6 || utc.tm_mon < 0 || utc.tm_mon > 11) {
    return {};
  }
  // RFC 5322 section 3.3, English names whatever the locale; the time is UTC, "+0000".
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[utc.tm_wday], utc.tm_mday,
                kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::string MessageIdDomain(const std::string& address, const std::string& heloName) {
  // RFC 5322 section 3.6.4: id-right is a dot-atom-text or a bracketed literal.
  auto usable = [](const std::string& domain) {
    if (domain.empty() || domain.size() > 255) return false;
    if (domain.front() == '[') {
      return domain.back() == ']' && domain.find_first_of("[]\\ \t\r\n", 1) == domain.size() - 1;
    }
    if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string::npos) return false;
    for (unsigned char c : domain) {
      if (!std::isalnum(c) && c != '-' && c != '.') return false;
    }
    return true;
  };
  std::size_t at = address.rfind('@');
  if (at != std::string::npos && usable(address.substr(at + 1))) return address.substr(at + 1);
  if (usable(heloName)) return heloName;
  return "localhost";
}

std::string NewMessageId(const std::string& domain) {
  // 128 bits from the system's random source, in the same random hexadecimal that the
  // boundary uses.
  std::string random = RandomHex(16);
  return std::string("<").append(random, 0, 16).append(".").append(random, 16).append("@").append(domain).append(">");
}

namespace {

// Measures lines as the DATA stream will send them (CR, LF and CR LF each end one) and
// notes 8-bit and NUL bytes, which decide the body's transfer encoding (RFC 2045
// section 2.8: 8bit data holds no NUL and no line over 998 octets).
class CLongLineProbe final : public IByteSink {
 public:
  static constexpr std::size_t kMaxLine = CHeaderFieldWriter::kMaxLine;  // RFC 5322 section 2.1.1

  // longLinesDecide: a long line alone makes the body quoted-printable, so once one is
  // found nothing else needs to be seen.
  explicit CLongLineProbe(bool longLinesDecide) : m_bLongLinesDecide(longLinesDecide) {}

  void Write(const char* data, std::size_t size) override {
    if (m_bFound && m_bLongLinesDecide) return;
    if (!m_bNul && std::memchr(data, 0, size) != nullptr) m_bNul = true;
    if (!m_b8Bit) m_b8Bit = Has8Bit(data, size);
    const char* end = data + size;
    auto find = [end](const char* from, char byte) {
      return static_cast<const char*>(std::memchr(from, byte, static_cast<std::size_t>(end - from)));
    };
    // The next CR and the next LF, each searched for again only once passed.
    const char* cr = find(data, '\r');
    const char* lf = find(data, '\n');
    while (!m_bFound && data < end) {
      if (cr != nullptr && cr < data) cr = find(data, '\r');
      if (lf != nullptr && lf < data) lf = find(data, '\n');
      const char* stop = end;
      if (cr != nullptr) stop = cr;
      if (lf != nullptr && lf < stop) stop = lf;
      std::size_t length = static_cast<std::size_t>(stop - data);
      if (m_nLine + length > kMaxLine) {
        m_bFound = true;
      } else if (stop == end) {
        m_nLine += length;
        data = end;
      } else {
        m_nLine = 0;
        data = stop + 1;
      }
    }
  }

  bool Found() const { return m_bFound; }
  bool Has8Bit() const { return m_b8Bit; }

  // Eight bytes at a time: any high bit set.
  static bool Has8Bit(const char* data, std::size_t size) {
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, data + i, 8);
      if ((word & 0x8080808080808080ull) != 0) return true;
    }
    for (; i < size; ++i) {
      if (static_cast<unsigned char>(data[i]) >= 0x80) return true;
    }
    return false;
  }
  bool HasNul() const { return m_bNul; }

 private:
  std::size_t m_nLine = 0;
  bool m_bFound = false;
  bool m_b8Bit = false;
  bool m_bNul = false;
  bool m_bLongLinesDecide;
};

}  // namespace

CMessageComposer::CMessageComposer(CSMTPChannel& channel, IByteSink& sink) : m_channel(channel), m_sink(sink) {}

bool CMessageComposer::ResultsAsAttachments() const {
  return m_channel.m_pQuery != nullptr && m_channel.m_pQuery->m_bAsAttachments != 0;
}

bool CMessageComposer::IsMultipart() const { return !m_channel.m_strAttachments.empty() || ResultsAsAttachments(); }

std::string CMessageComposer::FormatHeader(std::int64_t sendTime) {
  const CSMTPChannel& c = m_channel;
  const std::string& T = c.m_strTerminator;
  CHeaderFieldWriter writer(c.m_nCharset, T);
  if (m_strMessageId.empty()) m_strMessageId = NewMessageId(MessageIdDomain(c.m_strFromAddress, c.m_settings.strHeloName));

  std::string header = writer.Structured("Mime-Version", "1.0");
  if (c.m_nImportance == 1) header += "Importance: High" + T;
  if (c.m_nImportance == 3) header += "Importance: Low" + T;
  if (c.m_nPriority == 1 || c.m_nPriority == 3) header += "X-Priority: " + std::to_string(c.m_nPriority) + T;
  // RFC 5322 section 3.6.2: From holds a mailbox, so an empty sender shows the default.
  header += writer.AddressList("From", m_channel.GetEffectiveFrom());
  std::string date = FormatMailDate(sendTime);
  if (!date.empty()) header += writer.Structured("Date", date);
  header += writer.Structured("Message-ID", m_strMessageId);
  // An address field needs at least one address (RFC 5322 section 3.4): none, no field.
  if (c.m_strRecipient.find_first_not_of(" \t\r\n,") != std::string::npos) {
    header += writer.AddressList("To", c.m_strRecipient);
  }
  if (c.m_strCC.find_first_not_of(" \t\r\n,") != std::string::npos) header += writer.AddressList("Cc", c.m_strCC);
  header += writer.Unstructured("Subject", c.m_strSubject);

  std::vector<CHeaderParameter> charset{{"charset", writer.Charset()}};
  std::string encoding;
  if (!m_strBodyEncoding.empty()) encoding = writer.Structured("Content-Transfer-Encoding", m_strBodyEncoding);
  if (IsMultipart()) {
    header += writer.WithParameters("Content-Type", "multipart/mixed", {{"boundary", c.m_strBoundary}});
    // A multipart entity is labelled with the most general encoding of its parts (RFC
    // 2045 section 6.4); only the first part can be 8bit, the others are encoded.
    if (m_strBodyEncoding == "8bit") header += encoding;
    header += T;
    header += "--" + c.m_strBoundary + T;
  }
  header += writer.WithParameters("Content-Type", c.m_strContentType, charset) + encoding + T;
  return header;
}

std::string CMessageComposer::OverlongAddress(CSMTPChannel& channel) {
  constexpr std::size_t kMaxLine = CHeaderFieldWriter::kMaxLine;
  auto longestLine = [](std::string_view field) {
    std::size_t longest = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= field.size(); ++i) {
      if (i == field.size() || field[i] == '\r' || field[i] == '\n') {
        longest = std::max(longest, i - start);
        start = i + 1;
      }
    }
    return longest;
  };
  CHeaderFieldWriter writer(channel.m_nCharset, channel.m_strTerminator);
  const std::pair<const char*, std::string> fields[] = {
      {"From", channel.GetEffectiveFrom()}, {"To", channel.m_strRecipient}, {"Cc", channel.m_strCC}};
  for (const auto& [name, list] : fields) {
    if (longestLine(writer.AddressList(name, list)) <= kMaxLine) continue;
    std::string_view overlong = list;
    for (std::string_view mailbox : SplitAddressList(list)) {
      // Alone, with room for the comma that follows it in a list.
      if (longestLine(writer.AddressList(name, mailbox)) + 1 > kMaxLine) {
        overlong = mailbox;
        break;
      }
    }
    std::size_t first = overlong.find_first_not_of(" \t\r\n");
    overlong.remove_prefix(first == std::string_view::npos ? overlong.size() : first);
    return AddressRefusal(overlong, "is too long for a header line of " + std::to_string(kMaxLine) + " octets");
  }
  return {};
}

std::string CMessageComposer::BodyTransferEncoding() const {
  // Long lines are encoded only where the lines end in CR LF; other line ends are kept
  // as chosen unless 8-bit text forces the encoding.
  const bool crLf = m_channel.m_strTerminator == "\r\n";
  CLongLineProbe probe(crLf);
  SendBodyContent(probe, true);
  bool longLines = probe.Found() && crLf;
  bool eightBit = probe.Has8Bit();
  if (m_channel.m_pQuery != nullptr && !ResultsAsAttachments()) {
    const CSMTPOLEDBQuery& query = *m_channel.m_pQuery;
    for (std::size_t i = 0; i < query.GetResultsetCount() && !eightBit; ++i) {
      eightBit = query.GetResultset(i).HasEightBitValues();
    }
  }
  if (longLines || probe.HasNul() || (eightBit && !m_channel.m_bRelay8BitMime)) return "quoted-printable";
  // RFC 6152: 8-bit text only to a relay that announced 8BITMIME, and then declared.
  if (eightBit) return "8bit";
  return {};
}

bool CMessageComposer::BodyNeedsEncoding() const { return BodyTransferEncoding() == "quoted-printable"; }

CMessageComposer::CPlan CMessageComposer::Plan(std::int64_t sendTime) {
  if (m_strMessageId.empty()) m_strMessageId = NewMessageId(MessageIdDomain(m_channel.m_strFromAddress, m_channel.m_settings.strHeloName));
  return CPlan{BodyTransferEncoding(), m_strMessageId, sendTime};
}

void CMessageComposer::Compose() { Compose(Plan(CurrentTime())); }

void CMessageComposer::Compose(const CPlan& plan) {
  m_strBodyEncoding = plan.strBodyEncoding;
  m_strMessageId = plan.strMessageId;
  m_sink.Write(FormatHeader(plan.nSendTime));
  if (m_strBodyEncoding == "quoted-printable") {
    CQuotedPrintableBodyStream encoded(m_sink);
    SendBodyContent(encoded, false);
    encoded.Finish();
  } else {
    SendBodyContent(m_sink, false);
  }
  if (!m_sink.Failed()) SendAttachmentParts();
}

void CMessageComposer::SendBodyContent(IByteSink& out, bool measuring) const {
  if (m_channel.m_bHTML) {
    out.Write("<HTML>");
    if (!m_channel.m_strStyleSheet.empty()) {
      out.Write("<HEAD><STYLE TYPE=\"text/css\"><!--");
      out.Write(m_channel.m_strStyleSheet);
      out.Write("--></STYLE></HEAD>");
    }
    out.Write("<BODY>");
  }
  SendBody(out, measuring);
  if (m_channel.m_bHTML) out.Write("</BODY></HTML>");
}

void CMessageComposer::SendBody(IByteSink& out, bool measuring) const {
  const std::string& body = m_channel.m_strBody;
  if (m_channel.m_pQuery == nullptr || ResultsAsAttachments()) {
    // In pieces, so that a connection that failed stops the work soon.
    constexpr std::size_t kPiece = 1 << 20;
    for (std::size_t at = 0; at < body.size() && !out.Failed(); at += kPiece) {
      out.Write(std::string_view(body).substr(at, kPiece));
    }
    return;
  }
  static constexpr std::string_view kPlaceholder = "<<query>>";
  std::size_t position = 0;
  std::size_t index = 0;
  for (std::size_t found; (found = body.find(kPlaceholder, position)) != std::string::npos;) {
    out.Write(body.data() + position, found - position);
    SendResultset(index++, out, measuring);
    position = found + kPlaceholder.size();
  }
  out.Write(body.data() + position, body.size() - position);
  for (; index < m_channel.m_pQuery->GetResultsetCount(); ++index) SendResultset(index, out, measuring);
}

void CMessageComposer::SendResultset(std::size_t index, IByteSink& out, bool measuring) const {
  const CSMTPOLEDBQuery& query = *m_channel.m_pQuery;
  if (index >= query.GetResultsetCount()) return;  // a surplus placeholder disappears
  const CSMTPQueryResultset& resultset = query.GetResultset(index);
  std::size_t rows = resultset.GetRowCount();
  // Measuring needs only the first and the last row when no row can be too long: the rows
  // between are made of the same fixed text and of values whose 8-bit bytes the result
  // set has counted already (BodyTransferEncoding asks it), and that hold no NUL.
  std::string rowEnd = m_channel.m_bHTML ? m_channel.m_strTerminator : query.m_strRowSeparator;
  bool rowsEndLines = query.m_bCSV || (!rowEnd.empty() && (rowEnd.back() == '\n' || rowEnd.back() == '\r'));
  bool skipMiddle = measuring && rows > 2 && rowsEndLines && resultset.RowLengthBound() <= CLongLineProbe::kMaxLine;
  // Rows are rendered into one reused buffer and sent in batches, read from the store as
  // they go. CSV rows end with their own CR LF.
  constexpr std::size_t kBatch = 64 * 1024;
  std::string_view after = m_channel.m_bHTML && !query.m_bCSV ? std::string_view(m_channel.m_strTerminator)
                                                              : std::string_view();
  std::string header;
  resultset.AppendHeader(header);
  out.Write(header);
  CSMTPQueryResultset::CRowRenderer renderer(resultset);
  std::size_t room = kBatch + renderer.RowBound() + after.size();
  std::unique_ptr<char[]> batch(new char[room]);
  char* end = batch.get();
  for (std::size_t row = 0; row < rows; ++row) {
    if (skipMiddle && row == 1) {
      row = rows - 1;
      renderer.Seek(row);
    }
    end = renderer.WriteNext(end, after);
    if (static_cast<std::size_t>(end - batch.get()) >= kBatch) {
      out.Write(batch.get(), static_cast<std::size_t>(end - batch.get()));
      end = batch.get();
      if (out.Failed()) return;
    }
  }
  out.Write(batch.get(), static_cast<std::size_t>(end - batch.get()));
}

void CMessageComposer::SendAttachmentParts() {
  bool resultsAsAttachments = ResultsAsAttachments();
  if (!m_channel.m_strAttachments.empty()) {
    CMimeSendFile writer(m_sink, m_channel.m_strBoundary, m_channel.m_nCharset, *m_channel.Platform().pFileSystem);
    if (m_bLogging) writer.m_fnLog = [this](const std::string& text) { m_channel.WriteLog(text); };
    writer.m_nFileCharset = m_channel.m_nFileCharset;
    writer.SetAttachmentPolicy(m_channel.m_attachmentPolicy);
    // The files as checked before MAIL, each at most as long as it was then: measuring the
    // message and sending it attach the same bytes.
    if (m_channel.m_attachmentFiles.bExpanded) writer.UseFiles(m_channel.m_attachmentFiles);
    writer.SendAttachments(m_channel.m_strAttachments, !resultsAsAttachments);
    m_strAttachmentRefusal = writer.Refusal();
    if (!m_strAttachmentRefusal.empty()) return;
  }
  if (resultsAsAttachments) {
    CMimeSendFile writer(m_sink, m_channel.m_strBoundary, m_channel.m_nCharset, *m_channel.Platform().pFileSystem);
    writer.SendQueryAttachments(*m_channel.m_pQuery);
  }
}

}  // namespace varnel
