#include "query/SMTPQueryResultset.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "query/SMTPOLEDBQuery.h"

namespace varnel {
namespace {

// RFC 4180 section 2: every record, the header's too, ends with CR LF.
constexpr std::string_view kCsvRecordEnd = "\r\n";

}  // namespace

void AppendHtmlEscaped(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string_view entity;
    switch (text[i]) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '"':
        entity = "&quot;";
        break;
      default:
        continue;
    }
    out.append(text.data() + start, i - start);
    out += entity;
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

void AppendCsvField(std::string& out, std::string_view text, std::string_view separator) {
  // RFC 4180 section 2, rules 6 and 7: a field holding the separator, a quote or a line
  // break is enclosed in quotes, and a quote inside it is doubled.
  bool quote = text.find_first_of("\"\r\n") != std::string_view::npos ||
               (!separator.empty() && text.find(separator) != std::string_view::npos);
  if (!quote) {
    out += text;
    return;
  }
  out += '"';
  std::size_t start = 0;
  for (std::size_t found; (found = text.find('"', start)) != std::string_view::npos; start = found + 1) {
    out.append(text.data() + start, found + 1 - start);
    out += '"';
  }
  out.append(text.data() + start, text.size() - start);
  out += '"';
}

CSMTPQueryResultset::CSMTPQueryResultset(const CSMTPOLEDBQuery& query) : m_pQuery(&query) {}

CSMTPQueryResultset::~CSMTPQueryResultset() = default;

void CSMTPQueryResultset::AddColumn(const std::string& name, std::uint64_t width) {
  if (GetRowCount() != 0) throw std::logic_error("CSMTPQueryResultset: column added after rows");
  CSMTPColumn column;
  column.m_strName = name;
  column.m_nWidth = width;
  m_arrColumns.push_back(std::move(column));
}

namespace {

// Eight bytes at a time: the value is in cache already, so this costs next to nothing.
bool AnyHighBit(const char* text, std::size_t length) {
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + i, sizeof word);
    seen |= word;
  }
  for (; i < length; ++i) seen |= static_cast<unsigned char>(text[i]);
  return (seen & 0x8080808080808080ULL) != 0;
}

}  // namespace

void CSMTPQueryResultset::AddRow(std::span<const std::string_view> values) {
  std::size_t count = m_arrColumns.size();
  // First the room the row can take at most, then the values, each cut as its slot would.
  std::size_t room = 0;
  for (std::size_t i = 0; i < count && i < values.size(); ++i) {
    std::uint64_t width = m_arrColumns[i].m_nWidth;
    std::uint64_t slot = width == 0 ? 0 : width - 1;
    room += static_cast<std::size_t>(std::min<std::uint64_t>(values[i].size(), slot));
  }
  m_arrRows.BeginRow(room, count);
  m_nLongestRowValues = std::max(m_nLongestRowValues, room);
  for (std::size_t i = 0; i < count && i < values.size(); ++i) {
    std::uint64_t width = m_arrColumns[i].m_nWidth;
    std::uint64_t slot = width == 0 ? 0 : width - 1;
    std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(values[i].size(), slot));
    const char* text = values[i].data();
    if (const void* zero = length != 0 ? std::memchr(text, '\0', length) : nullptr) {
      length = static_cast<std::size_t>(static_cast<const char*>(zero) - text);
    }
    if (!m_bValues8Bit) m_bValues8Bit = AnyHighBit(text, length);
    m_arrRows.AppendValue(text, length);
  }
  m_arrRows.EndRow();
}

std::size_t CSMTPQueryResultset::RowLengthBound() const {
  const CSMTPOLEDBQuery& query = *m_pQuery;
  std::size_t count = m_arrColumns.size();
  if (query.m_bCSV) {
    // Every byte doubled (quotes) and every field quoted, at worst.
    return 2 * m_nLongestRowValues + count * (2 + query.m_strFieldSeparator.size()) + kCsvRecordEnd.size();
  }
  if (query.m_bHTML) {
    // "<TR>", per value its tag, the text or "&nbsp;" and "</TD>", then "</TR>" and,
    // after the last row, "</TABLE>" and the terminator. An escaped byte takes at most
    // six ("&quot;").
    std::size_t values = query.m_bHTMLEscape ? 6 * m_nLongestRowValues : m_nLongestRowValues;
    return query.m_strTRTag.size() + count * (query.m_strTDTag.size() + 6 + 5) + values + 5 + 8 +
           query.m_strTerminator.size();
  }
  return m_nLongestRowValues + count * query.m_strFieldSeparator.size() + query.m_strRowSeparator.size();
}

