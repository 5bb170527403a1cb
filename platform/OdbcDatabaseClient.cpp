// The database client over ODBC (unixODBC on POSIX, the system's driver manager on
// Windows). Each step of the seam is an ODBC call: the connection is an environment
// handle with ODBC 3 behaviour and its connection handle (SQLAllocHandle), its attributes
// the login time-out and the connection string, Connect is SQLDriverConnect, the driver's
// description SQLGetInfo, the statement a statement handle; a batch is SQLExecDirect with
// every result walked by SQLMoreResults and fetched in blocks by SQLFetch; error records
// are SQLGetDiagRec plus the SQL Server fields. Every ODBC call goes through Call(), which
// collects the handle's records.
#ifdef _WIN32
#include <windows.h>
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "platform/AsciiCase.h"
#include "platform/CodePage.h"
#include "platform/DatabaseClient.h"
#include "platform/OdbcConnectionString.h"
#include "platform/OdbcStatementSplitter.h"
#include "platform/Platform.h"

namespace varnel {
namespace {

// Driver-specific diagnostic fields of SQL Server's drivers (msodbcsql.h, sqlncli.h).
constexpr SQLSMALLINT kDiagSSMsgState = -1150;
constexpr SQLSMALLINT kDiagSSSeverity = -1151;
constexpr SQLSMALLINT kDiagSSServerName = -1152;
constexpr SQLSMALLINT kDiagSSProcedureName = -1153;
constexpr SQLSMALLINT kDiagSSLine = -1154;

// Above this the fetch buffers of one block are not allocated; the fetch fails with a
// record instead of exhausting the server's memory.
constexpr std::uint64_t kMaxBlockBytes = 1ull << 30;
// SQL Server driver types: xml and CLR user types (geography, geometry, ...).
constexpr SQLSMALLINT kSqlServerXml = -152;
constexpr SQLSMALLINT kSqlServerUdt = -151;

// Only SQL Server's drivers and FreeTDS answer the SQL_DIAG_SS_* fields; others may put
// anything into the buffer for an identifier they do not know.
bool HasServerDiagnostics(const std::string& driver) {
  std::string name = AsciiLower(driver);
  for (const char* mark : {"sql server", "sqlncli", "msodbcsql", "sqlsrv", "freetds", "tdsodbc"}) {
    if (name.find(mark) != std::string::npos) return true;
  }
  return false;
}

// What every object of one data source shares: where records go and which fields the
// driver has.
struct COdbcContext {
  CDatabaseDiagnostics* pDiagnostics = nullptr;
  bool bServerFields = false;
  // The driver runs one statement per call (SQLite's): a batch is run statement by
  // statement, its results walked as one batch.
  bool bOneStatementPerCall = false;
  // The driver reads a bound column again with SQLGetData (SQL_GD_BOUND): in a block of
  // one row, or in any row of a block after SQLSetPos (SQL_GD_BLOCK and positioning on
  // forward-only cursors).
  bool bRereadsBoundColumns = false;
  bool bRereadsBlockRows = false;
  // The driver copies a value into its slot padded with zero bytes to the slot's end
  // (strncpy; SQLite's does), so that a wide slot costs its whole width for every value.
  // psqlODBC copies the value and its terminating zero only.
  bool bPadsSlots = true;
  // The code page the driver's text is in (UTF-8 for the drivers of unixODBC, the ANSI
  // code page for Windows' ANSI calls) and that of the procedure's strings, both set only
  // where they differ.
  std::optional<CCodePage> driverPage;
  std::optional<CCodePage> textPage;
  // The driver's code page where values arrive unconverted and a character may take more
  // than one byte (UTF-8, the double-byte pages): a value its slot cut keeps whole
  // characters only.
  std::optional<CCodePage> cutPage;

