// Shared pieces of the query tests: a scripted database client that can fail at any
// step, fixed settings, temporary files and a reader for the runner's log lines.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/DatabaseClient.h"
#include "platform/Settings.h"

namespace varnel::test {

// The steps of a connection, named after the lines the runner logs around them.
enum class ScriptStep {
  None,
  CreateConnection,
  NullConnection,  // the client reports success but hands out no data source
  OpenProperties,      // AllocateHandle
  SetProperties,       // SetAttributes
  Connect,
  OpenSessionFactory,  // DescribeDriver
  CreateSession,       // AllocateStatement
};

struct CScriptResult {
  DatabaseResult nKind = DatabaseResult::NoRowset;
  std::vector<CDatabaseColumn> arrColumns;
  std::vector<std::vector<std::optional<std::string>>> arrRows;  // nullopt: NULL
  bool bFailDescribe = false;
  bool bFailBind = false;
  std::vector<CDatabaseDiagnostic> arrRecords;  // left when the result is reached
};

// Where the statement's Execute of one batch fails: as it closes the batch before (Create),
// as it takes the text (SetText), or as it runs it.
enum class CommandStep { None, Create, SetText, Execute };

struct CScriptCommand {
  CommandStep nFailAt = CommandStep::None;
  std::vector<CDatabaseDiagnostic> arrRecords;  // left by the failing step, or by Execute
  std::vector<CScriptResult> arrResults;        // then NoMoreResults
};

inline CDatabaseDiagnostic Record(std::string message, std::int32_t native = 0, std::string server = {},
                                  std::string procedure = {}, int state = 0, int severity = 0, int line = 0) {
  CDatabaseDiagnostic record;
  record.strMessage = std::move(message);
  record.strServer = std::move(server);
  record.strProcedure = std::move(procedure);
  record.nNative = native;
  record.nState = static_cast<std::uint8_t>(state);
  record.nClass = static_cast<std::uint8_t>(severity);
  record.nLine = static_cast<std::uint16_t>(line);
  return record;
}

inline CDatabaseColumn Column(std::string name, DatabaseTypeGroup group, std::uint64_t size = 0) {
  CDatabaseColumn column;
  column.strName = std::move(name);
  column.nGroup = group;
  column.nSize = size;
  return column;
}

// Everything the scripted client saw, for the tests to check.
struct CScriptLog {
  std::optional<CDatabaseProperties> properties;
  std::vector<std::string> arrCommands;
  std::vector<std::vector<std::uint64_t>> arrBoundWidths;
  std::vector<std::size_t> arrFetchSizes;  // rows handed out by each FetchRows call
  std::size_t nRowsPerFetch = 0;
  int nLiveCommands = 0;  // statements
  int nMaxLiveCommands = 0;
  std::size_t nOpenBatches = 0;  // executed and not closed
};

class CScriptedStatement final : public IDatabaseStatement {
 public:
  CScriptedStatement(const std::map<std::string, CScriptCommand>& commands, CDatabaseDiagnostics& diagnostics,
                     CScriptLog& log)
      : m_commands(commands), m_diagnostics(diagnostics), m_log(log) {
    m_log.nMaxLiveCommands = std::max(m_log.nMaxLiveCommands, ++m_log.nLiveCommands);
  }
  ~CScriptedStatement() override { --m_log.nLiveCommands; }

