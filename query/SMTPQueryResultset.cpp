#include "query/SMTPQueryResultset.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "query/SMTPOLEDBQuery.h"

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

// Whether any byte has its high bit set; the value was just read, so this costs little.
// Words are read overlapping at the end rather than byte by byte.
bool AnyHighBit(const char* text, std::size_t length) {
  if (length >= 16) {
#if defined(__SSE2__)
    __m128i seen = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + length - 16));
    for (std::size_t i = 0; i + 16 < length; i += 16) {
      seen = _mm_or_si128(seen, _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)));
    }
    return _mm_movemask_epi8(seen) != 0;
#endif
  }
  std::uint64_t seen = 0;
  if (length >= 8) {
    std::memcpy(&seen, text + length - 8, 8);
    for (std::size_t i = 0; i + 8 < length; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text + i, 8);
      seen |= word;
    }
    return (seen & 0x8080808080808080ULL) != 0;
  }
  for (std::size_t i = 0; i < length; ++i) seen |= static_cast<unsigned char>(text[i]);
  return (seen & 0x80) != 0;
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

CSMTPQueryResultset::CSMTPQueryResultset(const CSMTPOLEDBQuery& query)
    : m_pStore(&query.RowStore()), m_pQuery(&query) {}

CSMTPQueryResultset::~CSMTPQueryResultset() = default;

void CSMTPQueryResultset::AddColumn(const std::string& name, std::uint64_t width) {
  if (GetRowCount() != 0) throw std::logic_error("CSMTPQueryResultset: column added after rows");
  CSMTPColumn column;
  column.m_strName = name;
  column.m_nWidth = width;
  m_arrColumns.push_back(std::move(column));
  m_arrLengths.resize(m_arrColumns.size());
}

void CSMTPQueryResultset::AddRow(std::span<const std::string_view> values) {
  if (m_nRowCount == 0) {
    m_nFirstRow = m_pStore->RowCount();
  } else if (m_pStore->RowCount() != m_nFirstRow + m_nRowCount) {
    throw std::logic_error("CSMTPQueryResultset: rows of another result set in between");
  }
  std::size_t count = m_arrColumns.size();
  std::size_t given = std::min(count, values.size());
  // Each value's length as its slot would hold it, and the room they take together.
  std::size_t room = 0;
  for (std::size_t i = 0; i < given; ++i) {
    std::uint64_t width = m_arrColumns[i].m_nWidth;
    std::uint64_t slot = width == 0 ? 0 : width - 1;
    const char* text = values[i].data();
    std::size_t length = values[i].size() < slot ? values[i].size() : static_cast<std::size_t>(slot);
    if (length != 0) {
      if (const void* zero = std::memchr(text, '\0', length)) {
        length = static_cast<std::size_t>(static_cast<const char*>(zero) - text);
      }
      if (!m_bValues8Bit) m_bValues8Bit = AnyHighBit(text, length);
    }
    m_arrLengths[i] = length;
    room += length;
  }
  // Missing values are empty.
  for (std::size_t i = given; i < count; ++i) m_arrLengths[i] = 0;
  if (given < count) {
    m_arrPadded.assign(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(given));
    m_arrPadded.resize(count);
    m_pStore->AppendRow(m_arrPadded.data(), m_arrLengths.data(), count, room);
  } else {
    m_pStore->AppendRow(values.data(), m_arrLengths.data(), count, room);
  }
  m_nLongestRowValues = std::max(m_nLongestRowValues, room);
  ++m_nRowCount;
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
  if (index >= m_nRowCount) throw std::out_of_range("CSMTPQueryResultset: no such row");
  // One renderer for rows asked by index, so that ascending indexes read on where the
  // last one stopped; the settings are taken again each time.
  if (!m_pIndexRenderer) {
    m_pIndexRenderer = std::make_unique<CRowRenderer>(*this);
  } else {
    m_pIndexRenderer->Configure();
  }
  m_pIndexRenderer->Seek(index);
  m_pIndexRenderer->AppendNext(out);
}

CSMTPQueryResultset::CRowRenderer::CRowRenderer(const CSMTPQueryResultset& resultset)
    : m_pResultset(&resultset),
      m_reader(*resultset.m_pStore, resultset.m_nFirstRow, resultset.m_nRowCount, resultset.m_arrColumns.size()) {
  Configure();
}

void CSMTPQueryResultset::CRowRenderer::Configure() {
  const CSMTPQueryResultset& resultset = *m_pResultset;
  const CSMTPOLEDBQuery& query = *resultset.m_pQuery;
  bool columns = !resultset.m_arrColumns.empty();
  m_nBound = resultset.RowLengthBound();
  m_bEscape = false;
  m_strEmpty.clear();
  m_strLastClose.clear();
  m_strSeparator = query.m_strFieldSeparator;
  if (query.m_bCSV) {
    m_eForm = Form::Csv;
    m_strOpen.clear();
    m_strBetween = query.m_strFieldSeparator;
    m_strClose = kCsvRecordEnd;
  } else if (query.m_bHTML) {
    m_eForm = Form::Html;
    m_bEscape = query.m_bHTMLEscape;
    m_strOpen = query.m_strTRTag;
    if (columns) m_strOpen += query.m_strTDTag;
    m_strBetween = "</TD>" + query.m_strTDTag;
    m_strClose = columns ? "</TD></TR>" : "</TR>";
    m_strLastClose = "</TABLE>" + query.m_strTerminator;
    m_strEmpty = "&nbsp;";
  } else {
    // A separator after every value, the last one's too.
    m_eForm = Form::Text;
    m_strOpen.clear();
    m_strBetween = query.m_strFieldSeparator;
    m_strClose = columns ? query.m_strFieldSeparator + query.m_strRowSeparator : query.m_strRowSeparator;
  }
}

bool CSMTPQueryResultset::CRowRenderer::AppendNext(std::string& out, std::string_view after) {
  if (Index() >= m_pResultset->GetRowCount()) return false;
  // Room for the longest text a row can take, written in place and cut to what it took.
  std::size_t start = out.size();
  out.resize(start + m_nBound + after.size());
  char* end = WriteNext(out.data() + start, after);
  out.resize(static_cast<std::size_t>(end - out.data()));
  return true;
}

char* CSMTPQueryResultset::CRowRenderer::WriteNext(char* out, std::string_view after) {
  bool last = Index() + 1 == m_pResultset->GetRowCount();
  const std::string_view* values = m_reader.Next();
  if (values == nullptr) return nullptr;
  std::size_t count = m_pResultset->m_arrColumns.size();
  char* at = Put(out, m_strOpen);
  switch (m_eForm) {
    case Form::Html:
      for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) at = Put(at, m_strBetween);
        std::string_view value = values[i];
        if (value.empty()) {
          at = Put(at, m_strEmpty);
        } else {
          at = m_bEscape ? PutHtmlEscaped(at, value) : Put(at, value);
        }
      }
      break;
    case Form::Text:
      for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) at = Put(at, m_strBetween);
        at = Put(at, values[i]);
      }
      break;
    case Form::Csv:
      for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) at = Put(at, m_strBetween);
        at = PutCsvField(at, values[i], m_strSeparator);
      }
      break;
  }
  at = Put(at, m_strClose);
  if (last) at = Put(at, m_strLastClose);
  return Put(at, after);
}

}  // namespace varnel