  bool Converts() const { return textPage.has_value(); }
  // Whether a value may take more bytes in the procedure's code page than the driver gave.
  bool Grows() const { return textPage && !driverPage->IsUtf8(); }
  std::string ToDriver(const std::string& text) const {
    if (!textPage) return text;
    if (driverPage->IsUtf8()) return textPage->ToUtf8(text);
    return textPage->ConvertTo(*driverPage, text);
  }
  std::string FromDriver(std::string_view text) const {
    if (!textPage) return std::string(text);
    if (driverPage->IsUtf8()) return textPage->FromUtf8(text);
    return driverPage->ConvertTo(*textPage, text);
  }
};

CDatabaseDiagnostic OwnRecord(const char* state, std::string message) {
  CDatabaseDiagnostic record;
  record.strSqlState = state;
  record.strMessage = "[varnel] " + std::move(message);
  return record;
}

SQLINTEGER DiagInteger(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLSMALLINT field) {
  // Zeroed, so a driver that writes two bytes (SQL_DIAG_SS_LINE is documented as
  // SQLUSMALLINT) or nothing at all leaves a sound value on little-endian hosts.
  unsigned char buffer[sizeof(SQLLEN)] = {};
  SQLSMALLINT length = 0;
  SQLRETURN rc = SQLGetDiagField(type, handle, record, field, buffer, sizeof buffer, &length);
  if (!SQL_SUCCEEDED(rc)) return 0;
  SQLINTEGER value = 0;
  std::memcpy(&value, buffer, sizeof value);
  return value;
}

std::string DiagText(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record, SQLSMALLINT field) {
  char buffer[512] = {};
  SQLSMALLINT length = 0;
  SQLRETURN rc = SQLGetDiagField(type, handle, record, field, buffer, sizeof buffer - 1, &length);
  if (!SQL_SUCCEEDED(rc)) return {};
  return std::string(buffer, strnlen(buffer, sizeof buffer - 1));
}

void CollectRecords(SQLSMALLINT type, SQLHANDLE handle, const COdbcContext& context) {
  for (SQLSMALLINT number = 1; number > 0; ++number) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    std::string text(512, '\0');
    SQLRETURN rc = SQLGetDiagRec(type, handle, number, state, &native, reinterpret_cast<SQLCHAR*>(text.data()),
                                 static_cast<SQLSMALLINT>(text.size()), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    if (length >= static_cast<SQLSMALLINT>(text.size())) {
      // The message did not fit; ask again with room for all of it.
      text.assign(static_cast<std::size_t>(length) + 1, '\0');
      rc = SQLGetDiagRec(type, handle, number, state, &native, reinterpret_cast<SQLCHAR*>(text.data()),
                         static_cast<SQLSMALLINT>(std::min<std::size_t>(text.size(), SHRT_MAX)), &length);
      if (!SQL_SUCCEEDED(rc)) break;
    }
    CDatabaseDiagnostic record;
    // The driver's length is not trusted: the text ends at its terminating zero.
    record.strMessage = context.FromDriver(std::string_view(text.data(), strnlen(text.data(), text.size())));
    record.strSqlState.assign(reinterpret_cast<const char*>(state), strnlen(reinterpret_cast<const char*>(state), 5));
    record.nNative = native;
    if (context.bServerFields) {
      record.strServer = context.FromDriver(DiagText(type, handle, number, kDiagSSServerName));
      record.strProcedure = context.FromDriver(DiagText(type, handle, number, kDiagSSProcedureName));
      record.nState = static_cast<std::uint8_t>(DiagInteger(type, handle, number, kDiagSSMsgState));
      record.nClass = static_cast<std::uint8_t>(DiagInteger(type, handle, number, kDiagSSSeverity));
      record.nLine = static_cast<std::uint16_t>(DiagInteger(type, handle, number, kDiagSSLine));
    }
    context.pDiagnostics->Add(std::move(record));
  }
}

// Whether text is plain ASCII, which every code page and UTF-8 share; eight bytes at a
// time, since nearly every value is.
bool IsAscii(std::string_view text) {
  const char* data = text.data();
  std::size_t size = text.size();
  std::uint64_t high = 0;
  if (size >= 8) {
    // The last word overlaps the one before rather than leaving a tail of bytes.
    std::memcpy(&high, data + size - 8, sizeof high);
    for (std::size_t i = 0; i + 8 < size; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      high |= word;
    }
  } else if (size >= 4) {
    std::uint32_t first;
    std::uint32_t last;
    std::memcpy(&first, data, sizeof first);
    std::memcpy(&last, data + size - 4, sizeof last);
    high = first | last;
  } else {
    for (std::size_t i = 0; i < size; ++i) high |= static_cast<unsigned char>(data[i]);
  }
  return (high & 0x8080808080808080ull) == 0;
}

// The one checking helper: passes the result through and, with a context, files the
// records that the call left on its handle.
SQLRETURN Call(const COdbcContext* context, SQLSMALLINT type, SQLHANDLE handle, SQLRETURN rc) {
  if (context == nullptr || context->pDiagnostics == nullptr || rc == SQL_SUCCESS) return rc;
  if (rc == SQL_INVALID_HANDLE) {
    context->pDiagnostics->Add(OwnRecord("HY000", "Invalid ODBC handle"));
    return rc;
  }
  if (handle != SQL_NULL_HANDLE) CollectRecords(type, handle, *context);
  return rc;
}

bool Succeeded(SQLRETURN rc) { return SQL_SUCCEEDED(rc); }

SQLPOINTER IntegerAttribute(std::uint64_t value) { return reinterpret_cast<SQLPOINTER>(static_cast<std::uintptr_t>(value)); }

// Move-only owner of one ODBC handle.
class COdbcHandle {
 public:
  COdbcHandle() = default;
  COdbcHandle(SQLSMALLINT type, SQLHANDLE handle) : m_nType(type), m_hHandle(handle) {}
  COdbcHandle(const COdbcHandle&) = delete;
  COdbcHandle& operator=(const COdbcHandle&) = delete;
  COdbcHandle(COdbcHandle&& other) noexcept
      : m_nType(other.m_nType), m_hHandle(std::exchange(other.m_hHandle, nullptr)) {}
  COdbcHandle& operator=(COdbcHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      m_nType = other.m_nType;
      m_hHandle = std::exchange(other.m_hHandle, nullptr);
    }
    return *this;
  }
  ~COdbcHandle() { Reset(); }

  SQLHANDLE Get() const { return m_hHandle; }
  SQLSMALLINT Type() const { return m_nType; }
  bool Valid() const { return m_hHandle != SQL_NULL_HANDLE; }

  void Reset() noexcept {
    if (m_hHandle != SQL_NULL_HANDLE) Call(nullptr, m_nType, m_hHandle, SQLFreeHandle(m_nType, m_hHandle));
    m_hHandle = SQL_NULL_HANDLE;
  }

 private:
  SQLSMALLINT m_nType = 0;
  SQLHANDLE m_hHandle = SQL_NULL_HANDLE;
};

// Allocates a handle under parent; the records of a failure are on the parent.
bool Allocate(const COdbcContext& context, SQLSMALLINT type, const COdbcHandle* parent, COdbcHandle& handle) {
  SQLHANDLE raw = SQL_NULL_HANDLE;
  SQLHANDLE input = parent != nullptr ? parent->Get() : SQL_NULL_HANDLE;
  SQLRETURN rc = Call(&context, parent != nullptr ? parent->Type() : type, input, SQLAllocHandle(type, input, &raw));
  if (!Succeeded(rc) || raw == SQL_NULL_HANDLE) {
    if (parent == nullptr || context.pDiagnostics->Empty()) {
      context.pDiagnostics->Add(OwnRecord("HY001", "The ODBC handle could not be allocated"));
    }
    return false;
  }
  handle = COdbcHandle(type, raw);
  return true;
}


class COdbcStatement final : public IDatabaseStatement {
 public:
  COdbcStatement(COdbcHandle statement, const COdbcContext& context)
      : m_hOwnedStatement(std::move(statement)), m_hStatement(m_hOwnedStatement.Get()), m_context(context) {}
  COdbcStatement(const COdbcStatement&) = delete;
  COdbcStatement& operator=(const COdbcStatement&) = delete;

