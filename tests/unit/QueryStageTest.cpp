// The query stage: what it takes from the parameters and from the caller's connection,
// the buffer limits that throw, the run flag and the hand-over to the channel.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "QueryTestSupport.h"
#include "platform/ServerCall.h"
#include "platform/System.h"
#include "procedure/CustomException.h"
#include "smtp/SMTPChannel.h"
#include "procedure/QueryStage.h"

namespace varnel {
namespace {

using test::CFixedSettings;
using test::CScriptedDatabase;
using test::Record;
using test::ScriptStep;

// The caller's connection as the stage sees it; records which fields were read.
class CConnectionOnlyServerCall final : public IServerCall {
 public:
  int ParamCount() override { return 0; }
  std::string ParamName(int) override { return {}; }
  bool ParamInfo(int, CParamInfo&, std::uint8_t*) override { return false; }
  int ParamType(int) override { return 0; }
  int ParamLength(int) override { return 0; }
  const void* ParamData(int) override { return nullptr; }
  int Convert(int, const void*, int, int, void*, int) override { return 0; }
  void SendMessage(const std::string&) override {}
  void SendDone(std::uint16_t, std::uint16_t, int) override {}
  void DescribeColumn(int, const std::string&, int, int, int, int) override {}
  void SetColumnData(int, const void*) override {}
  void SetColumnLength(int, int) override {}
  void SendRow() override {}
  std::optional<std::string> ConnectionField(int field) override {
    m_arrFieldsRead.insert(field);
    auto found = m_arrFields.find(field);
    if (found == m_arrFields.end()) return std::nullopt;
    return found->second;
  }
  std::string BindToken() override {
    ++m_nBindTokenCalls;
    return m_strBindToken;
  }

  std::map<int, std::string> m_arrFields = {{14, "callerserver"}, {16, "caller"}, {17, "callerpw"}, {30, "FALSE"}};
  std::set<int> m_arrFieldsRead;
  std::string m_strBindToken = "token-1";
  int m_nBindTokenCalls = 0;
};

class QueryStageTest : public ::testing::Test {
 protected:
  QueryStageTest() : m_settings("SQLite3", ""), m_channel(Platform()) {
    m_parameters.m_strQuery = "select 1";
  }

  CPlatform Platform() {
    CPlatform platform;
    platform.pDatabase = &m_database;
    platform.pSettings = &m_settings;
    return platform;
  }

  bool RunStage() { return RunQueryStage(m_parameters, m_channel, m_server, Platform(), m_runner); }