  bool Execute(const std::string& text) override {
    m_diagnostics.Clear();
    m_nMaxRows = 1;
    ++m_log.nOpenBatches;
    if (FailsAtCreate()) {
      for (const CDatabaseDiagnostic& record : m_commands.at("").arrRecords) m_diagnostics.Add(record);
      return false;
    }
    auto found = m_commands.find(text);
    m_script = found != m_commands.end() ? found->second : CScriptCommand{};
    m_log.arrCommands.push_back(text);
    if (Fails(CommandStep::SetText)) return false;
    m_diagnostics.Clear();
    if (Fails(CommandStep::Execute)) return false;
    for (const CDatabaseDiagnostic& record : m_script.arrRecords) m_diagnostics.Add(record);
    m_nResult = -1;
    m_bFirst = true;
    return true;
  }
  void Close() override { --m_log.nOpenBatches; }
  DatabaseResult NextResult() override {
    if (!m_bFirst) m_diagnostics.Clear();
    m_bFirst = false;
    ++m_nResult;
    if (m_nResult >= static_cast<int>(m_script.arrResults.size())) return DatabaseResult::NoMoreResults;
    const CScriptResult& result = Current();
    for (const CDatabaseDiagnostic& record : result.arrRecords) m_diagnostics.Add(record);
    m_nRow = 0;
    return result.nKind;
  }
  bool DescribeColumns(std::vector<CDatabaseColumn>& columns) override {
    m_diagnostics.Clear();
    if (Current().bFailDescribe) {
      m_diagnostics.Add(Record("no column information"));
      return false;
    }
    columns = Current().arrColumns;
    return true;
  }
  bool BindColumns(const std::vector<std::uint64_t>& widths, std::size_t rowsPerFetch) override {
    m_diagnostics.Clear();
    m_log.arrBoundWidths.push_back(widths);
    m_log.nRowsPerFetch = rowsPerFetch;
    if (Current().bFailBind) {
      m_diagnostics.Add(Record("no accessor"));
      return false;
    }
    m_nMaxRows = rowsPerFetch;
    return true;
  }
  std::size_t FetchRows() override {
    const auto& rows = Current().arrRows;
    m_nBlockStart = m_nRow;
    std::size_t count = std::min(m_nMaxRows, rows.size() - m_nRow);
    m_nRow += count;
    m_log.arrFetchSizes.push_back(count);
    return count;
  }
  bool FetchFailed() const override { return false; }
  std::string_view Value(std::size_t row, std::size_t column) const override {
    const std::optional<std::string>& value = Current().arrRows.at(m_nBlockStart + row).at(column);
    return value ? std::string_view(*value) : std::string_view();
  }

 private:
  bool FailsAtCreate() const {
    // Decided before the text is known: the "" entry scripts it.
    auto found = m_commands.find("");
    return found != m_commands.end() && found->second.nFailAt == CommandStep::Create;
  }
  bool Fails(CommandStep step) {
    if (m_script.nFailAt != step) return false;
    for (const CDatabaseDiagnostic& record : m_script.arrRecords) m_diagnostics.Add(record);
    return true;
  }
  const CScriptResult& Current() const { return m_script.arrResults.at(static_cast<std::size_t>(m_nResult)); }

  const std::map<std::string, CScriptCommand>& m_commands;
  CDatabaseDiagnostics& m_diagnostics;
  CScriptLog& m_log;
  CScriptCommand m_script;
  int m_nResult = -1;
  bool m_bFirst = false;
  std::size_t m_nRow = 0;
  std::size_t m_nBlockStart = 0;
  std::size_t m_nMaxRows = 1;
};

class CScriptedConnection final : public IDatabaseConnection {
 public:
  CScriptedConnection(ScriptStep failAt, const std::vector<CDatabaseDiagnostic>& records,
                      const std::map<std::string, CScriptCommand>& commands, CDatabaseDiagnostics& diagnostics,
                      CScriptLog& log)
      : m_nFailAt(failAt), m_records(records), m_commands(commands), m_diagnostics(diagnostics), m_log(log) {}
  bool AllocateHandle() override { return Step(ScriptStep::OpenProperties); }
  bool SetAttributes(const CDatabaseProperties& properties) override {
    m_log.properties = properties;
    return Step(ScriptStep::SetProperties);
  }
  bool Connect() override { return Step(ScriptStep::Connect); }
  bool DescribeDriver() override { return Step(ScriptStep::OpenSessionFactory); }
  std::unique_ptr<IDatabaseStatement> AllocateStatement() override {
    if (!Step(ScriptStep::CreateSession)) return nullptr;
    return std::make_unique<CScriptedStatement>(m_commands, m_diagnostics, m_log);
  }