  ~COdbcStatement() override { Close(); }

  bool Execute(const std::string& text) override {
    m_bOpen = true;
    Diagnostics().Clear();
    // Closes whatever cursor the batch before left open.
    SQLRETURN rc = Call(&m_context, SQL_HANDLE_STMT, m_hStatement, SQLFreeStmt(m_hStatement, SQL_CLOSE));
    if (!Succeeded(rc)) return false;
    Diagnostics().Clear();
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
      Diagnostics().Add(OwnRecord("HY090", "The command text is too long"));
      return false;
    }
    m_strText = m_context.ToDriver(text);
    m_arrStatements.clear();
    m_nNextStatement = 0;
    if (m_context.bOneStatementPerCall) {
      m_arrStatements = SplitOdbcStatements(m_strText);
      // One statement (or none worth cutting) goes to the driver as written.
      if (m_arrStatements.size() <= 1) m_arrStatements.clear();
    }
    Diagnostics().Clear();
    m_nExecuteResult = ExecuteStatement(m_arrStatements.empty() ? m_strText : m_arrStatements[0]);
    m_nNextStatement = 1;
    m_bFirstResult = true;
    // SQL_NO_DATA: a searched update or delete that touched no row.
    return Succeeded(m_nExecuteResult) || m_nExecuteResult == SQL_NO_DATA;
  }

  // Leaves the statement handle as the next batch finds it: no cursor, no bindings and no
  // pointers into buffers that may change.
  void Close() override {
    if (!m_bOpen) return;
    m_bOpen = false;
    CloseCursor();
    Call(nullptr, SQL_HANDLE_STMT, m_hStatement, SQLSetStmtAttr(m_hStatement, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0));
    Call(nullptr, SQL_HANDLE_STMT, m_hStatement, SQLSetStmtAttr(m_hStatement, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0));
    Call(nullptr, SQL_HANDLE_STMT, m_hStatement,
         SQLSetStmtAttr(m_hStatement, SQL_ATTR_ROW_ARRAY_SIZE, IntegerAttribute(1), 0));
  }

  DatabaseResult NextResult() override {
    SQLRETURN rc;
    bool first = m_bFirstResult;
    if (first) {
      // The records of the execution stay for the walk that follows this result.
      m_bFirstResult = false;
      rc = m_nExecuteResult;
    } else {
      Diagnostics().Clear();
      rc = Call(&m_context, SQL_HANDLE_STMT, m_hStatement, SQLMoreResults(m_hStatement));
      if (rc == SQL_NO_DATA && m_nNextStatement < m_arrStatements.size()) {
        // The next statement of a batch the driver takes one at a time: its first result
        // follows the previous statement's last.
        rc = ExecuteStatement(m_arrStatements[m_nNextStatement++]);
        if (rc == SQL_NO_DATA) return DatabaseResult::NoRowset;
      }
    }
    switch (rc) {
      case SQL_SUCCESS:
      case SQL_SUCCESS_WITH_INFO: {
        SQLSMALLINT count = 0;
        if (!Succeeded(Call(nullptr, SQL_HANDLE_STMT, m_hStatement, SQLNumResultCols(m_hStatement, &count)))) count = 0;
        return count > 0 ? DatabaseResult::Rowset : DatabaseResult::NoRowset;
      }
      case SQL_NO_DATA:
        return first ? DatabaseResult::NoRowset : DatabaseResult::NoMoreResults;
      case SQL_ERROR:
      case SQL_INVALID_HANDLE:
      case SQL_NEED_DATA:
      case SQL_STILL_EXECUTING:
        return DatabaseResult::Failed;
      default:
        return DatabaseResult::OtherSuccess;
    }
  }

  bool DescribeColumns(std::vector<CDatabaseColumn>& columns) override {
    Diagnostics().Clear();
    columns.clear();
    SQLSMALLINT count = 0;
    if (!Succeeded(Call(&m_context, SQL_HANDLE_STMT, m_hStatement, SQLNumResultCols(m_hStatement, &count)))) return false;
    for (SQLUSMALLINT number = 1; number <= static_cast<SQLUSMALLINT>(std::max<SQLSMALLINT>(count, 0)); ++number) {
      std::string name(256, '\0');
      SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      SQLRETURN rc = Call(&m_context, SQL_HANDLE_STMT, m_hStatement,
                          SQLDescribeCol(m_hStatement, number, reinterpret_cast<SQLCHAR*>(name.data()),
                                         static_cast<SQLSMALLINT>(name.size()), &nameLength, &type, &size, &digits,
                                         &nullable));
      if (!Succeeded(rc)) return false;
      if (nameLength >= static_cast<SQLSMALLINT>(name.size())) {
        name.assign(static_cast<std::size_t>(nameLength) + 1, '\0');
        rc = Call(&m_context, SQL_HANDLE_STMT, m_hStatement,
                  SQLDescribeCol(m_hStatement, number, reinterpret_cast<SQLCHAR*>(name.data()),
                                 static_cast<SQLSMALLINT>(std::min<std::size_t>(name.size(), SHRT_MAX)), &nameLength,
                                 &type, &size, &digits, &nullable));
        if (!Succeeded(rc)) return false;
      }
      CDatabaseColumn column;
      column.strName = m_context.FromDriver(std::string_view(name.data(), strnlen(name.data(), name.size())));
      column.nSize = size;
      switch (type) {
        case SQL_LONGVARCHAR:
        case SQL_WLONGVARCHAR:
        case SQL_LONGVARBINARY:
        case kSqlServerXml:
          column.nGroup = DatabaseTypeGroup::Long;
          break;
        case SQL_BINARY:
        case SQL_VARBINARY:
        case kSqlServerUdt:
          // varbinary(max) and large user types come with size 0 (or over 8000): long
          // columns, as the server's own provider flags them.
          column.nGroup = size == 0 || size > 8000 ? DatabaseTypeGroup::Long : DatabaseTypeGroup::Other;
          break;
        case SQL_CHAR:
        case SQL_VARCHAR:
        case SQL_WCHAR:
        case SQL_WVARCHAR:
          column.nGroup = DatabaseTypeGroup::Character;
          break;
        default:
          column.nGroup = DatabaseTypeGroup::Other;
          break;
      }
      columns.push_back(std::move(column));
    }
    return true;
  }

