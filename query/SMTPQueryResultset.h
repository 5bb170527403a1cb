// One captured result set: its columns and rows as text, read once from the database and
// then only rendered, as separated text or as an HTML table in the form its runner's
// settings choose, or as CSV on request. A bad row or column index throws
// std::out_of_range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "query/SMTPColumn.h"
#include "query/SMTPRowStore.h"

namespace varnel {

class CSMTPOLEDBQuery;

// Appends text with &, <, > and " as HTML character references.
void AppendHtmlEscaped(std::string& out, std::string_view text);
// Appends text as one CSV field (RFC 4180): quoted, with its quotes doubled, when it holds
// the separator, a quote, a CR or an LF; as it is otherwise.
void AppendCsvField(std::string& out, std::string_view text, std::string_view separator);

class CSMTPQueryResultset {
 public:
  // Rendering reads its settings from query, which must outlive the result set.
  explicit CSMTPQueryResultset(const CSMTPOLEDBQuery& query);
  virtual ~CSMTPQueryResultset();
  CSMTPQueryResultset(const CSMTPQueryResultset&) = delete;
  CSMTPQueryResultset& operator=(const CSMTPQueryResultset&) = delete;

  // Columns come first: adding one after the first row throws std::logic_error.
  void AddColumn(const std::string& name, std::uint64_t width);
  // Appends a row. The value of column i is what a zero-terminated slot of its width
  // holds: cut to width - 1 bytes and at its first zero byte. A missing value (NULL) is
  // empty; values beyond the last column are ignored.
  void AddRow(std::span<const std::string_view> values);

  std::size_t GetRowCount() const { return m_arrRows.RowCount(); }
  std::size_t GetColumnCount() const { return m_arrColumns.size(); }
  const CSMTPColumn& GetColumn(std::size_t index) const { return m_arrColumns.at(index); }
  std::string_view GetValue(std::size_t row, std::size_t column) const;
  const CSMTPOLEDBQuery& GetQuery() const { return *m_pQuery; }

  // The heading: the column names (text), or the table opening, caption and heading row
  // (HTML). An HTML result set without rows has no row to close its table, so its
  // heading closes it: "</TABLE>" and the terminator follow the heading row.
  std::string FormatHeader() const;
  // Row index, 0-based; the last row of an HTML result set closes the table.
  std::string FormatRow(std::size_t index) const;
  // The same texts appended to out, so that a renderer can reuse one buffer.
  void AppendHeader(std::string& out) const;
  void AppendRow(std::size_t index, std::string& out) const;
  // No row's text (AppendRow) is longer than this, whatever its values.
  std::size_t RowLengthBound() const;
  // Whether any captured value holds a byte above 0x7F (the message must declare it).
  bool HasEightBitValues() const { return m_bValues8Bit; }

 private:
  CSMTPRowStore m_arrRows;
  std::vector<CSMTPColumn> m_arrColumns;
  std::size_t m_nLongestRowValues = 0;  // room of the row with the most value bytes
  bool m_bValues8Bit = false;           // some value holds a byte above 0x7F
  const CSMTPOLEDBQuery* m_pQuery;
};

}  // namespace varnel
