// One captured result set: its columns, and its rows as text in its runner's row store
// (in memory up to a budget, beyond it in a private temporary file), read once from the
// database and then only rendered, as separated text or as an HTML table, or as CSV on
// request, in the form of the render settings it was given when it was made. Rows are
// rendered one after another through a CRowRenderer, which holds none of them whole. A
// bad row or column index throws std::out_of_range; a row store that fails throws
// CRowStoreError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "query/RenderSettings.h"
#include "query/SMTPColumn.h"
#include "query/SMTPRowStore.h"

namespace varnel {

// Appends text with &, <, > and " as HTML character references.
void AppendHtmlEscaped(std::string& out, std::string_view text);
// Appends text as one CSV field (RFC 4180): quoted, with its quotes doubled, when it holds
// the separator, a quote, a CR or an LF; as it is otherwise.
void AppendCsvField(std::string& out, std::string_view text, std::string_view separator);

class CSMTPQueryResultset {
 public:
  // Rows go into store, which must outlive the result set (the runner's); settings say
  // how they are rendered.
  CSMTPQueryResultset(CSMTPRowStore& store, CRenderSettings settings);
  virtual ~CSMTPQueryResultset();
  CSMTPQueryResultset(const CSMTPQueryResultset&) = delete;
  CSMTPQueryResultset& operator=(const CSMTPQueryResultset&) = delete;

  // Columns come first: adding one after the first row throws std::logic_error.
  void AddColumn(const std::string& name, std::uint64_t width);
  // Appends a row. The value of column i is what a zero-terminated slot of its width
  // holds: cut to width - 1 bytes and at its first zero byte. A missing value (NULL) is
  // empty; values beyond the last column are ignored. The rows of one result set follow
  // one another in the store: a row of another result set of the same runner in between
  // throws std::logic_error.
  void AddRow(std::span<const std::string_view> values);

  std::size_t GetRowCount() const { return static_cast<std::size_t>(m_nRowCount); }
  std::size_t GetColumnCount() const { return m_arrColumns.size(); }
  const CSMTPColumn& GetColumn(std::size_t index) const { return m_arrColumns.at(index); }
  // Valid until the next call that reads a row of this runner's store.
  std::string_view GetValue(std::size_t row, std::size_t column) const;
  const CRenderSettings& Settings() const { return m_settings; }

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

  // Renders the rows in order, reading them from the store as it goes, in the form of the
  // result set's settings.
  class CRowRenderer {
   public:
    explicit CRowRenderer(const CSMTPQueryResultset& resultset);
    // Index of the row that AppendNext renders next.
    std::size_t Index() const { return static_cast<std::size_t>(m_reader.Position()); }
    // Makes the row at index (0 to the row count) the next one.
    void Seek(std::size_t index) { m_reader.Seek(index); }
    // Appends the text of the next row (as AppendRow does) and then after; false, with
    // nothing appended, when every row was rendered.
    bool AppendNext(std::string& out, std::string_view after = {});
    // Room to give WriteNext (besides after): no row's text is longer, and the fixed
    // text is copied in pieces of a fixed size that may reach a little beyond.
    std::size_t RowBound() const { return m_nBound + kPieceRoom; }
    // Writes the text of the next row and then after at out, which has room for
    // RowBound() + after.size() bytes; returns the end of what it wrote, nullptr when
    // every row was rendered.
    char* WriteNext(char* out, std::string_view after = {});

   private:
    friend class CSMTPQueryResultset;
    enum class Form { Text, Html, Csv };

    // Builds the fixed text around the values from the result set's settings.
    void Configure();

    const CSMTPQueryResultset* m_pResultset;
    CSMTPRowStore::CReader m_reader;
    Form m_eForm;
    bool m_bEscape;
    // A piece of fixed text; one that fits kPieceRoom is copied as a block of that size.
    static constexpr std::size_t kPieceRoom = 32;
    struct CPiece {
      std::string strText;
      char arrPadded[kPieceRoom] = {};
      void Set(std::string text);
      char* Put(char* out) const {
        if (strText.size() > kPieceRoom) return PutLong(out);
        std::memcpy(out, arrPadded, kPieceRoom);
        return out + strText.size();
      }
      char* PutLong(char* out) const;
    };

    std::size_t m_nBound;  // of one row's text
    // The fixed text around the values: before the first, between two, after the last
    // (and, for HTML, after the last row).
    CPiece m_strOpen;
    CPiece m_strBetween;
    CPiece m_strClose;
    CPiece m_strLastClose;
    CPiece m_strEmpty;  // in place of an empty value
    std::string m_strSeparator;
  };

 private:
  CSMTPRowStore* m_pStore;
  std::uint64_t m_nFirstRow = 0;  // in the store
  std::uint64_t m_nRowCount = 0;
  std::vector<CSMTPColumn> m_arrColumns;
  std::vector<std::size_t> m_arrLimits;  // bytes of text each column's slot holds
  std::size_t m_nLongestRowValues = 0;    // value bytes of the row with the most
  bool m_bValues8Bit = false;             // some value holds a byte above 0x7F
  CRenderSettings m_settings;
  // Rows rendered by index.
  mutable std::unique_ptr<CRowRenderer> m_pIndexRenderer;
};

}  // namespace varnel