  bool BindColumns(const std::vector<std::uint64_t>& widths, std::size_t rowsPerFetch) override {
    Diagnostics().Clear();
    // Old bindings point into the buffers about to be replaced.
    if (!Succeeded(Call(&m_context, SQL_HANDLE_STMT, m_hStatement, SQLFreeStmt(m_hStatement, SQL_UNBIND)))) return false;
    ForgetBindings();
    rowsPerFetch = std::max<std::size_t>(rowsPerFetch, 1);
    // A slot holds width - 1 characters. Where the driver speaks UTF-8, one character of
    // the code page may take up to four bytes there: the slot is cut to width - 1 after
    // the conversion, never before.
    std::vector<std::uint64_t> slots;
    for (std::uint64_t width : widths) {
      std::uint64_t slot = std::max<std::uint64_t>(width, 1);
      if (slot > kMaxBlockBytes) return TooWide();
      if (m_context.Converts() && m_context.driverPage->IsUtf8()) slot = (slot - 1) * 4 + 1;
      slots.push_back(slot);
    }
    // A driver that pads a value to its slot's end makes a wide slot cost its whole width
    // for every value. Where such a driver can read a bound column again, wide columns are
    // bound narrow and a value that does not fit is read whole; a driver that does not pad
    // gets slots of the full width, in blocks of many rows.
    bool narrow = m_context.bPadsSlots && (m_context.bRereadsBlockRows || m_context.bRereadsBoundColumns);
    // Without positioning a value can only be read again in a block of one row.
    bool singleRows = !m_context.bRereadsBlockRows && narrow &&
                      std::any_of(slots.begin(), slots.end(), [](std::uint64_t slot) { return slot > kNarrowSlot; });
    std::uint64_t rowBytes = 0;
    for (std::uint64_t slot : slots) {
      rowBytes += (narrow ? std::min(slot, kNarrowSlot) : slot) + sizeof(SQLLEN);
      if (rowBytes > kMaxBlockBytes) return TooWide();
    }
    if (rowBytes * rowsPerFetch > kMaxBlockBytes) return TooWide();
    // Blocks of many rows save driver calls per row, within a budget of slot memory (rows
    // of wide slots come fewer at a time, down to one); the runner takes its rows per
    // fetch out of them.
    std::size_t blockRows = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(kBlockBudget / rowBytes, 1, std::max(kBlockRows, rowsPerFetch)));
    if (singleRows) blockRows = 1;
    SQLRETURN rc = Call(&m_context, SQL_HANDLE_STMT, m_hStatement,
                        SQLSetStmtAttr(m_hStatement, SQL_ATTR_ROW_ARRAY_SIZE, IntegerAttribute(blockRows), 0));
    if (!Succeeded(rc)) return false;
    if (rc == SQL_SUCCESS_WITH_INFO) {
      // The driver chose its own block size (01S02); fetch with what it took.
      SQLULEN actual = 0;
      if (Succeeded(Call(&m_context, SQL_HANDLE_STMT, m_hStatement,
                         SQLGetStmtAttr(m_hStatement, SQL_ATTR_ROW_ARRAY_SIZE, &actual, 0, nullptr))) &&
          actual >= 1) {
        blockRows = std::min<std::size_t>(blockRows, actual);
      }
    }
    try {
      m_arrRowStatus.assign(blockRows, SQL_ROW_SUCCESS);
      m_arrColumns.resize(widths.size());
      for (std::size_t i = 0; i < widths.size(); ++i) {
        CColumnBuffer& column = m_arrColumns[i];
        column.nWidth = static_cast<std::size_t>(slots[i]);
        column.nLimit = static_cast<std::size_t>(std::max<std::uint64_t>(widths[i], 1) - 1);
        column.nBound = static_cast<std::size_t>(narrow ? std::min(slots[i], kNarrowSlot) : slots[i]);
        column.arrText.assign(column.nBound * blockRows, '\0');
        column.arrIndicator.assign(blockRows, SQL_NULL_DATA);
        // A value that grows in the conversion past its slot moves to the values held whole.
        column.arrWhole.assign(column.nBound < column.nWidth || m_context.Grows() ? blockRows : 0, 0);
      }
    } catch (const std::bad_alloc&) {
      m_arrColumns.clear();
      Diagnostics().Add(OwnRecord("HY001", "Memory allocation error"));
      return false;
    }
    rc = Call(&m_context, SQL_HANDLE_STMT, m_hStatement,
              SQLSetStmtAttr(m_hStatement, SQL_ATTR_ROW_BIND_TYPE, IntegerAttribute(SQL_BIND_BY_COLUMN), 0));
    if (!Succeeded(rc)) return false;
    rc = Call(&m_context, SQL_HANDLE_STMT, m_hStatement,
              SQLSetStmtAttr(m_hStatement, SQL_ATTR_ROWS_FETCHED_PTR, &m_nRowsFetched, 0));
    if (!Succeeded(rc)) return false;
    rc = Call(&m_context, SQL_HANDLE_STMT, m_hStatement,
              SQLSetStmtAttr(m_hStatement, SQL_ATTR_ROW_STATUS_PTR, m_arrRowStatus.data(), 0));
    if (!Succeeded(rc)) return false;
    for (std::size_t i = 0; i < m_arrColumns.size(); ++i) {
      CColumnBuffer& column = m_arrColumns[i];
      rc = Call(&m_context, SQL_HANDLE_STMT, m_hStatement,
                SQLBindCol(m_hStatement, static_cast<SQLUSMALLINT>(i + 1), SQL_C_CHAR, column.arrText.data(),
                           static_cast<SQLLEN>(column.nBound), column.arrIndicator.data()));
      if (!Succeeded(rc)) return false;
    }
    m_nBlockCapacity = blockRows;
    m_nRowsPerFetch = rowsPerFetch;
    return true;
  }

  std::size_t FetchRows() override {
    m_bFetchFailed = false;
    if (m_nRowsPerFetch == 0) return 0;
    m_nBlockNext += m_nTaken;
    m_nTaken = 0;
    if (m_nBlockNext >= m_nBlockRows && !FetchBlock()) return 0;
    m_nTaken = std::min(m_nRowsPerFetch, m_nBlockRows - m_nBlockNext);
    return m_nTaken;
  }

  bool FetchFailed() const override { return m_bFetchFailed; }

  std::string_view Value(std::size_t row, std::size_t column) const override {
    if (row >= m_nTaken || column >= m_arrColumns.size()) return {};
    return BlockValue(m_nBlockNext + row, column);
  }

  void RowValues(std::size_t row, std::span<std::string_view> values) const override {
    std::size_t count = row < m_nTaken ? std::min(values.size(), m_arrColumns.size()) : 0;
    std::size_t blockRow = m_nBlockNext + row;
    if (count != 0 && !RowReadable(blockRow)) count = 0;
    for (std::size_t i = 0; i < count; ++i) values[i] = SlotValue(blockRow, i);
    for (std::size_t i = count; i < values.size(); ++i) values[i] = {};
  }

 private:
  struct CColumnBuffer {
    std::size_t nWidth = 1;  // bytes a value may take, terminating zero included
    std::size_t nBound = 1;  // bytes of the bound slot: nWidth, or fewer for a wide column
    std::size_t nLimit = 0;  // bytes a value keeps in the procedure's code page
    std::vector<char> arrText;
    std::vector<SQLLEN> arrIndicator;
    // Per row of a narrowly bound column: 1 + the index of its value read whole, or 0.
    std::vector<std::uint32_t> arrWhole;
  };

  // Bound slots of wider columns take this many bytes; longer values are read again.
  static constexpr std::uint64_t kNarrowSlot = 512;
  // Rows asked of the driver per fetch, as far as kBlockBudget bytes of slots allow.
  static constexpr std::uint64_t kBlockRows = 256;
  static constexpr std::uint64_t kBlockBudget = std::uint64_t{1} << 20;

  CDatabaseDiagnostics& Diagnostics() const { return *m_context.pDiagnostics; }

  bool TooWide() {
    Diagnostics().Add(OwnRecord("HY001", "The rows of this result are too wide to fetch"));
    return false;
  }

  void ForgetBindings() {
    m_arrColumns.clear();
    m_nRowsFetched = 0;
    m_nRowsPerFetch = 0;
    m_nBlockCapacity = 0;
    m_nBlockRows = 0;
    m_nBlockNext = 0;
    m_nTaken = 0;
  }

  void CloseCursor() {
    Call(nullptr, SQL_HANDLE_STMT, m_hStatement, SQLFreeStmt(m_hStatement, SQL_CLOSE));
    Call(nullptr, SQL_HANDLE_STMT, m_hStatement, SQLFreeStmt(m_hStatement, SQL_UNBIND));
  }

  // Runs one statement on a handle without a cursor or bindings left from the one before.
  SQLRETURN ExecuteStatement(std::string& text) {
    CloseCursor();
    ForgetBindings();
    return Call(&m_context, SQL_HANDLE_STMT, m_hStatement,
                SQLExecDirect(m_hStatement, reinterpret_cast<SQLCHAR*>(text.data()),
                              static_cast<SQLINTEGER>(text.size())));
  }

  // Fetches the next block from the driver; false at the end or on a failure.
  bool FetchBlock() {
    m_nBlockRows = 0;
    m_nBlockNext = 0;
    // Marks of values read whole only where the block before had some.
    bool whole = !m_arrWhole.empty();
    m_arrWhole.clear();
    // A row the driver does not write (a failed read) then reads as empty values. (A
    // block of one row, as some drivers need, is set without a call.)
    auto reset = [](auto& items, auto value) {
      if (items.size() == 1) {
        items[0] = value;
      } else {
        std::fill(items.begin(), items.end(), value);
      }
    };
    reset(m_arrRowStatus, static_cast<SQLUSMALLINT>(SQL_ROW_SUCCESS));
    for (CColumnBuffer& column : m_arrColumns) {
      reset(column.arrIndicator, static_cast<SQLLEN>(SQL_NULL_DATA));
      if (whole) reset(column.arrWhole, 0u);
    }
    m_nRowsFetched = 0;
    // Warnings (values cut by their slots) are not collected for every block; a failure's
    // records are: the rows before it are not the whole result.
    SQLRETURN rc = SQLFetch(m_hStatement);
    if (rc == SQL_NO_DATA) return false;
    const std::size_t before = Diagnostics().Count();
    if (!Succeeded(rc)) {
      Call(&m_context, SQL_HANDLE_STMT, m_hStatement, rc);
      if (Diagnostics().Count() == before) Diagnostics().Add(OwnRecord("HY000", "The driver failed to fetch the next rows"));
      m_bFetchFailed = true;
      return false;
    }
    std::size_t rows = std::min<std::size_t>(m_nRowsFetched, m_nBlockCapacity);
    for (std::size_t column = 0; column < m_arrColumns.size(); ++column) {
      const CColumnBuffer& buffer = m_arrColumns[column];
      if (buffer.nBound == buffer.nWidth) continue;
      for (std::size_t row = 0; row < rows; ++row) {
        SQLLEN indicator = buffer.arrIndicator[row];
        bool cut = indicator == SQL_NO_TOTAL || (indicator >= 0 && static_cast<std::uint64_t>(indicator) >= buffer.nBound);
        if (cut && RowReadable(row) && !ReadWhole(row, column)) {
          // A value the driver would not give whole would go out cut short, as if that
          // were all of it: the rows end here with the driver's reason.
          if (Diagnostics().Count() == before) {
            Diagnostics().Add(OwnRecord("HY000", "The driver failed to read a long value whole"));
          }
          m_bFetchFailed = true;
          return false;
        }
      }
    }
    if (m_context.Converts()) ConvertFetchedValues(rows);
    m_nBlockRows = rows;
    return rows != 0;
  }

  bool RowReadable(std::size_t row) const {
    SQLUSMALLINT status = m_arrRowStatus[row];
    return status != SQL_ROW_ERROR && status != SQL_ROW_NOROW && status != SQL_ROW_DELETED;
  }

  // Reads a value that its narrow slot cut, whole up to the column's width. False when
  // the driver refuses (its records are filed): the slot holds only part of the value.
  bool ReadWhole(std::size_t row, std::size_t column) {
    CColumnBuffer& buffer = m_arrColumns[column];
    if (m_nBlockCapacity > 1) {
      SQLRETURN rc = SQLSetPos(m_hStatement, static_cast<SQLSETPOSIROW>(row + 1), SQL_POSITION, SQL_LOCK_NO_CHANGE);
      if (!Succeeded(rc)) {
        Call(&m_context, SQL_HANDLE_STMT, m_hStatement, rc);
        return false;
      }
    }
    std::string whole(buffer.nWidth, '\0');
    SQLLEN indicator = SQL_NULL_DATA;
    SQLRETURN rc = SQLGetData(m_hStatement, static_cast<SQLUSMALLINT>(column + 1), SQL_C_CHAR, whole.data(),
                              static_cast<SQLLEN>(buffer.nWidth), &indicator);
    if (!Succeeded(rc)) {
      Call(&m_context, SQL_HANDLE_STMT, m_hStatement, rc);
      return false;
    }
    if (indicator == SQL_NULL_DATA) return true;
    std::size_t length = buffer.nWidth - 1;
    if (indicator >= 0 && static_cast<std::uint64_t>(indicator) < length) length = static_cast<std::size_t>(indicator);
    whole.resize(strnlen(whole.data(), length));
    if (m_context.cutPage && whole.size() == buffer.nWidth - 1) whole.resize(WholeCharacters(*m_context.cutPage, whole));
    m_arrWhole.push_back(std::move(whole));
    buffer.arrWhole[row] = static_cast<std::uint32_t>(m_arrWhole.size());
    return true;
  }

  // Text of one column of one row of the block, as much as its slot (or the value read
  // whole) held; NULL is empty. A length the driver reports is trusted up to the slot (the
  // result set still ends a value at its first zero byte); without one the text ends at
  // its terminating zero.
  std::string_view BlockValue(std::size_t row, std::size_t column) const {
    if (!RowReadable(row)) return {};
    return SlotValue(row, column);
  }

  // BlockValue of a row known to be readable.
  std::string_view SlotValue(std::size_t row, std::size_t column) const {
    const CColumnBuffer& buffer = m_arrColumns[column];
    SQLLEN indicator = buffer.arrIndicator[row];
    if (indicator == SQL_NULL_DATA) return {};
    if (!buffer.arrWhole.empty() && buffer.arrWhole[row] != 0) return m_arrWhole[buffer.arrWhole[row] - 1];
    const char* text = buffer.arrText.data() + row * buffer.nBound;
    std::size_t limit = buffer.nBound - 1;
    if (indicator >= 0 && static_cast<std::uint64_t>(indicator) < limit) {
      return std::string_view(text, static_cast<std::size_t>(indicator));
    }
    std::string_view value(text, strnlen(text, limit));
    if (m_context.cutPage && value.size() == limit) value = value.substr(0, WholeCharacters(*m_context.cutPage, value));
    return value;
  }

  // Values arrive in the driver's code page and become the procedure's. From UTF-8 the
  // 8-bit text is never longer and is converted in place; a value that grows beyond its
  // slot (8-bit text becoming UTF-8) moves to the values held whole. A character cut by the
  // slot is dropped, not half-kept.
  void ConvertFetchedValues(std::size_t rows) {
    for (std::size_t column = 0; column < m_arrColumns.size(); ++column) {
      CColumnBuffer& buffer = m_arrColumns[column];
      for (std::size_t row = 0; row < rows; ++row) {
        std::string_view value = BlockValue(row, column);
        if (IsAscii(value)) continue;
        if (!buffer.arrWhole.empty() && buffer.arrWhole[row] != 0) {
          std::string& text = m_arrWhole[buffer.arrWhole[row] - 1];
          text = ConvertValue(text, buffer.nWidth, buffer.nLimit);
          continue;
        }
        char* text = buffer.arrText.data() + row * buffer.nBound;
        std::string converted = ConvertValue(value, buffer.nBound, buffer.nLimit);
        if (converted.size() < buffer.nBound) {
          std::memcpy(text, converted.data(), converted.size());
          text[converted.size()] = '\0';
          buffer.arrIndicator[row] = static_cast<SQLLEN>(converted.size());
        } else if (!buffer.arrWhole.empty()) {
          m_arrWhole.push_back(std::move(converted));
          buffer.arrWhole[row] = static_cast<std::uint32_t>(m_arrWhole.size());
        } else {
          // Not reached: only 8-bit text grows, and its columns keep room for it.
          std::size_t length = buffer.nBound - 1;
          std::memcpy(text, converted.data(), length);
          text[length] = '\0';
          buffer.arrIndicator[row] = static_cast<SQLLEN>(length);
        }
      }
    }
  }

  // The value read into a buffer of slotBytes, in the procedure's code page, at most limit
  // bytes of it.
  std::string ConvertValue(std::string_view value, std::size_t slotBytes, std::size_t limit) const {
    std::size_t length = value.size();
    if (value.size() + 1 >= slotBytes) length = WholeCharacters(*m_context.driverPage, value);
    std::string converted = m_context.FromDriver(value.substr(0, length));
    // From UTF-8 the text only shrinks; the slot's bytes are all it may take.
    if (!m_context.Grows() && converted.size() > value.size()) converted.resize(value.size());
    if (converted.size() > limit) {
      // Cut here, where the code page is known, so that the slot keeps whole characters:
      // half of a double-byte pair (or of a UTF-8 sequence) would take the next byte of
      // the message with it.
      converted.resize(limit);
      converted.resize(WholeCharacters(*m_context.textPage, converted));
    }
    return converted;
  }

  // The bytes of value up to the end of its last whole character, for a value the slot
  // cut: a last sequence that lost its continuation bytes (UTF-8) or the second byte of a
  // pair (the double-byte code pages) is dropped.
  static std::size_t WholeCharacters(const CCodePage& page, std::string_view value) {
    std::size_t length = value.size();
    if (page.IsUtf8()) {
      std::size_t start = length;
      while (start > 0 && (static_cast<unsigned char>(value[start - 1]) & 0xC0) == 0x80) --start;
      if (start > 0) {
        unsigned char lead = static_cast<unsigned char>(value[start - 1]);
        std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (lead >= 0xC0 && length - (start - 1) < need) length = start - 1;
      }
    } else if (page.IsDoubleByte() && length > 0) {
      std::size_t at = 0;
      while (at + 1 < length) at += page.CharacterLength(value, at);
      // A last byte that starts a pair reads as a pair when another byte follows it.
      const char pair[2] = {value[length - 1], 'A'};
      if (at == length - 1 && page.CharacterLength(std::string_view(pair, 2), 0) == 2) length = at;
    }
    return length;
  }

  // Declared first, so that the handle is freed last, once Close has unbound the buffers.
  COdbcHandle m_hOwnedStatement;
  SQLHSTMT m_hStatement;
  const COdbcContext& m_context;
  bool m_bOpen = false;  // a batch ran and was not closed: its cursor and bindings may stay
  std::string m_strText;
  std::vector<std::string> m_arrStatements;
  std::size_t m_nNextStatement = 0;
  SQLRETURN m_nExecuteResult = SQL_ERROR;
  bool m_bFirstResult = false;
  std::vector<CColumnBuffer> m_arrColumns;
  std::vector<SQLUSMALLINT> m_arrRowStatus;
  // Values of the block that their narrow slots cut, read whole.
  std::vector<std::string> m_arrWhole;
  std::size_t m_nRowsPerFetch = 0;   // rows handed to the runner per FetchRows
  std::size_t m_nBlockCapacity = 0;  // rows the driver fetches per block
  std::size_t m_nBlockRows = 0;      // rows in the current block
  std::size_t m_nBlockNext = 0;      // first block row of the current hand-out
  std::size_t m_nTaken = 0;          // rows of the current hand-out
  bool m_bFetchFailed = false;
  SQLULEN m_nRowsFetched = 0;
};

