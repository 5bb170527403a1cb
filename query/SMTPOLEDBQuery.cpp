#include "query/SMTPOLEDBQuery.h"

#include <algorithm>
#include <string_view>

#include "platform/AsciiCase.h"
#include "platform/Settings.h"
#include "platform/Log.h"
#include "platform/TemporaryFile.h"

namespace varnel {
namespace {

// Rows are fetched this many at a time.
constexpr std::size_t kRowsPerFetch = 10;
// Width of the slot of a long column, in bytes with the terminating zero.
constexpr std::uint64_t kLongColumnWidth = 10000;
// Width of the slot of a column that is neither character nor long data.
constexpr std::uint64_t kOtherColumnWidth = 50;
// Longest name an attachment of result sets gets from the query text, extension included.
constexpr std::size_t kMaxAttachmentName = 60;
// Character columns declared larger than this are SQL Server's "max" types.
constexpr std::uint64_t kLargestCharacterColumn = 8000;

std::uint64_t ColumnWidth(const CDatabaseColumn& column) {
  switch (column.nGroup) {
    case DatabaseTypeGroup::Long:
      return kLongColumnWidth;
    case DatabaseTypeGroup::Character:
      if (column.nSize == 0 || column.nSize > kLargestCharacterColumn) return kLongColumnWidth;
      return column.nSize + 1;
    case DatabaseTypeGroup::Other:
      return kOtherColumnWidth;
  }
  return kOtherColumnWidth;
}

std::string BuildTag(const char* name, const std::string& attribute) {
  std::string tag = "<";
  tag += name;
  if (!attribute.empty()) {
    tag += ' ';
    tag += attribute;
    tag += ' ';
  }
  tag += '>';
  return tag;
}

std::string FormatErrorMessage(const CDatabaseDiagnostic& record) {
  std::string text = "OLEDB Message ";
  text += record.strMessage;
  text += " : Server ";
  text += record.strServer;
  text += " : Procedure ";
  text += record.strProcedure;
  text += " : Native ";
  text += std::to_string(record.nNative);
  text += " : State ";
  text += std::to_string(record.nState);
  text += " : Class ";
  text += std::to_string(record.nClass);
  text += " : LineNumber ";
  text += std::to_string(record.nLine);
  text += '\n';
  return text;
}

// A T-SQL string literal's content: an apostrophe is doubled, so that a token holding
// one still reaches sp_bindsession as one value.
std::string QuoteLiteral(const std::string& text) {
  std::string quoted;
  quoted.reserve(text.size());
  for (char c : text) {
    if (c == '\'') quoted += '\'';
    quoted += c;
  }
  return quoted;
}

}  // namespace

CSMTPOLEDBQuery::CSMTPOLEDBQuery(std::string query, const CPlatform& platform)
    : m_strQuery(std::move(query)), m_platform(platform) {
  m_pRowStore = std::make_unique<CSMTPRowStore>(CSMTPRowStore::kDefaultMemoryBudget, [this] {
    std::string folder = m_strTempFolder.empty() ? SystemTemporaryFolder() : m_strTempFolder;
    std::string error;
    std::unique_ptr<ITemporaryFile> file = CreateTemporaryFile(folder, error);
    if (!file) {
      throw CRowStoreError("no temporary file could be created in " + folder +
                           (m_strTempFolder.empty() ? "" : " (TempFolder setting)") + ": " + error);
    }
    return file;
  });
}

CSMTPOLEDBQuery::~CSMTPOLEDBQuery() {
  m_arrResultsets.clear();
  m_pStatement.reset();
  m_pConnection.reset();
}

void CSMTPOLEDBQuery::WriteLog(const std::string& message) const {
  std::string error;
  if (!AppendLogLine(m_nDebug, m_strLogFileName, message, nullptr, &error)) m_logProblem.Record(error);
}

void CSMTPOLEDBQuery::ReportOLEDBErrors(bool failure) {
  for (const CDatabaseDiagnostic& record : m_arrDiagnostics.Take()) {
    std::string message = FormatErrorMessage(record);
    WriteLog(message);
    if (failure && m_bCollectErrors) m_strQueryError += message;
  }
}

bool CSMTPOLEDBQuery::RunQuery(const std::string& query) {
  WriteLog("Obtain access to the SQLOLEDB provider");
  // A second run starts from nothing; the statement goes before the connection it uses.
  m_pStatement.reset();
  m_pConnection.reset();
  m_arrDiagnostics.Clear();
  m_bRowsLost = false;
  m_strTempFolder.clear();
  if (m_platform.pSettings != nullptr &&
      m_platform.pSettings->Value("TempFolder", "VARNEL_TEMP_FOLDER", m_strTempFolder) == SettingState::Error) {
    CDatabaseDiagnostic record;
    record.strMessage = "[varnel] The TempFolder setting cannot be read";
    m_arrDiagnostics.Add(std::move(record));
    ReportOLEDBErrors(true);
    return false;
  }
  if (m_platform.pDatabase == nullptr) {
    CDatabaseDiagnostic record;
    record.strMessage = "No database client is available";
    m_arrDiagnostics.Add(std::move(record));
    ReportOLEDBErrors(true);
    return false;
  }
  if (!m_platform.pDatabase->CreateConnection(m_arrDiagnostics, m_pConnection)) {
    ReportOLEDBErrors(true);
    return false;
  }
  if (!m_pConnection) {
    // Nothing can run without the data source.
    WriteLog("Warning - m_pIDBInitialize is null");
    CDatabaseDiagnostic record;
    record.strMessage = "The database client gave no data source";
    m_arrDiagnostics.Add(std::move(record));
    ReportOLEDBErrors(true);
    return false;
  }
  WriteLog("Obtained access to the SQLOLEDB provider");

  WriteLog("Checking for Integrated Security");
  bool integrated = false;
  if (m_bIntegratedConnection && !m_bUserGiven) {
    integrated = true;
    WriteLog("Using Integrated Security as UserName is blank and connection is using Integrated Security");
  } else if (!m_strUser.empty()) {
    WriteLog("Not using Integrated Security as Username is set");
  } else if (!m_bUserGiven) {
    integrated = true;
    WriteLog("Trying Integrated Security as Username is not set, but connection is not Integrated");
  }

  CDatabaseProperties properties;
  WriteLog("Setting up VariantArray");
  if (m_bBlankPassword) {
    WriteLog("Setting blankpassword");
    m_strPassword.clear();
  }
  WriteLog("Setting up VariantArray complete");
  WriteLog("Setting up QueryServer");
  properties.strServer = m_strServer;
  WriteLog("Setting up QueryServer complete");
  WriteLog("Setting up QueryDatabase");
  properties.strDatabase = m_strDatabase;
  WriteLog("Setting up QueryDatabase complete");
  WriteLog("Setting up Timeout");
  properties.nLoginTimeout = m_nLoginTimeout;
  WriteLog("Setting up Timeout complete");
  if (integrated) {
    WriteLog("Setting up Integrated Security");
    properties.bIntegrated = true;
    WriteLog("Setting up Integrated Security complete");
  } else {
    WriteLog("Setting up QueryUser");
    properties.strUser = m_strUser;
    WriteLog("Setting up QueryUser complete");
    WriteLog("Setting up QueryPassword");
    properties.strPassword = m_strPassword;
    WriteLog("Setting up QueryPassword complete");
  }
  WriteLog("Dimension rgInitPropSet");
  WriteLog("Dimension rgInitPropSet complete");
  WriteLog("Setting rgInitPropSet");
  if (m_platform.pSettings != nullptr) {
    properties.strDriver = m_platform.pSettings->OdbcDriver();
    properties.strAttributes = m_platform.pSettings->OdbcAttributes();
    properties.nCodePage = m_platform.pSettings->AnsiCodePage();
  }
  WriteLog("Setting rgInitPropSet complete");

  WriteLog("About to initialise query interface");
  if (!m_pConnection->AllocateHandle()) {
    ReportOLEDBErrors(true);
    WriteLog("Query interface initialisation failed");
    return false;
  }
  WriteLog("About to initialise query interface complete");
  WriteLog("About to SetProperties");
  bool set = m_pConnection->SetAttributes(properties);
  std::fill(properties.strPassword.begin(), properties.strPassword.end(), '\0');
  if (!set) {
    ReportOLEDBErrors(true);
    WriteLog("SetProperties failed");
    return false;
  }
  WriteLog("About to SetProperties complete");
  // The attributes live on the connection itself: there is nothing to give back.
  WriteLog("Release pIDBProperties");
  WriteLog("Release pIDBProperties complete");

  WriteLog("About to establish connection");
  if (!m_pConnection->Connect()) {
    ReportOLEDBErrors(true);
    WriteLog("Connection failed");
    return false;
  }
  WriteLog("About to establish connection complete");
  WriteLog("About to get a session object query object");
  if (!m_pConnection->DescribeDriver()) {
    ReportOLEDBErrors(true);
    WriteLog("Session object fetch failed");
    return false;
  }
  WriteLog("About to get a session object query object complete");
  WriteLog("About create a session object");
  m_pStatement = m_pConnection->AllocateStatement();
  if (!m_pStatement) {
    ReportOLEDBErrors(true);
    WriteLog("Session object creation failed");
    return false;
  }
  WriteLog("About create a session object complete");

  WriteLog("Testing whether to bind to the clients connection for shared transaction space");
  if (m_bBind != 0) {
    std::string command = "exec sp_bindsession '" + QuoteLiteral(m_strBindToken) + "'";
    WriteLog("Binding to existing session");
    m_bCollectErrors = false;
    ExecuteCommand(command);
    m_bCollectErrors = true;
  }
  WriteLog("Testing whether to bind to the clients connection for shared transaction space complete");

  WriteLog("Executing query " + query);
  ExecuteCommand(query);
  // A message without the rows it should carry would mislead: none is sent.
  if (m_bRowsLost) return false;
  WriteLog("Query Successful");
  return true;
}

int CSMTPOLEDBQuery::ExecuteCommand(const std::string& text) {
  if (!m_pStatement) return 1;
  IDatabaseStatement& statement = *m_pStatement;
  // The batch is closed on every way out, before the run goes on.
  struct CCloser {
    IDatabaseStatement& statement;
    ~CCloser() { statement.Close(); }
  } closer{statement};
  if (!statement.Execute(text)) {
    ReportOLEDBErrors(true);
    return 1;
  }
  for (;;) {
    DatabaseResult result = statement.NextResult();
    if (result == DatabaseResult::Failed) {
      ReportOLEDBErrors(true);
      return 1;
    }
    ReportOLEDBErrors(false);
    switch (result) {
      case DatabaseResult::Rowset:
        CaptureRowset(statement);
        ReportOLEDBErrors(false);
        if (m_bRowsLost) return 1;
        break;
      case DatabaseResult::NoRowset:
        ReportOLEDBErrors(false);
        break;
      case DatabaseResult::NoMoreResults:
        ReportOLEDBErrors(false);
        return 0;
      case DatabaseResult::OtherSuccess:
        ReportOLEDBErrors(true);
        break;
      case DatabaseResult::Failed:
        break;
    }
  }
}

int CSMTPOLEDBQuery::CaptureRowset(IDatabaseStatement& statement) {
  // A rowset whose columns or rows cannot be read or kept is lost to the message: the run
  // fails rather than sending it as an empty table, part of one, or none.
  auto lost = [this] {
    m_bRowsLost = true;
    ReportOLEDBErrors(true);
    return 1;
  };
  std::vector<CDatabaseColumn> columns;
  if (!statement.DescribeColumns(columns)) return lost();
  // The result set belongs to the run from here on, rows or not.
  m_arrResultsets.push_back(std::make_unique<CSMTPQueryResultset>(RowStore(), RenderSettings()));
  CSMTPQueryResultset& resultset = *m_arrResultsets.back();
  std::vector<std::uint64_t> widths;
  widths.reserve(columns.size());
  for (const CDatabaseColumn& column : columns) {
    std::uint64_t width = ColumnWidth(column);
    resultset.AddColumn(column.strName, width);
    widths.push_back(width);
  }
  if (!statement.BindColumns(widths, kRowsPerFetch)) return lost();
  std::vector<std::string_view> values(columns.size());
  try {
    for (std::size_t fetched = statement.FetchRows(); fetched != 0; fetched = statement.FetchRows()) {
      for (std::size_t row = 0; row < fetched; ++row) {
        statement.RowValues(row, values);
        resultset.AddRow(values);
      }
    }
    // The rows so far are not the whole result.
    if (statement.FetchFailed()) return lost();
    // Every row in its place before the run goes on: a failed write shows here.
    RowStore().Finish();
  } catch (const CRowStoreError& error) {
    CDatabaseDiagnostic record;
    record.strMessage = std::string("[varnel] The rows of the result could not be kept: ") + error.what();
    m_arrDiagnostics.Add(std::move(record));
    return lost();
  }
  return 0;
}

std::string CSMTPOLEDBQuery::GetAttachmentName() const {
  if (!m_strFileName.empty()) return m_strFileName;
  // The query text can be long (a batch of thousands of statements) and hold anything; a
  // name for a file is short, one line, and free of paths, quotes and control characters.
  std::string_view extension = m_bCSV ? ".csv" : ".txt";
  const std::size_t room = kMaxAttachmentName - extension.size();
  auto wordCharacter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  };
  std::string name;
  const std::string& text = m_strQuery;
  for (std::size_t at = 0; at < text.size();) {
    while (at < text.size() && !wordCharacter(text[at])) ++at;
    std::size_t start = at;
    while (at < text.size() && wordCharacter(text[at])) ++at;
    if (start == at) break;
    std::string_view word(text.data() + start, at - start);
    if (name.size() + (name.empty() ? 0 : 1) + word.size() > room) {
      // A first word too long for the name is cut; later ones are left out whole.
      if (name.empty()) name.assign(word.substr(0, room));
      break;
    }
    if (!name.empty()) name += '_';
    name += word;
  }
  if (name.empty()) name = "query";
  // Device names that Windows reserves whatever the extension.
  std::string upper = AsciiUpper(name);
  bool device = upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" ||
                (upper.size() == 4 && (upper.rfind("COM", 0) == 0 || upper.rfind("LPT", 0) == 0) && upper[3] >= '1' &&
                 upper[3] <= '9');
  if (device) name += '_';
  name += extension;
  return name;
}

