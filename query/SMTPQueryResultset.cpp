#include "query/SMTPQueryResultset.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace varnel {
namespace {

// RFC 4180 section 2: every record, the header's too, ends with CR LF.
constexpr std::string_view kCsvRecordEnd = "\r\n";

// The entity of a byte that HTML escaping replaces, or empty.
std::string_view HtmlEntity(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    default:
      return {};
  }
}

bool CsvNeedsQuotes(std::string_view text, std::string_view separator) {
  // RFC 4180 section 2, rules 6 and 7: a field holding the separator, a quote or a line
  // break is enclosed in quotes, and a quote inside it is doubled.
  return text.find_first_of("\"\r\n") != std::string_view::npos ||
         (!separator.empty() && text.find(separator) != std::string_view::npos);
}

char* Put(char* out, std::string_view text) {
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

char* PutHtmlEscaped(char* out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string_view entity = HtmlEntity(text[i]);
    if (entity.empty()) continue;
    out = Put(out, text.substr(start, i - start));
    out = Put(out, entity);
    start = i + 1;
  }
  return Put(out, text.substr(start));
}

char* PutCsvField(char* out, std::string_view text, std::string_view separator) {
  if (!CsvNeedsQuotes(text, separator)) return Put(out, text);
  *out++ = '"';
  std::size_t start = 0;
  for (std::size_t found; (found = text.find('"', start)) != std::string_view::npos; start = found + 1) {
    out = Put(out, text.substr(start, found + 1 - start));
    *out++ = '"';
  }
  out = Put(out, text.substr(start));
  *out++ = '"';
  return out;
}

}  // namespace

void AppendHtmlEscaped(std::string& out, std::string_view text) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string_view entity = HtmlEntity(text[i]);
    if (entity.empty()) continue;
    out.append(text.data() + start, i - start);
    out += entity;
    start = i + 1;
  }
  out.append(text.data() + start, text.size() - start);
}

