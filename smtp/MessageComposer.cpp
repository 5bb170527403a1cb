#include "smtp/MessageComposer.h"

#include <ctime>
#include <vector>

#include "mime/ByteSink.h"
#include "mime/MimeSendFile.h"
#include "platform/System.h"
#include "procedure/Log.h"
#include "procedure/SMTPChannel.h"
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
        rest = " " + line.substr(cut);
      } else {
        break;  // a single word longer than a line cannot be folded
      }
      result += line.substr(0, cut);
      result += terminator;
      line = std::move(rest);
      used = 0;
    }
    if (n != 0) result += terminator;
    result += line;
  }
  return result;
}

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
    header += "Content-Type: " + c.m_strContentType + ";" + T + "\t" + charset + T + T;
  } else {
    header += "Content-Type: " + c.m_strContentType + ";\t" + charset + T + T;
  }
  return header;
}

void CMessageComposer::Compose() {
  m_sink.Write(FormatHeader(CurrentTime()));
  if (m_channel.m_bHTML) {
    m_sink.Write("<HTML>");
    if (!m_channel.m_strStyleSheet.empty()) {
      m_sink.Write("<HEAD><STYLE TYPE=\"text/css\"><!--");
      m_sink.Write(m_channel.m_strStyleSheet);
      m_sink.Write("--></STYLE></HEAD>");
    }
    m_sink.Write("<BODY>");
  }
  SendBody();
  if (m_channel.m_bHTML) m_sink.Write("</BODY></HTML>");
  SendAttachmentParts();
}

void CMessageComposer::SendBody() {
  const std::string& body = m_channel.m_strBody;
  if (m_channel.m_pQuery == nullptr || ResultsAsAttachments()) {
    m_sink.Write(body);
    return;
  }
  static constexpr std::string_view kPlaceholder = "<<query>>";
  std::size_t position = 0;
  std::size_t index = 0;
  for (std::size_t found; (found = body.find(kPlaceholder, position)) != std::string::npos;) {
    m_sink.Write(body.data() + position, found - position);
    SendResultset(index++);
    position = found + kPlaceholder.size();
  }
  m_sink.Write(body.data() + position, body.size() - position);
  for (; index < m_channel.m_pQuery->GetResultsetCount(); ++index) SendResultset(index);
}

void CMessageComposer::SendResultset(std::size_t index) {
  const CSMTPOLEDBQuery& query = *m_channel.m_pQuery;
  if (index >= query.GetResultsetCount()) return;  // a surplus placeholder disappears
  const CSMTPQueryResultset& resultset = query.GetResultset(index);
  // Rows are rendered into one reused buffer and sent in batches.
  std::string text;
  resultset.AppendHeader(text);
  for (std::size_t row = 0; row < resultset.GetRowCount(); ++row) {
    resultset.AppendRow(row, text);
    if (m_channel.m_bHTML) text += m_channel.m_strTerminator;
    if (text.size() >= 64 * 1024) {
      m_sink.Write(text);
      text.clear();
    }
  }
  m_sink.Write(text);
}

void CMessageComposer::SendAttachmentParts() {
  bool resultsAsAttachments = ResultsAsAttachments();
  if (!m_channel.m_strAttachments.empty()) {
    CMimeSendFile writer(m_sink, m_channel.m_strBoundary, m_channel.m_nCharset, *m_channel.Platform().pFileSystem);
    writer.SendAttachments(m_channel.m_strAttachments, !resultsAsAttachments);
  }
  if (resultsAsAttachments) {
    CMimeSendFile writer(m_sink, m_channel.m_strBoundary, m_channel.m_nCharset, *m_channel.Platform().pFileSystem);
    writer.SendQueryAttachments(*m_channel.m_pQuery);
  }
}

}  // namespace varnel