class COdbcConnection final : public IDatabaseConnection {
 public:
  explicit COdbcConnection(CDatabaseDiagnostics& diagnostics) { m_context.pDiagnostics = &diagnostics; }
  COdbcConnection(const COdbcConnection&) = delete;
  COdbcConnection& operator=(const COdbcConnection&) = delete;

  ~COdbcConnection() override {
    WipeConnectionString();
    if (m_bConnected) Call(nullptr, SQL_HANDLE_DBC, m_hConnection.Get(), SQLDisconnect(m_hConnection.Get()));
  }

  // The environment the connection handle is allocated in.
  bool AllocateEnvironment() {
    if (!Allocate(m_context, SQL_HANDLE_ENV, nullptr, m_hEnvironment)) return false;
    SQLRETURN rc = Call(&m_context, SQL_HANDLE_ENV, m_hEnvironment.Get(),
                        SQLSetEnvAttr(m_hEnvironment.Get(), SQL_ATTR_ODBC_VERSION, IntegerAttribute(SQL_OV_ODBC3), 0));
    return Succeeded(rc);
  }

  bool AllocateHandle() override {
    m_context.pDiagnostics->Clear();
    if (m_hConnection.Valid()) return true;
    return Allocate(m_context, SQL_HANDLE_DBC, &m_hEnvironment, m_hConnection);
  }