  CScriptedDatabase m_database;
  CFixedSettings m_settings;
  CConnectionOnlyServerCall m_server;
  CXpParameters m_parameters;
  CSMTPChannel m_channel;
  std::unique_ptr<CSMTPOLEDBQuery> m_runner;
};

TEST_F(QueryStageTest, ConnectionFieldsOfFiveHundredBytesOrMoreThrow) {
  struct Case {
    int field;
    std::int32_t code;
  };
  for (const Case& c : {Case{14, 11}, Case{16, 12}, Case{17, 13}}) {
    SCOPED_TRACE(c.field);
    for (std::size_t length : {499u, 500u, 4000u}) {
      CConnectionOnlyServerCall server;
      server.m_arrFields[c.field] = std::string(length, 'n');
      CSMTPChannel channel(Platform());
      std::unique_ptr<CSMTPOLEDBQuery> runner;
      m_database.m_log = {};
      if (length < 500) {
        EXPECT_TRUE(RunQueryStage(m_parameters, channel, server, Platform(), runner));
        continue;
      }
      try {
        RunQueryStage(m_parameters, channel, server, Platform(), runner);
        ADD_FAILURE() << "no exception";
      } catch (const CCustomException& error) {
        EXPECT_EQ(error.Code(), c.code);
      }
      // The caller owns the runner, which reports an empty error text; nothing ran.
      ASSERT_NE(runner, nullptr);
      EXPECT_EQ(runner->GetQueryError(), "");
      EXPECT_EQ(channel.m_pQuery, nullptr);
      EXPECT_FALSE(m_database.m_log.properties.has_value());
    }
  }
}

TEST_F(QueryStageTest, CallersConnectionFillsWhatTheParametersLeaveOpen) {
  m_server.m_arrFields[30] = "TRUE";
  ASSERT_TRUE(RunStage());
  const CSMTPOLEDBQuery& q = *m_runner;
  EXPECT_TRUE(q.m_bIntegratedConnection);
  EXPECT_EQ(q.m_strServer, "callerserver");
  EXPECT_EQ(q.m_strUser, "caller");
  EXPECT_FALSE(q.m_bUserGiven);
  EXPECT_EQ(q.m_strDatabase, "master");
  EXPECT_EQ(q.m_strPassword, "callerpw");
  EXPECT_FALSE(q.m_bBlankPassword);
  EXPECT_EQ(q.m_bBind, 1);
  EXPECT_EQ(q.m_strBindToken, "");
  EXPECT_EQ(m_server.m_nBindTokenCalls, 0);
  EXPECT_EQ(q.m_strQuery, "select 1");
  // Binding is on by default, with an empty token.
  EXPECT_EQ(m_database.m_log.arrCommands, (std::vector<std::string>{"exec sp_bindsession ''", "select 1"}));
}

TEST_F(QueryStageTest, GivenParametersReadNoConnectionFieldButIntegratedSecurity) {
  m_parameters.m_strQServer = "qserver";
  m_parameters.m_strQUser = "quser";
  m_parameters.m_strQPassword = "qpw";
  m_parameters.m_bPasswordNamed = true;
  m_parameters.m_strQDatabase = "/data/mail.db";
  ASSERT_TRUE(RunStage());
  EXPECT_EQ(m_server.m_arrFieldsRead, std::set<int>{30});
  EXPECT_EQ(m_runner->m_strServer, "qserver");
  EXPECT_EQ(m_runner->m_strUser, "quser");
  EXPECT_TRUE(m_runner->m_bUserGiven);
  EXPECT_EQ(m_runner->m_strPassword, "qpw");
  EXPECT_EQ(m_runner->m_strDatabase, "/data/mail.db");
  EXPECT_EQ(m_database.m_log.properties->strPassword, "qpw");
}

TEST_F(QueryStageTest, IntegratedSecurityNeedsExactlyTrue) {
  for (const char* value : {"true", "TRUE ", "1", ""}) {
    m_server.m_arrFields[30] = value;
    ASSERT_TRUE(RunStage());
    EXPECT_FALSE(m_runner->m_bIntegratedConnection) << value;
  }
  m_server.m_arrFields.erase(30);
  ASSERT_TRUE(RunStage());
  EXPECT_FALSE(m_runner->m_bIntegratedConnection);
}

TEST_F(QueryStageTest, PasswordNamedWithoutValueSendsABlankOne) {
  m_parameters.m_bPasswordNamed = true;
  m_parameters.m_strQUser = "quser";
  ASSERT_TRUE(RunStage());
  EXPECT_TRUE(m_runner->m_bBlankPassword);
  EXPECT_EQ(m_server.m_arrFieldsRead.count(17), 0u);
  EXPECT_EQ(m_database.m_log.properties->strPassword, "");
}

TEST_F(QueryStageTest, BindNamedFetchesTheTokenWhateverItsValue) {
  m_parameters.m_bQBindNamed = true;
  m_parameters.m_nQBind = 0;
  ASSERT_TRUE(RunStage());
  EXPECT_EQ(m_server.m_nBindTokenCalls, 1);
  EXPECT_EQ(m_runner->m_strBindToken, "token-1");
  EXPECT_EQ(m_runner->m_bBind, 0);
  EXPECT_EQ(m_database.m_log.arrCommands, std::vector<std::string>{"select 1"});

  m_database.m_log = {};
  m_parameters.m_nQBind = 1;
  ASSERT_TRUE(RunStage());
  EXPECT_EQ(m_database.m_log.arrCommands.front(), "exec sp_bindsession 'token-1'");
}

TEST_F(QueryStageTest, RenderingAndLogSettingsAreCopied) {
  m_channel.m_strTerminator = "\r";
  m_channel.m_bHTML = true;
  m_parameters.m_nDebug = 3;
  m_parameters.m_strDebugFileName = "/nonexistent/dir/query.log";
  m_parameters.m_bQAsAttachmentsNamed = true;
  m_parameters.m_nQAsAttachments = 1;
  m_parameters.m_strQFieldSeparator = "\t";
  m_parameters.m_strQRowSeparator = "\r\n";
  m_parameters.m_strQTableCaption = "Orders";
  m_parameters.m_strQFileName = "orders.txt";
  m_parameters.m_strQTableAttribute = "BORDER=1";
  m_parameters.m_strQHeaderAttribute = "BGCOLOR=red";
  m_parameters.m_strQCaptionAttribute = "ALIGN=top";
  m_parameters.m_strQTRAttribute = "CLASS=r";
  m_parameters.m_strQTDAttribute = "NOWRAP";
  m_parameters.m_nQHTMLEscape = 1;
  m_parameters.m_nQCSV = 2;
  ASSERT_TRUE(RunStage());
  const CSMTPOLEDBQuery& q = *m_runner;
  EXPECT_EQ(q.m_strTerminator, "\r");
  EXPECT_TRUE(q.m_bHTML);
  EXPECT_EQ(q.m_nDebug, 3);
  EXPECT_EQ(q.m_strLogFileName, "/nonexistent/dir/query.log");
  EXPECT_EQ(q.m_bAsAttachments, 1);
  EXPECT_EQ(q.m_strFieldSeparator, "\t");
  EXPECT_EQ(q.m_strRowSeparator, "\r\n");
  EXPECT_EQ(q.m_strTableCaption, "Orders");
  EXPECT_EQ(q.m_strFileName, "orders.txt");
  EXPECT_EQ(q.m_strTableTag, "<TABLE BORDER=1 >");
  EXPECT_EQ(q.m_strHeaderTag, "<TH BGCOLOR=red >");
  EXPECT_EQ(q.m_strCaptionTag, "<CAPTION ALIGN=top >");
  EXPECT_EQ(q.m_strTRTag, "<TR CLASS=r >");
  EXPECT_EQ(q.m_strTDTag, "<TD NOWRAP >");
  EXPECT_TRUE(q.m_bHTMLEscape);
  EXPECT_TRUE(q.m_bCSV);
}

TEST_F(QueryStageTest, DefaultsStayWhenParametersAreAbsent) {
  m_parameters.m_nDebug = 1;  // without a file name: the default log
  ASSERT_TRUE(RunStage());
  const CSMTPOLEDBQuery& q = *m_runner;
  EXPECT_EQ(q.m_strLogFileName, DefaultLogFileName());
  EXPECT_EQ(q.m_strFieldSeparator, ",");
  EXPECT_EQ(q.m_strRowSeparator, "\n");
  EXPECT_EQ(q.m_strTableTag, "<TABLE>");
  EXPECT_EQ(q.m_strTDTag, "<TD>");
  EXPECT_EQ(q.m_bAsAttachments, 0);
  EXPECT_FALSE(q.m_bHTML);
  EXPECT_FALSE(q.m_bHTMLEscape);
  EXPECT_FALSE(q.m_bCSV);
  EXPECT_EQ(q.m_strTerminator, "\r\n");

  m_parameters.m_nDebug = 0;
  m_parameters.m_strDebugFileName = "ignored.log";
  ASSERT_TRUE(RunStage());
  EXPECT_EQ(m_runner->m_nDebug, 0);
  EXPECT_EQ(m_runner->m_strLogFileName, "");
}

TEST_F(QueryStageTest, FailedRunReturnsFalseAndStillHandsTheRunnerToTheChannel) {
  m_database.m_nFailAt = ScriptStep::Connect;
  m_database.m_arrRecords = {Record("Login failed", 18456)};
  EXPECT_FALSE(RunStage());
  ASSERT_NE(m_runner, nullptr);
  EXPECT_EQ(m_channel.m_pQuery, m_runner.get());
  EXPECT_NE(m_runner->GetQueryError().find("Login failed"), std::string::npos);
}

TEST_F(QueryStageTest, SuccessfulRunCapturesThroughTheRealSQLiteDriver) {
  test::CTemporaryDirectory directory;
  CPlatform platform;
  platform.pDatabase = &DefaultDatabaseClient();
  platform.pSettings = &m_settings;
  m_parameters.m_strQuery = "select 42 as answer";
  m_parameters.m_strQDatabase = directory.File("stage.db");
  ASSERT_TRUE(RunQueryStage(m_parameters, m_channel, m_server, platform, m_runner));
  EXPECT_EQ(m_channel.m_pQuery, m_runner.get());
  ASSERT_EQ(m_runner->GetResultsetCount(), 1u);
  EXPECT_EQ(m_runner->GetResultset(0).GetValue(0, 0), "42");
  // The binding command fails on SQLite; that is no error of the caller's query.
  EXPECT_EQ(m_runner->GetQueryError(), "");
}

}  // namespace
}  // namespace varnel
