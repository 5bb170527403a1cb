// The query runner: opens its own connection through the database client, optionally
// binds it to the caller's transaction space, runs the caller's batch and captures every
// result set as text (rows beyond a memory budget in a private temporary file). It also
// carries the rendering settings, which each result set receives as a value when it is
// captured. RunQuery reports through its result (false: no connection or statement, or rows
// that could not be kept); error records are logged and the failures of the connection
// and the caller's batch are kept in the query error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/DatabaseClient.h"
#include "platform/Log.h"
#include "platform/Platform.h"
#include "query/RenderSettings.h"
#include "query/SMTPQueryResultset.h"
#include "query/SMTPRowStore.h"

namespace varnel {

class CSMTPOLEDBQuery {
 public:
  // The platform's database client and settings are used by RunQuery; both may be null,
  // and a run without a client fails at its first step.
  CSMTPOLEDBQuery(std::string query, const CPlatform& platform);
  virtual ~CSMTPOLEDBQuery();
  CSMTPOLEDBQuery(const CSMTPOLEDBQuery&) = delete;
  CSMTPOLEDBQuery& operator=(const CSMTPOLEDBQuery&) = delete;

  // Connects, binds when asked and runs query; true when the connection and its statement
  // were obtained, whatever the binding command and the batch yielded. Called once.
  bool RunQuery(const std::string& query);
  // Runs one command on the open statement and captures its rowsets; 0 at the normal
  // end, 1 after a failure.
  int ExecuteCommand(const std::string& command);
  // Reads the current rowset of statement into a new result set; 0 when it was read to
  // its end, 1 when its columns could not be described or bound.
  int CaptureRowset(IDatabaseStatement& statement);
  // Walks the records of the last step: each is logged, and with failure set (outside the
  // binding command) appended to the query error text.
  void ReportOLEDBErrors(bool failure);
  std::string GetQueryError() const { return m_strQueryError; }
  // Name of the attachments that carry the result sets: m_strFileName as given, else the
  // first words of the query (letters, digits and underscores, joined by underscores; a
  // query without any is "query"), at most 60 characters with ".txt", or ".csv" for CSV.
  std::string GetAttachmentName() const;
  void WriteLog(const std::string& message) const;
  // The first reason the log could not be written; empty when it could.
  std::string LogProblem() const { return m_logProblem.Reason(); }

  void SetTableAttribute(const std::string& attribute);
  void SetCaptionAttribute(const std::string& attribute);
  void SetHeaderAttribute(const std::string& attribute);
  void SetTRAttribute(const std::string& attribute);
  void SetTDAttribute(const std::string& attribute);
  std::string GetTerminator() const { return m_strTerminator; }
  // The rendering settings as they stand, for a result set captured now.
  CRenderSettings RenderSettings() const;

  // Where the rows of every result set of this run are kept, in the order they came.
  CSMTPRowStore& RowStore() const { return *m_pRowStore; }
  std::size_t GetResultsetCount() const { return m_arrResultsets.size(); }
  const CSMTPQueryResultset& GetResultset(std::size_t index) const { return *m_arrResultsets.at(index); }

  // Settings, filled by the query stage before RunQuery and only read afterwards; the
  // rendering ones reach each result set through RenderSettings.
  std::int32_t m_nLoginTimeout = 30;  // seconds
  std::string m_strRowSeparator = "\n";
  std::string m_strFieldSeparator = ",";
  bool m_bHTML = false;
  // Opt-in renderings: HTML tables with &, <, > and " of names and values escaped; result
  // sets as RFC 4180 CSV (in place of text or HTML tables).
  bool m_bHTMLEscape = false;
  bool m_bCSV = false;
  std::int32_t m_bAsAttachments = 0;
  std::int32_t m_bBind = 1;
  // Captured result sets in the order the database returned them; declared after the
  // store that holds their rows, so that they go first.
  std::unique_ptr<CSMTPRowStore> m_pRowStore;
  std::vector<std::unique_ptr<CSMTPQueryResultset>> m_arrResultsets;
  std::string m_strServer;
  std::string m_strDatabase;
  std::string m_strUser;
  bool m_bUserGiven = false;
  std::string m_strPassword;
  std::string m_strQuery;
  std::string m_strQueryError;
  std::string m_strTableCaption;
  // The attribute texts and the tags built from them; change them with the setters.
  std::string m_strTableAttribute;
  std::string m_strCaptionAttribute;
  std::string m_strHeaderAttribute;
  std::string m_strTDAttribute;
  std::string m_strTRAttribute;
  std::string m_strFileName;
  std::string m_strTerminator;
  std::string m_strTableTag = "<TABLE>";
  std::string m_strCaptionTag = "<CAPTION>";
  std::string m_strHeaderTag = "<TH>";
  std::string m_strTDTag = "<TD>";
  std::string m_strTRTag = "<TR>";
  std::int32_t m_nDebug = 0;
  std::string m_strLogFileName;
  std::string m_strBindToken;
  bool m_bIntegratedConnection = false;
  bool m_bBlankPassword = false;

 private:
  CPlatform m_platform;
  // Declared before the objects that file records into it, so that it outlives them; the
  // statement goes before the connection it was allocated from.
  CDatabaseDiagnostics m_arrDiagnostics;
  std::unique_ptr<IDatabaseConnection> m_pConnection;
  std::unique_ptr<IDatabaseStatement> m_pStatement;
  // Cleared while the binding command runs: its records are only logged.
  bool m_bCollectErrors = true;
  mutable CLogProblem m_logProblem;
  // Folder of the temporary file for rows beyond memory (the TempFolder setting, else
  // the system's); set when the run starts.
  std::string m_strTempFolder;
  // Rows of the batch could not be kept: the run fails, no mail goes out incomplete.
  bool m_bRowsLost = false;
};

}  // namespace varnel
