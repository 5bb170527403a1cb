// Database client seam of the query runner, shaped as ODBC works: a client makes a
// connection, which is given its attributes, connects, describes its driver and
// allocates a statement; the statement executes a batch, walks its results and fetches
// their rows. A database is added by implementing these three interfaces. Each operation
// reports success as a boolean (or a null object) and leaves the records of its failure
// or warnings, as ODBC's diagnostic records, in the run's CDatabaseDiagnostics, where the
// runner walks them. Nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varnel {

// One diagnostic record. The SQL Server fields are filled only by drivers that have them
// (SQL Server's own drivers and FreeTDS); elsewhere they stay empty or 0.
struct CDatabaseDiagnostic {
  std::string strMessage;
  std::string strSqlState;  // five characters, as the driver reports them
  std::string strServer;
  std::string strProcedure;
  std::int32_t nNative = 0;
  std::uint8_t nState = 0;  // SQL Server message state
  std::uint8_t nClass = 0;  // SQL Server severity
  std::uint16_t nLine = 0;
};

// The records left by the most recent step: a step starts by clearing them, and a walk
// takes them, so a second walk right after the first finds nothing.
class CDatabaseDiagnostics {
 public:
  void Clear() { m_arrRecords.clear(); }
  void Add(CDatabaseDiagnostic record) { m_arrRecords.push_back(std::move(record)); }
  std::vector<CDatabaseDiagnostic> Take() { return std::exchange(m_arrRecords, {}); }
  bool Empty() const { return m_arrRecords.empty(); }
  std::size_t Count() const { return m_arrRecords.size(); }

 private:
  std::vector<CDatabaseDiagnostic> m_arrRecords;
};

// Everything the connection is opened with. Driver and extra attributes come from the
// installation's settings, the rest from the call.
struct CDatabaseProperties {
  std::string strDriver;
  std::string strAttributes;  // "KEY=value;..." appended as the administrator wrote it
  std::string strServer;
  std::string strDatabase;
  std::int32_t nLoginTimeout = 0;  // seconds
  bool bIntegrated = false;        // integrated security instead of user and password
  std::string strUser;
  std::string strPassword;
  int nCodePage = 0;  // the 8-bit code page of these texts and of the procedure's strings
};

// Column type as far as the width of its text slot depends on it.
enum class DatabaseTypeGroup {
  Long,       // long character or binary data
  Character,  // fixed or variable character data, narrow or wide
  Other,      // numbers, dates, binary, identifiers and the rest
};

struct CDatabaseColumn {
  std::string strName;
  DatabaseTypeGroup nGroup = DatabaseTypeGroup::Other;
  std::uint64_t nSize = 0;  // characters for character types; 0 when the driver has no limit
};

enum class DatabaseResult {
  Rowset,         // the current result has columns and rows to fetch
  NoRowset,       // a statement that produced no rows
  NoMoreResults,  // the command has no further result
  Failed,         // the next result could not be obtained
  OtherSuccess,   // a result the runner does not know; its records are walked as errors
};

// One statement: runs one batch at a time and reads its results. Must be destroyed before
// the connection it was allocated from.
class IDatabaseStatement {
 public:
  virtual ~IDatabaseStatement() = default;
  // Executes a batch; whatever an earlier batch left open is closed first.
  virtual bool Execute(const std::string& text) = 0;
  // Ends the batch: its cursor and any results not walked are let go at once (they may
  // hold locks in the caller's transaction), and the bindings with them.
  virtual void Close() = 0;
  // The first call reports the result that Execute produced; every later call moves on.
  virtual DatabaseResult NextResult() = 0;
  // Columns of the current rowset, in order.
  virtual bool DescribeColumns(std::vector<CDatabaseColumn>& columns) = 0;
  // Binds column i as text into a slot of widths[i] bytes, terminating zero included, and
  // sets the number of rows one fetch returns at most.
  virtual bool BindColumns(const std::vector<std::uint64_t>& widths, std::size_t rowsPerFetch) = 0;
  // Fetches the next block of rows; 0 at the end of the rowset or when the fetch fails
  // (then FetchFailed is true and the driver's records are in the diagnostics). Warnings
  // about rows (cut values) are not reported.
  virtual std::size_t FetchRows() = 0;
  // The last FetchRows ended the rows with a failure, not at their end: the rows fetched
  // so far are not the whole result.
  virtual bool FetchFailed() const = 0;
  // Text of one column of one row of the last block, as much as its slot held; NULL is
  // empty. Valid until the next FetchRows.
  virtual std::string_view Value(std::size_t row, std::size_t column) const = 0;
  // The texts of the first values.size() columns of one row, as Value gives them.
  virtual void RowValues(std::size_t row, std::span<std::string_view> values) const {
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = Value(row, i);
  }
};

// One connection, taken through its steps in this order. Must outlive its statement.
class IDatabaseConnection {
 public:
  virtual ~IDatabaseConnection() = default;
  // Allocates the connection handle that takes the attributes.
  virtual bool AllocateHandle() = 0;
  // Sets the login time-out and what the connection opens (driver, server, database,
  // login); nothing goes over the network yet.
  virtual bool SetAttributes(const CDatabaseProperties& properties) = 0;
  virtual bool Connect() = 0;
  // Learns what the connected driver is and offers.
  virtual bool DescribeDriver() = 0;
  // Null when no statement can be allocated.
  virtual std::unique_ptr<IDatabaseStatement> AllocateStatement() = 0;
};

class IDatabaseClient {
 public:
  virtual ~IDatabaseClient() = default;
  // Creates a connection (the environment it lives in); its steps and every object made
  // from it leave their records in diagnostics, which must outlive them. A client may
  // report success without an object, which the runner treats as a failure.
  virtual bool CreateConnection(CDatabaseDiagnostics& diagnostics,
                                std::unique_ptr<IDatabaseConnection>& connection) = 0;
};

}  // namespace varnel