std::string_view CSMTPQueryResultset::GetValue(std::size_t row, std::size_t column) const {
  return m_arrRows.Value(row, column, m_arrColumns.size());
}

std::string CSMTPQueryResultset::FormatHeader() const {
  std::string text;
  AppendHeader(text);
  return text;
}

std::string CSMTPQueryResultset::FormatRow(std::size_t index) const {
  std::string text;
  AppendRow(index, text);
  return text;
}

void CSMTPQueryResultset::AppendHeader(std::string& out) const {
  const CSMTPOLEDBQuery& query = *m_pQuery;
  if (query.m_bCSV) {
    for (std::size_t i = 0; i < m_arrColumns.size(); ++i) {
      if (i != 0) out += query.m_strFieldSeparator;
      AppendCsvField(out, m_arrColumns[i].m_strName, query.m_strFieldSeparator);
    }
    out += kCsvRecordEnd;
    return;
  }
  if (query.m_bHTML) {
    out += query.m_strTerminator;
    out += query.m_strTableTag;
    if (!query.m_strTableCaption.empty()) {
      out += query.m_strCaptionTag;
      out += query.m_strTableCaption;
      out += "</CAPTION>";
    }
    // The heading row never carries the data rows' attributes.
    out += "<TR>";
    for (const CSMTPColumn& column : m_arrColumns) {
      out += query.m_strHeaderTag;
      if (query.m_bHTMLEscape) {
        AppendHtmlEscaped(out, column.m_strName);
      } else {
        out += column.m_strName;
      }
      out += "</TH>";
    }
    out += "</TR>";
    if (GetRowCount() == 0) {
      out += "</TABLE>";
      out += query.m_strTerminator;
    }
    return;
  }
  for (std::size_t i = 0; i < m_arrColumns.size(); ++i) {
    if (i != 0) out += query.m_strFieldSeparator;
    out += m_arrColumns[i].m_strName;
  }
  out += query.m_strRowSeparator;
}

void CSMTPQueryResultset::AppendRow(std::size_t index, std::string& out) const {
  std::size_t rows = GetRowCount();
  if (index >= rows) throw std::out_of_range("CSMTPQueryResultset: no such row");
  const CSMTPOLEDBQuery& query = *m_pQuery;
  std::size_t count = m_arrColumns.size();
  CSMTPRowStore::CRowView view = m_arrRows.Row(index, count);
  if (query.m_bCSV) {
    std::uint32_t begin = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (i != 0) out += query.m_strFieldSeparator;
      AppendCsvField(out, std::string_view(view.pText + begin, view.pEnds[i] - begin), query.m_strFieldSeparator);
      begin = view.pEnds[i];
    }
    out += kCsvRecordEnd;
    return;
  }
  if (query.m_bHTML) {
    out += query.m_strTRTag;
    std::uint32_t begin = 0;
    for (std::size_t i = 0; i < count; ++i) {
      std::string_view value(view.pText + begin, view.pEnds[i] - begin);
      begin = view.pEnds[i];
      out += query.m_strTDTag;
      if (value.empty()) {
        out += "&nbsp;</TD>";
      } else {
        if (query.m_bHTMLEscape) {
          AppendHtmlEscaped(out, value);
        } else {
          out += value;
        }
        out += "</TD>";
      }
    }
    out += "</TR>";
    if (index + 1 == rows) {
      out += "</TABLE>";
      out += query.m_strTerminator;
    }
    return;
  }
  std::uint32_t begin = 0;
  for (std::size_t i = 0; i < count; ++i) {
    out.append(view.pText + begin, view.pEnds[i] - begin);
    begin = view.pEnds[i];
    out += query.m_strFieldSeparator;
  }
  out += query.m_strRowSeparator;
}

}  // namespace varnel