void AppendCsvField(std::string& out, std::string_view text, std::string_view separator) {
  if (!CsvNeedsQuotes(text, separator)) {
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

CSMTPQueryResultset::CSMTPQueryResultset(CSMTPRowStore& store, CRenderSettings settings)
    : m_pStore(&store), m_settings(std::move(settings)) {}

CSMTPQueryResultset::~CSMTPQueryResultset() = default;

void CSMTPQueryResultset::AddColumn(const std::string& name, std::uint64_t width) {
  if (GetRowCount() != 0) throw std::logic_error("CSMTPQueryResultset: column added after rows");
  CSMTPColumn column;
  column.m_strName = name;
  column.m_nWidth = width;
  m_arrColumns.push_back(std::move(column));
  // A slot of width bytes holds width - 1 bytes of text and its terminating zero.
  std::uint64_t slot = width == 0 ? 0 : width - 1;
  m_arrLimits.push_back(static_cast<std::size_t>(std::min<std::uint64_t>(slot, SIZE_MAX)));
}

void CSMTPQueryResultset::AddRow(std::span<const std::string_view> values) {
  if (m_nRowCount == 0) {
    m_nFirstRow = m_pStore->RowCount();
  } else if (m_pStore->RowCount() != m_nFirstRow + m_nRowCount) {
    throw std::logic_error("CSMTPQueryResultset: rows of another result set in between");
  }
  std::size_t kept = m_pStore->AppendRow(values.data(), values.size(), m_arrLimits.data(), m_arrColumns.size(),
                                         m_bValues8Bit);
  m_nLongestRowValues = std::max(m_nLongestRowValues, kept);
  ++m_nRowCount;
  // Rows by index are read by a renderer made for the rows there were.
  if (m_pIndexRenderer) m_pIndexRenderer.reset();
}

std::size_t CSMTPQueryResultset::RowLengthBound() const {
  const CRenderSettings& settings = m_settings;
  std::size_t count = m_arrColumns.size();
  if (settings.m_bCSV) {
    // Every byte doubled (quotes) and every field quoted, at worst.
    return 2 * m_nLongestRowValues + count * (2 + settings.m_strFieldSeparator.size()) + kCsvRecordEnd.size();
  }
  if (settings.m_bHTML) {
    // "<TR>", per value its tag, the text or "&nbsp;" and "</TD>", then "</TR>" and,
    // after the last row, "</TABLE>" and the terminator. An escaped byte takes at most
    // six ("&quot;").
    std::size_t values = settings.m_bHTMLEscape ? 6 * m_nLongestRowValues : m_nLongestRowValues;
    return settings.m_strTRTag.size() + count * (settings.m_strTDTag.size() + 6 + 5) + values + 5 + 8 +
           settings.m_strTerminator.size();
  }
  return m_nLongestRowValues + count * settings.m_strFieldSeparator.size() + settings.m_strRowSeparator.size();
}

std::string_view CSMTPQueryResultset::GetValue(std::size_t row, std::size_t column) const {
  if (row >= m_nRowCount || column >= m_arrColumns.size()) throw std::out_of_range("CSMTPQueryResultset: no such value");
  return m_pStore->Value(m_nFirstRow + row, column, m_arrColumns.size());
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
  const CRenderSettings& settings = m_settings;
  if (settings.m_bCSV) {
    for (std::size_t i = 0; i < m_arrColumns.size(); ++i) {
      if (i != 0) out += settings.m_strFieldSeparator;
      AppendCsvField(out, m_arrColumns[i].m_strName, settings.m_strFieldSeparator);
    }
    out += kCsvRecordEnd;
    return;
  }
  if (settings.m_bHTML) {
    out += settings.m_strTerminator;
    out += settings.m_strTableTag;
    if (!settings.m_strTableCaption.empty()) {
      out += settings.m_strCaptionTag;
      out += settings.m_strTableCaption;
      out += "</CAPTION>";
    }
    // The heading row never carries the data rows' attributes.
    out += "<TR>";
    for (const CSMTPColumn& column : m_arrColumns) {
      out += settings.m_strHeaderTag;
      if (settings.m_bHTMLEscape) {
        AppendHtmlEscaped(out, column.m_strName);
      } else {
        out += column.m_strName;
      }
      out += "</TH>";
    }
    out += "</TR>";
    if (GetRowCount() == 0) {
      out += "</TABLE>";
      out += settings.m_strTerminator;
    }
    return;
  }
  for (std::size_t i = 0; i < m_arrColumns.size(); ++i) {
    if (i != 0) out += settings.m_strFieldSeparator;
    out += m_arrColumns[i].m_strName;
  }
  out += settings.m_strRowSeparator;
}

void CSMTPQueryResultset::AppendRow(std::size_t index, std::string& out) const {
  if (index >= m_nRowCount) throw std::out_of_range("CSMTPQueryResultset: no such row");
  // One renderer for rows asked by index, so that ascending indexes read on where the
  // last one stopped.
  if (!m_pIndexRenderer) m_pIndexRenderer = std::make_unique<CRowRenderer>(*this);
  m_pIndexRenderer->Seek(index);
  m_pIndexRenderer->AppendNext(out);
}

CSMTPQueryResultset::CRowRenderer::CRowRenderer(const CSMTPQueryResultset& resultset)
    : m_pResultset(&resultset),
      m_reader(*resultset.m_pStore, resultset.m_nFirstRow, resultset.m_nRowCount, resultset.m_arrColumns.size()) {
  Configure();
}

void CSMTPQueryResultset::CRowRenderer::CPiece::Set(std::string text) {
  strText = std::move(text);
  std::memset(arrPadded, 0, sizeof arrPadded);
  if (strText.size() <= kPieceRoom) std::memcpy(arrPadded, strText.data(), strText.size());
}

char* CSMTPQueryResultset::CRowRenderer::CPiece::PutLong(char* out) const { return varnel::Put(out, strText); }

void CSMTPQueryResultset::CRowRenderer::Configure() {
  const CSMTPQueryResultset& resultset = *m_pResultset;
  const CRenderSettings& settings = resultset.m_settings;
  bool columns = !resultset.m_arrColumns.empty();
  m_nBound = resultset.RowLengthBound();
  m_bEscape = false;
  m_strEmpty.Set("");
  m_strLastClose.Set("");
  m_strSeparator = settings.m_strFieldSeparator;
  if (settings.m_bCSV) {
    m_eForm = Form::Csv;
    m_strOpen.Set("");
    m_strBetween.Set(settings.m_strFieldSeparator);
    m_strClose.Set(std::string(kCsvRecordEnd));
  } else if (settings.m_bHTML) {
    m_eForm = Form::Html;
    m_bEscape = settings.m_bHTMLEscape;
    m_strOpen.Set(columns ? settings.m_strTRTag + settings.m_strTDTag : settings.m_strTRTag);
    m_strBetween.Set("</TD>" + settings.m_strTDTag);
    m_strClose.Set(columns ? "</TD></TR>" : "</TR>");
    m_strLastClose.Set("</TABLE>" + settings.m_strTerminator);
    m_strEmpty.Set("&nbsp;");
  } else {
    // A separator after every value, the last one's too.
    m_eForm = Form::Text;
    m_strOpen.Set("");
    m_strBetween.Set(settings.m_strFieldSeparator);
    m_strClose.Set(columns ? settings.m_strFieldSeparator + settings.m_strRowSeparator : settings.m_strRowSeparator);
  }
}

bool CSMTPQueryResultset::CRowRenderer::AppendNext(std::string& out, std::string_view after) {
  if (Index() >= m_pResultset->GetRowCount()) return false;
  // Room for the longest text a row can take, written in place and cut to what it took.
  std::size_t start = out.size();
  out.resize(start + RowBound() + after.size());
  char* end = WriteNext(out.data() + start, after);
  out.resize(static_cast<std::size_t>(end - out.data()));
  return true;
}

char* CSMTPQueryResultset::CRowRenderer::WriteNext(char* out, std::string_view after) {
  bool last = Index() + 1 == m_pResultset->GetRowCount();
  const std::string_view* values = m_reader.Next();
  if (values == nullptr) return nullptr;
  std::size_t count = m_pResultset->m_arrColumns.size();
  char* at = m_strOpen.Put(out);
  switch (m_eForm) {
    case Form::Html:
      for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) at = m_strBetween.Put(at);
        std::string_view value = values[i];
        if (value.empty()) {
          at = m_strEmpty.Put(at);
        } else {
          at = m_bEscape ? PutHtmlEscaped(at, value) : Put(at, value);
        }
      }
      break;
    case Form::Text:
      for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) at = m_strBetween.Put(at);
        at = Put(at, values[i]);
      }
      break;
    case Form::Csv:
      for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) at = m_strBetween.Put(at);
        at = PutCsvField(at, values[i], m_strSeparator);
      }
      break;
  }
  at = m_strClose.Put(at);
  if (last) at = m_strLastClose.Put(at);
  return Put(at, after);
}

}  // namespace varnel
