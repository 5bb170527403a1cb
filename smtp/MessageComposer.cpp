#include "smtp/MessageComposer.h"

#include <cstring>
#include <ctime>
#include <vector>

#include "mime/ByteSink.h"
#include "mime/MimeSendFile.h"
#include "mime/QuotedPrintableBodyStream.h"
#include "platform/System.h"
#include "platform/Log.h"
#include "smtp/SMTPChannel.h"
#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"

namespace varnel {

std::string FormatMailDate(std::int64_t time) {
  std::tm utc{};
  if (!ToUniversalTime(time, utc)) return {};
  return FormatDayTime(utc);
}

std::string FoldHeaderValue(const std::string& value, const std::string& terminator, std::size_t prefixLength,
                            bool addressList) {
  // RFC 5322 section 2.1.1: no line may hold more than 998 characters.
  constexpr std::size_t kMaxLine = 998;
  std::vector<std::string> lines(1);
  std::size_t end = value.find_last_not_of("\r\n");
  bool inBreak = false;
  for (std::size_t i = 0; end != std::string::npos && i <= end; ++i) {
    char c = value[i];
    if (c == '\r' || c == '\n') {
      inBreak = true;
      continue;
    }
    if (inBreak) {
      lines.emplace_back(" ");
      inBreak = false;
    }
    lines.back() += c;
  }
  std::string result;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    std::string line = std::move(lines[n]);
    std::size_t used = n == 0 ? prefixLength : 0;
    if (n != 0) result += terminator;
    // A long line is folded before a blank it already holds (unfolding restores it
    // exactly) or, in an address list, after a comma.
    while (line.size() + used > kMaxLine) {
      std::size_t limit = kMaxLine - used;
      std::size_t cut = std::string::npos;
      for (std::size_t p = limit; p > 1; --p) {
        if (line[p] == ' ' || line[p] == '\t') {
          cut = p;
          break;
        }
      }
      std::string rest;
      if (cut != std::string::npos) {
        rest = line.substr(cut);
      } else if (addressList) {
        std::size_t comma = line.rfind(',', limit - 1);
        if (comma == std::string::npos || comma == 0) break;
        cut = comma + 1;
        rest.assign(1, ' ');
        rest.append(line, cut, std::string::npos);
      } else {
        break;  // a single word longer than a line cannot be folded
      }
      result += line.substr(0, cut);
      result += terminator;
      line = std::move(rest);
      used = 0;
    }
    result += line;
  }
  return result;
}

namespace {

// Measures lines as the DATA stream will send them: CR, LF and CR LF each end one.
class CLongLineProbe final : public IByteSink {
 public:
  static constexpr std::size_t kMaxLine = 998;

  void Write(const char* data, std::size_t size) override {
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

 private:
  std::size_t m_nLine = 0;
  bool m_bFound = false;
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
  std::string importance;
  if (c.m_nImportance == 1) importance = "Importance: High" + T;
  if (c.m_nImportance == 3) importance = "Importance: Low" + T;
  std::string priority;
  if (c.m_nPriority == 1 || c.m_nPriority == 3) priority = "X-Priority: " + std::to_string(c.m_nPriority) + T;
  std::string from = IsMultipart() ? c.m_strFrom : m_channel.GetEffectiveFrom();
  std::string charset = "charset=\"iso-8859-" + std::to_string(c.m_nCharset) + "\"";

  std::string encoding;
  if (m_bBodyQuotedPrintable) encoding = "Content-Transfer-Encoding: quoted-printable" + T;

  std::string header;
  header += "Mime-Version: 1.0" + T + importance + priority;
  header += "From: " + FoldHeaderValue(from, T, 6, true) + T;
  header += "Date: " + FormatMailDate(sendTime) + " GMT" + T;
  header += "To: " + FoldHeaderValue(c.m_strRecipient, T, 4, true) + T;
  header += "Cc: " + FoldHeaderValue(c.m_strCC, T, 4, true) + T;
  header += "Subject: " + FoldHeaderValue(c.m_strSubject, T, 9, false) + T;
  if (IsMultipart()) {
    header += "Content-Type: multipart/mixed;" + T + "\tboundary=\"" + c.m_strBoundary + "\"" + T + T;
    header += "--" + c.m_strBoundary + T;
    header += "Content-Type: " + c.m_strContentType + ";" + T + "\t" + charset + T + encoding + T;
  } else {
    header += "Content-Type: " + c.m_strContentType + ";\t" + charset + T + encoding + T;
  }
  return header;
}

bool CMessageComposer::BodyNeedsEncoding() const {
  if (m_channel.m_strTerminator != "\r\n") return false;
  CLongLineProbe probe;
  SendBodyContent(probe, true);
  return probe.Found();
}

void CMessageComposer::Compose() {
  m_bBodyQuotedPrintable = BodyNeedsEncoding();
  m_sink.Write(FormatHeader(CurrentTime()));
  if (m_bBodyQuotedPrintable) {
    CQuotedPrintableBodyStream encoded(m_sink);
    SendBodyContent(encoded, false);
    encoded.Finish();
  } else {
    SendBodyContent(m_sink, false);
  }
  SendAttachmentParts();
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
    out.Write(body);
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
  // A row that ends with a line end starts the next one on a fresh line; when no row
  // can be too long, the lines between the first and the last row need no measuring.
  std::string rowEnd = m_channel.m_bHTML ? m_channel.m_strTerminator : query.m_strRowSeparator;
  bool rowsEndLines = !rowEnd.empty() && (rowEnd.back() == '\n' || rowEnd.back() == '\r');
  bool skipMiddle =
      measuring && rows > 2 && rowsEndLines && resultset.RowLengthBound() <= CLongLineProbe::kMaxLine;
  // Rows are rendered into one reused buffer and sent in batches.
  std::string text;
  resultset.AppendHeader(text);
  for (std::size_t row = 0; row < rows; ++row) {
    if (skipMiddle && row == 1) row = rows - 1;
    resultset.AppendRow(row, text);
    if (m_channel.m_bHTML) text += m_channel.m_strTerminator;
    if (text.size() >= 64 * 1024) {
      out.Write(text);
      text.clear();
    }
  }
  out.Write(text);
}

void CMessageComposer::SendAttachmentParts() {
  bool resultsAsAttachments = ResultsAsAttachments();
  if (!m_channel.m_strAttachments.empty()) {
    CMimeSendFile writer(m_sink, m_channel.m_strBoundary, m_channel.m_nCharset, *m_channel.Platform().pFileSystem);
    writer.m_fnLog = [this](const std::string& text) { m_channel.WriteLog(text); };
    writer.SendAttachments(m_channel.m_strAttachments, !resultsAsAttachments);
  }
  if (resultsAsAttachments) {
    CMimeSendFile writer(m_sink, m_channel.m_strBoundary, m_channel.m_nCharset, *m_channel.Platform().pFileSystem);
    writer.SendQueryAttachments(*m_channel.m_pQuery);
  }
}

}  // namespace varnel