  bool SetAttributes(const CDatabaseProperties& properties) override {
    m_context.pDiagnostics->Clear();
    if (!m_hConnection.Valid()) {
      m_context.pDiagnostics->Add(OwnRecord("HY010", "The connection handle is not open"));
      return false;
    }
    m_context.bServerFields = HasServerDiagnostics(properties.strDriver);
    m_context.bOneStatementPerCall = OdbcFamilyOf(properties.strDriver) == OdbcDriverFamily::SQLite;
    m_context.bPadsSlots = OdbcFamilyOf(properties.strDriver) != OdbcDriverFamily::PostgreSQL;
    m_context.driverPage.reset();
    m_context.textPage.reset();
    m_context.cutPage.reset();
    const int driverPage = SystemCodePage::AnsiCodePage();
    std::optional<CCodePage> driver = CCodePage::Find(driverPage);
    if (driverPage != properties.nCodePage) {
      std::optional<CCodePage> text = CCodePage::Find(properties.nCodePage);
      if (text && driver) {
        m_context.driverPage = driver;
        m_context.textPage = text;
      }
    }
    if (!m_context.textPage && driver && (driver->IsUtf8() || driver->IsDoubleByte())) m_context.cutPage = driver;
    CDatabaseProperties converted = properties;
    for (std::string* text : {&converted.strServer, &converted.strDatabase, &converted.strUser,
                              &converted.strPassword, &converted.strAttributes}) {
      *text = m_context.ToDriver(*text);
    }
    std::string problem;
    WipeConnectionString();
    bool built = BuildOdbcConnectionString(converted, m_strConnectionString, problem);
    std::fill(converted.strPassword.begin(), converted.strPassword.end(), '\0');
    if (!built) {
      m_context.pDiagnostics->Add(OwnRecord("HY024", problem));
      return false;
    }
    SQLRETURN rc = Call(&m_context, SQL_HANDLE_DBC, m_hConnection.Get(),
                        SQLSetConnectAttr(m_hConnection.Get(), SQL_ATTR_LOGIN_TIMEOUT,
                                          IntegerAttribute(static_cast<std::uint32_t>(std::max(properties.nLoginTimeout, 0))),
                                          0));
    return Succeeded(rc);
  }