 private:
  bool Step(ScriptStep step) {
    m_diagnostics.Clear();
    if (step != m_nFailAt) return true;
    for (const CDatabaseDiagnostic& record : m_records) m_diagnostics.Add(record);
    return false;
  }

  ScriptStep m_nFailAt;
  const std::vector<CDatabaseDiagnostic>& m_records;
  const std::map<std::string, CScriptCommand>& m_commands;
  CDatabaseDiagnostics& m_diagnostics;
  CScriptLog& m_log;
};

// A database client that follows a script: it fails at one chosen step with the given
// records, and answers each command text with its scripted results (a text without a
// script yields no result at all).
class CScriptedDatabase final : public IDatabaseClient {
 public:
  bool CreateConnection(CDatabaseDiagnostics& diagnostics, std::unique_ptr<IDatabaseConnection>& connection) override {
    diagnostics.Clear();
    if (m_nFailAt == ScriptStep::CreateConnection) {
      for (const CDatabaseDiagnostic& record : m_arrRecords) diagnostics.Add(record);
      return false;
    }
    if (m_nFailAt == ScriptStep::NullConnection) return true;
    connection = std::make_unique<CScriptedConnection>(m_nFailAt, m_arrRecords, m_commands, diagnostics, m_log);
    return true;
  }

  ScriptStep m_nFailAt = ScriptStep::None;
  std::vector<CDatabaseDiagnostic> m_arrRecords;
  std::map<std::string, CScriptCommand> m_commands;
  CScriptLog m_log;
};

class CFixedSettings final : public ISettings {
 public:
  CFixedSettings(std::string driver, std::string attributes)
      : m_strDriver(std::move(driver)), m_strAttributes(std::move(attributes)) {}
  SettingState BindIP(std::string&) override { return SettingState::Missing; }
  SettingState Value(const char* name, const char*, std::string& value) override {
    auto found = m_values.find(name);
    if (found == m_values.end()) return SettingState::Missing;
    value = found->second.second;
    return found->second.first;
  }
  std::string OdbcDriver() override { return m_strDriver; }
  std::string OdbcAttributes() override { return m_strAttributes; }
  int AnsiCodePage() override { return m_nCodePage; }

  // Named settings and how reading them ends; the rest are missing.
  std::map<std::string, std::pair<SettingState, std::string>> m_values;
  int m_nCodePage = 1252;

 private:
  std::string m_strDriver;
  std::string m_strAttributes;
};

// A directory of its own under the system's temporary directory, removed afterwards.
class CTemporaryDirectory {
 public:
  CTemporaryDirectory() {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0;; ++attempt) {
      std::ostringstream name;
      name << "varnel-query-" << ::getpid() << '-' << reinterpret_cast<std::uintptr_t>(this) << '-' << attempt;
      m_path = base / name.str();
      if (std::filesystem::create_directory(m_path)) break;
    }
  }
  ~CTemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  CTemporaryDirectory(const CTemporaryDirectory&) = delete;
  CTemporaryDirectory& operator=(const CTemporaryDirectory&) = delete;
  std::string File(const std::string& name) const { return (m_path / name).string(); }

 private:
  std::filesystem::path m_path;
};

// The messages of a runner's log file, without their time stamps.
inline std::vector<std::string> LogMessages(const std::string& file) {
  std::vector<std::string> messages;
  std::ifstream stream(file, std::ios::binary);
  std::string line;
  while (std::getline(stream, line)) {
    // "dd Mon yyyy hh:mm:ss - message"; lines continued from an inner line break carry
    // no time stamp and are kept as they are.
    if (line.size() >= 23 && line.compare(20, 3, " - ") == 0) {
      messages.push_back(line.substr(23));
    } else {
      messages.push_back(line);
    }
  }
  return messages;
}

}  // namespace varnel::test