CRenderSettings CSMTPOLEDBQuery::RenderSettings() const {
  CRenderSettings settings;
  settings.m_bHTML = m_bHTML;
  settings.m_bHTMLEscape = m_bHTMLEscape;
  settings.m_bCSV = m_bCSV;
  settings.m_strRowSeparator = m_strRowSeparator;
  settings.m_strFieldSeparator = m_strFieldSeparator;
  settings.m_strTerminator = m_strTerminator;
  settings.m_strTableCaption = m_strTableCaption;
  settings.m_strTableTag = m_strTableTag;
  settings.m_strCaptionTag = m_strCaptionTag;
  settings.m_strHeaderTag = m_strHeaderTag;
  settings.m_strTDTag = m_strTDTag;
  settings.m_strTRTag = m_strTRTag;
  return settings;
}

void CSMTPOLEDBQuery::SetTableAttribute(const std::string& attribute) {
  m_strTableAttribute = attribute;
  m_strTableTag = BuildTag("TABLE", attribute);
}

void CSMTPOLEDBQuery::SetCaptionAttribute(const std::string& attribute) {
  m_strCaptionAttribute = attribute;
  m_strCaptionTag = BuildTag("CAPTION", attribute);
}

void CSMTPOLEDBQuery::SetHeaderAttribute(const std::string& attribute) {
  m_strHeaderAttribute = attribute;
  m_strHeaderTag = BuildTag("TH", attribute);
}

void CSMTPOLEDBQuery::SetTRAttribute(const std::string& attribute) {
  m_strTRAttribute = attribute;
  m_strTRTag = BuildTag("TR", attribute);
}

void CSMTPOLEDBQuery::SetTDAttribute(const std::string& attribute) {
  m_strTDAttribute = attribute;
  m_strTDTag = BuildTag("TD", attribute);
}

}  // namespace varnel