  bool Connect() override {
    m_context.pDiagnostics->Clear();
    if (!m_hConnection.Valid() || m_strConnectionString.empty()) {
      m_context.pDiagnostics->Add(OwnRecord("HY010", "The connection has no properties"));
      return false;
    }
    SQLRETURN rc = Call(&m_context, SQL_HANDLE_DBC, m_hConnection.Get(),
                        SQLDriverConnect(m_hConnection.Get(), nullptr,
                                         reinterpret_cast<SQLCHAR*>(m_strConnectionString.data()), SQL_NTS, nullptr, 0,
                                         nullptr, SQL_DRIVER_NOPROMPT));
    // The string holds the password; it is not needed again.
    WipeConnectionString();
    m_bConnected = Succeeded(rc);
    return m_bConnected;
  }

  bool DescribeDriver() override {
    m_context.pDiagnostics->Clear();
    char name[256] = {};
    SQLSMALLINT length = 0;
    SQLRETURN rc = Call(&m_context, SQL_HANDLE_DBC, m_hConnection.Get(),
                        SQLGetInfo(m_hConnection.Get(), SQL_DRIVER_NAME, name, sizeof name - 1, &length));
    if (!Succeeded(rc)) return false;
    // The library the driver manager loaded says more than the name it was asked for.
    if (HasServerDiagnostics(std::string(name, strnlen(name, sizeof name - 1)))) m_context.bServerFields = true;
    // What the driver offers for reading values again; a question it does not answer
    // counts as no.
    SQLUINTEGER getData = 0;
    SQLUINTEGER positioning = 0;
    bool answered = Succeeded(Call(nullptr, SQL_HANDLE_DBC, m_hConnection.Get(),
                                   SQLGetInfo(m_hConnection.Get(), SQL_GETDATA_EXTENSIONS, &getData, sizeof getData,
                                              nullptr))) &&
                    Succeeded(Call(nullptr, SQL_HANDLE_DBC, m_hConnection.Get(),
                                   SQLGetInfo(m_hConnection.Get(), SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1, &positioning,
                                              sizeof positioning, nullptr)));
    m_context.bRereadsBoundColumns = answered && (getData & SQL_GD_BOUND) != 0;
    m_context.bRereadsBlockRows = m_context.bRereadsBoundColumns && (getData & SQL_GD_BLOCK) != 0 &&
                                  (positioning & SQL_CA1_POS_POSITION) != 0;
    return true;
  }

  std::unique_ptr<IDatabaseStatement> AllocateStatement() override {
    m_context.pDiagnostics->Clear();
    COdbcHandle statement;
    if (!Allocate(m_context, SQL_HANDLE_STMT, &m_hConnection, statement)) return nullptr;
    return std::make_unique<COdbcStatement>(std::move(statement), m_context);
  }

 private:
  void WipeConnectionString() {
    std::fill(m_strConnectionString.begin(), m_strConnectionString.end(), '\0');
    m_strConnectionString.clear();
  }

  COdbcContext m_context;
  // Declared before the connection handle, so that it is freed after it.
  COdbcHandle m_hEnvironment;
  COdbcHandle m_hConnection;
  std::string m_strConnectionString;
  bool m_bConnected = false;
};

class COdbcDatabaseClient final : public IDatabaseClient {
 public:
  bool CreateConnection(CDatabaseDiagnostics& diagnostics, std::unique_ptr<IDatabaseConnection>& connection) override {
    diagnostics.Clear();
    auto created = std::make_unique<COdbcConnection>(diagnostics);
    if (!created->AllocateEnvironment()) return false;
    connection = std::move(created);
    return true;
  }
};

}  // namespace

IDatabaseClient& DefaultDatabaseClient() {
  static COdbcDatabaseClient client;
  return client;
}

}  // namespace varnel
