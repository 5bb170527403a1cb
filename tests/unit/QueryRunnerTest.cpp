// The query runner against a scripted database client: every log line in order, the
// failure of each step, the error text, authentication, binding, result walking and
// capture rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "QueryTestSupport.h"
#include "platform/Platform.h"
#include "query/SMTPOLEDBQuery.h"

namespace varnel {
namespace {

using test::CFixedSettings;
using test::Column;
using test::CScriptCommand;
using test::CScriptedDatabase;
using test::CScriptResult;
using test::CTemporaryDirectory;
using test::LogMessages;
using test::Record;
using test::ScriptStep;

const std::vector<std::string> kConnectLines = {
    "Obtain access to the SQLOLEDB provider",
    "Obtained access to the SQLOLEDB provider",
    "Checking for Integrated Security",
    "Not using Integrated Security as Username is set",
    "Setting up VariantArray",
    "Setting up VariantArray complete",
    "Setting up QueryServer",
    "Setting up QueryServer complete",
    "Setting up QueryDatabase",
    "Setting up QueryDatabase complete",
    "Setting up Timeout",
    "Setting up Timeout complete",
    "Setting up QueryUser",
    "Setting up QueryUser complete",
    "Setting up QueryPassword",
    "Setting up QueryPassword complete",
    "Dimension rgInitPropSet",
    "Dimension rgInitPropSet complete",
    "Setting rgInitPropSet",
    "Setting rgInitPropSet complete",
    "About to initialise query interface",
    "About to initialise query interface complete",
    "About to SetProperties",
    "About to SetProperties complete",
    "Release pIDBProperties",
    "Release pIDBProperties complete",
    "About to establish connection",
    "About to establish connection complete",
    "About to get a session object query object",
    "About to get a session object query object complete",
    "About create a session object",
    "About create a session object complete",
};

const char* const kBindStart = "Testing whether to bind to the clients connection for shared transaction space";
const char* const kBindEnd = "Testing whether to bind to the clients connection for shared transaction space complete";

class QueryRunnerTest : public ::testing::Test {
 protected:
  QueryRunnerTest() : m_settings("SQLite3", "Timeout=5;") {
    m_platform.pDatabase = &m_database;
    m_platform.pSettings = &m_settings;
  }

  std::unique_ptr<CSMTPOLEDBQuery> MakeRunner(const std::string& query = "select 1") {
    auto runner = std::make_unique<CSMTPOLEDBQuery>(query, m_platform);
    runner->m_nDebug = 1;
    runner->m_strLogFileName = m_log;
    runner->m_strServer = "db.example";
    runner->m_strDatabase = "master";
    runner->m_strUser = "mailer";
    runner->m_bUserGiven = true;
    runner->m_strPassword = "secret";
    runner->m_bBind = 0;
    return runner;
  }

  std::vector<std::string> Log() const { return LogMessages(m_log); }

  CTemporaryDirectory m_directory;
  std::string m_log = m_directory.File("query.log");
  CScriptedDatabase m_database;
  CFixedSettings m_settings;
  CPlatform m_platform;
};

std::vector<std::string> Concat(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The connection lines up to and including the given one.
std::vector<std::string> ConnectLinesThrough(const std::string& last) {
  auto end = std::find(kConnectLines.begin(), kConnectLines.end(), last);
  EXPECT_NE(end, kConnectLines.end()) << last;
  return std::vector<std::string>(kConnectLines.begin(), end + 1);
}

TEST_F(QueryRunnerTest, SuccessfulRunWritesEveryLineInOrder) {
  auto runner = MakeRunner("select 1");
  runner->m_bBind = 1;
  runner->m_strBindToken = "tok";
  EXPECT_TRUE(runner->RunQuery("select 1"));
  EXPECT_EQ(Log(), Concat(kConnectLines, {kBindStart, "Binding to existing session", kBindEnd,
                                          "Executing query select 1", "Query Successful"}));
  EXPECT_EQ(runner->GetQueryError(), "");
  EXPECT_EQ(m_database.m_log.arrCommands, (std::vector<std::string>{"exec sp_bindsession 'tok'", "select 1"}));
}

TEST_F(QueryRunnerTest, EachFailingStepEndsTheRunWithItsLinesAndErrorText) {
  struct Case {
    ScriptStep step;
    std::vector<std::string> before;  // lines up to the failing step
    const char* failureLine;          // nullptr: none after the records
  };
  const std::vector<Case> cases = {
      {ScriptStep::CreateConnection, {"Obtain access to the SQLOLEDB provider"}, nullptr},
      {ScriptStep::OpenProperties, ConnectLinesThrough("About to initialise query interface"),
       "Query interface initialisation failed"},
      {ScriptStep::SetProperties, ConnectLinesThrough("About to SetProperties"), "SetProperties failed"},
      {ScriptStep::Connect, ConnectLinesThrough("About to establish connection"), "Connection failed"},
      {ScriptStep::OpenSessionFactory, ConnectLinesThrough("About to get a session object query object"),
       "Session object fetch failed"},
      {ScriptStep::CreateSession, ConnectLinesThrough("About create a session object"),
       "Session object creation failed"},
  };
  const std::string message1 =
      "OLEDB Message Login failed for user 'mailer'. : Server SRV1 : Procedure  : Native 18456 : State 1 : Class 14 : "
      "LineNumber 1\n";
  const std::string message2 =
      "OLEDB Message Cannot open database : Server SRV1 : Procedure sp_x : Native 4060 : State 2 : Class 11 : "
      "LineNumber 65535\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failureLine ? c.failureLine : "create");
    std::filesystem::remove(m_log);
    m_database.m_nFailAt = c.step;
    m_database.m_arrRecords = {Record("Login failed for user 'mailer'.", 18456, "SRV1", "", 1, 14, 1),
                               Record("Cannot open database", 4060, "SRV1", "sp_x", 2, 11, 65535)};
    m_database.m_log = {};
    auto runner = MakeRunner();
    EXPECT_FALSE(runner->RunQuery("select 1"));
    std::vector<std::string> expected = c.before;
    expected.push_back(message1.substr(0, message1.size() - 1));
    expected.push_back(message2.substr(0, message2.size() - 1));
    if (c.failureLine != nullptr) expected.push_back(c.failureLine);
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(runner->GetQueryError(), message1 + message2);
    EXPECT_TRUE(m_database.m_log.arrCommands.empty());
    EXPECT_EQ(runner->GetResultsetCount(), 0u);
  }
}

TEST_F(QueryRunnerTest, ClientWithoutDataSourceIsWarnedAboutAndFails) {
  m_database.m_nFailAt = ScriptStep::NullConnection;
  auto runner = MakeRunner();
  EXPECT_FALSE(runner->RunQuery("select 1"));
  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "Obtain access to the SQLOLEDB provider");
  EXPECT_EQ(log[1], "Warning - m_pIDBInitialize is null");
  EXPECT_NE(runner->GetQueryError(), "");
}

TEST_F(QueryRunnerTest, RunWithoutDatabaseClientFailsWithAnErrorText) {
  m_platform.pDatabase = nullptr;
  auto runner = MakeRunner();
  EXPECT_FALSE(runner->RunQuery("select 1"));
  EXPECT_EQ(Log().front(), "Obtain access to the SQLOLEDB provider");
  EXPECT_NE(runner->GetQueryError().find("No database client"), std::string::npos);
}

TEST_F(QueryRunnerTest, AuthenticationRulesChooseLinesAndProperties) {
  struct Case {
    const char* name;
    bool integratedConnection;
    bool userGiven;
    const char* user;
    bool blankPassword;
    std::vector<std::string> lines;  // from "Checking..." to before "Dimension rgInitPropSet"
    bool integrated;
    const char* sentUser;
    const char* sentPassword;
  };
  const std::vector<std::string> common = {"Setting up VariantArray"};
  const std::vector<std::string> middle = {"Setting up VariantArray complete", "Setting up QueryServer",
                                           "Setting up QueryServer complete",  "Setting up QueryDatabase",
                                           "Setting up QueryDatabase complete", "Setting up Timeout",
                                           "Setting up Timeout complete"};
  const std::vector<std::string> integratedLines = {"Setting up Integrated Security",
                                                    "Setting up Integrated Security complete"};
  const std::vector<std::string> loginLines = {"Setting up QueryUser", "Setting up QueryUser complete",
                                               "Setting up QueryPassword", "Setting up QueryPassword complete"};
  auto lines = [&](const char* rule, bool blank, bool integrated) {
    std::vector<std::string> result = {"Checking for Integrated Security", rule};
    result = Concat(result, common);
    if (blank) result.push_back("Setting blankpassword");
    result = Concat(result, middle);
    return Concat(result, integrated ? integratedLines : loginLines);
  };
  const char* rule1 = "Using Integrated Security as UserName is blank and connection is using Integrated Security";
  const char* rule2 = "Not using Integrated Security as Username is set";
  const char* rule3 = "Trying Integrated Security as Username is not set, but connection is not Integrated";
  const std::vector<Case> cases = {
      {"integrated caller, no @quser", true, false, "DOMAIN\\caller", false, lines(rule1, false, true), true, "", ""},
      {"@quser wins over integrated caller", true, true, "bob", false, lines(rule2, false, false), false, "bob",
       "secret"},
      {"caller's SQL login", false, false, "caller", false, lines(rule2, false, false), false, "caller", "secret"},
      {"no login at all", false, false, "", false, lines(rule3, false, true), true, "", ""},
      {"blank password with a login", false, true, "bob", true, lines(rule2, true, false), false, "bob", ""},
      {"blank password, integrated", true, false, "", true, lines(rule1, true, true), true, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(m_log);
    auto runner = MakeRunner();
    runner->m_bIntegratedConnection = c.integratedConnection;
    runner->m_bUserGiven = c.userGiven;
    runner->m_strUser = c.user;
    runner->m_bBlankPassword = c.blankPassword;
    ASSERT_TRUE(runner->RunQuery("select 1"));
    std::vector<std::string> log = Log();
    auto begin = std::find(log.begin(), log.end(), "Checking for Integrated Security");
    auto end = std::find(log.begin(), log.end(), "Dimension rgInitPropSet");
    EXPECT_EQ(std::vector<std::string>(begin, end), c.lines);
    ASSERT_TRUE(m_database.m_log.properties.has_value());
    EXPECT_EQ(m_database.m_log.properties->bIntegrated, c.integrated);
    EXPECT_EQ(m_database.m_log.properties->strUser, c.sentUser);
    EXPECT_EQ(m_database.m_log.properties->strPassword, c.sentPassword);
  }
}

TEST_F(QueryRunnerTest, PropertiesCarryTimeoutServerDatabaseAndDriverSettings) {
  auto runner = MakeRunner();
  runner->m_strServer = "";
  runner->m_strDatabase = "/data/mail.db";
  ASSERT_TRUE(runner->RunQuery("select 1"));
  const CDatabaseProperties& properties = *m_database.m_log.properties;
  EXPECT_EQ(properties.nLoginTimeout, 30);  // seconds
  EXPECT_EQ(properties.strServer, "");
  EXPECT_EQ(properties.strDatabase, "/data/mail.db");
  EXPECT_EQ(properties.strDriver, "SQLite3");
  EXPECT_EQ(properties.strAttributes, "Timeout=5;");
}

TEST_F(QueryRunnerTest, BindingCommandQuotesTheTokenAndItsRecordsAreOnlyLogged) {
  m_database.m_commands["exec sp_bindsession 'a''b'"] = CScriptCommand{
      test::CommandStep::Execute, {Record("Invalid bind token", 17128, "SRV1", "sp_bindsession", 1, 16, 3)}, {}};
  auto runner = MakeRunner("select 1");
  runner->m_bBind = 1;
  runner->m_strBindToken = "a'b";
  EXPECT_TRUE(runner->RunQuery("select 1"));
  EXPECT_EQ(m_database.m_log.arrCommands, (std::vector<std::string>{"exec sp_bindsession 'a''b'", "select 1"}));
  std::vector<std::string> log = Log();
  std::vector<std::string> tail(log.end() - 6, log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      kBindStart, "Binding to existing session",
                      "OLEDB Message Invalid bind token : Server SRV1 : Procedure sp_bindsession : Native 17128 : "
                      "State 1 : Class 16 : LineNumber 3",
                      kBindEnd, "Executing query select 1", "Query Successful"}));
  EXPECT_EQ(runner->GetQueryError(), "");
}

TEST_F(QueryRunnerTest, BindingOffRunsNoBindingCommandAndEmptyTokenIsSentAsIs) {
  auto runner = MakeRunner();
  runner->m_bBind = 0;
  runner->m_strBindToken = "ignored";
  ASSERT_TRUE(runner->RunQuery("select 1"));
  std::vector<std::string> log = Log();
  auto start = std::find(log.begin(), log.end(), kBindStart);
  ASSERT_NE(start, log.end());
  EXPECT_EQ(*(start + 1), kBindEnd);
  EXPECT_EQ(m_database.m_log.arrCommands, std::vector<std::string>{"select 1"});

  m_database.m_log = {};
  auto second = MakeRunner();
  second->m_bBind = 1;
  ASSERT_TRUE(second->RunQuery("select 1"));
  EXPECT_EQ(m_database.m_log.arrCommands.front(), "exec sp_bindsession ''");
}

CScriptResult Rowset(std::vector<CDatabaseColumn> columns, std::vector<std::vector<std::optional<std::string>>> rows) {
  CScriptResult result;
  result.nKind = DatabaseResult::Rowset;
  result.arrColumns = std::move(columns);
  result.arrRows = std::move(rows);
  return result;
}

CScriptResult NoRowset(std::vector<CDatabaseDiagnostic> records = {}) {
  CScriptResult result;
  result.nKind = DatabaseResult::NoRowset;
  result.arrRecords = std::move(records);
  return result;
}

TEST_F(QueryRunnerTest, BatchYieldsOneResultSetPerRowsetInOrder) {
  CScriptResult first = Rowset({Column("id", DatabaseTypeGroup::Other), Column("name", DatabaseTypeGroup::Character, 20)},
                               {{"1", "x"}, {"2", std::nullopt}});
  first.arrRecords = {Record("Changed database context to 'master'.", 5701, "SRV1", "", 2, 0, 1)};
  CScriptResult second = Rowset({Column("total", DatabaseTypeGroup::Other)}, {{"3"}});
  m_database.m_commands["batch"] = CScriptCommand{test::CommandStep::None, {}, {first, NoRowset(), second}};
  auto runner = MakeRunner("batch");
  ASSERT_TRUE(runner->RunQuery("batch"));
  ASSERT_EQ(runner->GetResultsetCount(), 2u);
  const CSMTPQueryResultset& a = runner->GetResultset(0);
  ASSERT_EQ(a.GetColumnCount(), 2u);
  EXPECT_EQ(a.GetColumn(0).m_strName, "id");
  EXPECT_EQ(a.GetColumn(1).m_strName, "name");
  ASSERT_EQ(a.GetRowCount(), 2u);
  EXPECT_EQ(a.GetValue(0, 1), "x");
  EXPECT_EQ(a.GetValue(1, 0), "2");
  EXPECT_EQ(a.GetValue(1, 1), "");
  EXPECT_EQ(runner->GetResultset(1).GetValue(0, 0), "3");
  // Informational records are logged, not reported as errors.
  EXPECT_EQ(runner->GetQueryError(), "");
  std::vector<std::string> log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "OLEDB Message Changed database context to 'master'. : Server SRV1 : Procedure  : Native 5701 : "
                      "State 2 : Class 0 : LineNumber 1"),
            log.end());
  EXPECT_EQ(m_database.m_log.nMaxLiveCommands, 1);
}

TEST_F(QueryRunnerTest, FailingQueryIsReportedButTheRunSucceeds) {
  m_database.m_commands["selec 1"] = CScriptCommand{
      test::CommandStep::Execute, {Record("Incorrect syntax near 'selec'.", 102, "SRV1", "", 1, 15, 1)}, {}};
  auto runner = MakeRunner("selec 1");
  EXPECT_TRUE(runner->RunQuery("selec 1"));
  EXPECT_EQ(runner->GetQueryError(),
            "OLEDB Message Incorrect syntax near 'selec'. : Server SRV1 : Procedure  : Native 102 : State 1 : Class "
            "15 : LineNumber 1\n");
  EXPECT_EQ(Log().back(), "Query Successful");
  EXPECT_EQ(runner->GetResultsetCount(), 0u);
}

TEST_F(QueryRunnerTest, ResultSetsBeforeALaterFailureAreKept) {
  CScriptResult failed;
  failed.nKind = DatabaseResult::Failed;
  failed.arrRecords = {Record("Divide by zero error encountered.", 8134, "SRV1", "", 1, 16, 2)};
  CScriptResult never = Rowset({Column("x", DatabaseTypeGroup::Other)}, {{"never"}});
  m_database.m_commands["q"] = CScriptCommand{
      test::CommandStep::None, {}, {Rowset({Column("a", DatabaseTypeGroup::Other)}, {{"1"}}), failed, never}};
  auto runner = MakeRunner("q");
  EXPECT_TRUE(runner->RunQuery("q"));
  ASSERT_EQ(runner->GetResultsetCount(), 1u);
  EXPECT_EQ(runner->GetResultset(0).GetValue(0, 0), "1");
  EXPECT_NE(runner->GetQueryError().find("Divide by zero"), std::string::npos);
  EXPECT_EQ(runner->ExecuteCommand("q"), 1);
}

TEST_F(QueryRunnerTest, CommandStepFailuresReturnOneAndCollectTheirRecords) {
  for (test::CommandStep step : {test::CommandStep::SetText, test::CommandStep::Execute}) {
    m_database.m_commands["bad"] = CScriptCommand{step, {Record("refused", 50000)}, {}};
    auto runner = MakeRunner("bad");
    ASSERT_TRUE(runner->RunQuery("bad"));
    EXPECT_EQ(runner->GetQueryError(),
              "OLEDB Message refused : Server  : Procedure  : Native 50000 : State 0 : Class 0 : LineNumber 0\n");
    EXPECT_EQ(runner->ExecuteCommand("bad"), 1);
  }
  m_database.m_commands.clear();
  m_database.m_log = {};
  m_database.m_commands[""] = CScriptCommand{test::CommandStep::Create, {Record("no command object")}, {}};
  auto runner = MakeRunner("select 1");
  ASSERT_TRUE(runner->RunQuery("select 1"));
  EXPECT_NE(runner->GetQueryError().find("no command object"), std::string::npos);
  EXPECT_TRUE(m_database.m_log.arrCommands.empty());
}

TEST_F(QueryRunnerTest, UnknownSuccessResultIsWalkedAndTheRunGoesOn) {
  CScriptResult odd;
  odd.nKind = DatabaseResult::OtherSuccess;
  odd.arrRecords = {Record("odd result")};
  m_database.m_commands["q"] =
      CScriptCommand{test::CommandStep::None, {}, {odd, Rowset({Column("a", DatabaseTypeGroup::Other)}, {{"1"}})}};
  auto runner = MakeRunner("q");
  ASSERT_TRUE(runner->RunQuery("q"));
  EXPECT_EQ(runner->GetResultsetCount(), 1u);
  std::vector<std::string> log = Log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) { return line.find("odd result") != std::string::npos; }),
            1);
}

TEST_F(QueryRunnerTest, RowsAreFetchedTenAtATimeAndKeptInOrder) {
  std::vector<std::vector<std::optional<std::string>>> rows;
  for (int i = 0; i < 25; ++i) rows.push_back({std::to_string(i)});
  m_database.m_commands["q"] =
      CScriptCommand{test::CommandStep::None, {}, {Rowset({Column("n", DatabaseTypeGroup::Other)}, rows)}};
  auto runner = MakeRunner("q");
  ASSERT_TRUE(runner->RunQuery("q"));
  EXPECT_EQ(m_database.m_log.nRowsPerFetch, 10u);
  EXPECT_EQ(m_database.m_log.arrFetchSizes, (std::vector<std::size_t>{10, 10, 5, 0}));
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 25u);
  for (std::size_t i = 0; i < 25; ++i) EXPECT_EQ(resultset.GetValue(i, 0), std::to_string(i));
}

TEST_F(QueryRunnerTest, ColumnWidthsFollowTheTypeRules) {
  struct Case {
    CDatabaseColumn column;
    std::uint64_t width;
  };
  const std::vector<Case> cases = {
      {Column("text", DatabaseTypeGroup::Long, 2147483647), 10000},
      {Column("image", DatabaseTypeGroup::Long, 0), 10000},
      {Column("varchar20", DatabaseTypeGroup::Character, 20), 21},
      {Column("nvarchar20", DatabaseTypeGroup::Character, 20), 21},
      {Column("char1", DatabaseTypeGroup::Character, 1), 2},
      {Column("varchar8000", DatabaseTypeGroup::Character, 8000), 8001},
      {Column("varchar8001", DatabaseTypeGroup::Character, 8001), 10000},
      {Column("varcharmax", DatabaseTypeGroup::Character, 0), 10000},
      {Column("int", DatabaseTypeGroup::Other, 10), 50},
      {Column("datetime", DatabaseTypeGroup::Other, 23), 50},
      {Column("varbinary", DatabaseTypeGroup::Other, 4000), 50},
  };
  std::vector<CDatabaseColumn> columns;
  std::vector<std::uint64_t> widths;
  for (const Case& c : cases) {
    columns.push_back(c.column);
    widths.push_back(c.width);
  }
  m_database.m_commands["q"] = CScriptCommand{test::CommandStep::None, {}, {Rowset(columns, {})}};
  auto runner = MakeRunner("q");
  ASSERT_TRUE(runner->RunQuery("q"));
  ASSERT_EQ(m_database.m_log.arrBoundWidths.size(), 1u);
  EXPECT_EQ(m_database.m_log.arrBoundWidths[0], widths);
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  EXPECT_EQ(resultset.GetRowCount(), 0u);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(resultset.GetColumn(i).m_nWidth, widths[i]) << cases[i].column.strName;
    EXPECT_EQ(resultset.GetColumn(i).m_strName, cases[i].column.strName);
  }
}

TEST_F(QueryRunnerTest, CaptureCutsValuesAtTheSlotAndReadsNullAsEmpty) {
  std::string huge(100000, 'h');
  m_database.m_commands["q"] = CScriptCommand{
      test::CommandStep::None,
      {},
      {Rowset({Column("v5", DatabaseTypeGroup::Character, 5), Column("n", DatabaseTypeGroup::Other),
               Column("t", DatabaseTypeGroup::Long), Column("", DatabaseTypeGroup::Character, 10)},
              {{"abcdefgh", std::string(60, '9'), huge, std::string("ab\0cd", 5)},
               {std::nullopt, std::nullopt, std::nullopt, ""}})}};
  auto runner = MakeRunner("q");
  ASSERT_TRUE(runner->RunQuery("q"));
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  EXPECT_EQ(resultset.GetValue(0, 0), "abcde");
  EXPECT_EQ(resultset.GetValue(0, 1), std::string(49, '9'));
  EXPECT_EQ(resultset.GetValue(0, 2), std::string(9999, 'h'));
  EXPECT_EQ(resultset.GetValue(0, 3), "ab");  // the slot's text ends at its first zero byte
  EXPECT_EQ(resultset.GetColumn(3).m_strName, "");
  for (std::size_t column = 0; column < 4; ++column) EXPECT_EQ(resultset.GetValue(1, column), "");
}

// A rowset whose columns or rows cannot be read would leave the message without its rows:
// the run fails with the driver's message, and the result sets after it are not read.
TEST_F(QueryRunnerTest, ColumnOrAccessorFailureFailsTheRun) {
  const struct {
    bool bFailDescribe;
    const char* message;
  } cases[] = {{true, "no column information"}, {false, "no accessor"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    CScriptResult before = Rowset({Column("a", DatabaseTypeGroup::Other)}, {{"1"}});
    CScriptResult broken = Rowset({Column("b", DatabaseTypeGroup::Other)}, {{"2"}});
    broken.bFailDescribe = c.bFailDescribe;
    broken.bFailBind = !c.bFailDescribe;
    CScriptResult after = Rowset({Column("c", DatabaseTypeGroup::Other)}, {{"3"}});
    m_database.m_commands["q"] = CScriptCommand{test::CommandStep::None, {}, {before, broken, after}};
    auto runner = MakeRunner("q");
    EXPECT_FALSE(runner->RunQuery("q"));
    EXPECT_EQ(runner->GetQueryError(), std::string("OLEDB Message ") + c.message +
                                           " : Server  : Procedure  : Native 0 : State 0 : Class 0 : LineNumber 0\n");
    EXPECT_NE(LogMessages(m_log).back(), "Query Successful");
    EXPECT_EQ(runner->GetResultset(0).GetValue(0, 0), "1");
    for (std::size_t i = 0; i < runner->GetResultsetCount(); ++i) {
      EXPECT_NE(runner->GetResultset(i).GetColumn(0).m_strName, "c");
    }
  }
}

TEST_F(QueryRunnerTest, ThousandsOfResultSetsAreAllKept) {
  std::vector<CScriptResult> results;
  for (int i = 0; i < 3000; ++i) results.push_back(Rowset({Column("i", DatabaseTypeGroup::Other)}, {{std::to_string(i)}}));
  m_database.m_commands["q"] = CScriptCommand{test::CommandStep::None, {}, results};
  auto runner = MakeRunner("q");
  runner->m_nDebug = 0;
  ASSERT_TRUE(runner->RunQuery("q"));
  ASSERT_EQ(runner->GetResultsetCount(), 3000u);
  EXPECT_EQ(runner->GetResultset(2999).GetValue(0, 0), "2999");
}

TEST_F(QueryRunnerTest, LoggingOffWritesNoFile) {
  m_database.m_nFailAt = ScriptStep::Connect;
  m_database.m_arrRecords = {Record("down")};
  for (int debug : {0, -1}) {
    auto runner = MakeRunner();
    runner->m_nDebug = debug;
    EXPECT_FALSE(runner->RunQuery("select 1"));
    EXPECT_FALSE(std::filesystem::exists(m_log));
    EXPECT_NE(runner->GetQueryError(), "");
  }
}

TEST_F(QueryRunnerTest, QueryTextWithLineBreaksIsLoggedLineByLine) {
  auto runner = MakeRunner();
  ASSERT_TRUE(runner->RunQuery("select 1\r\nselect 2\rselect '\x1b[2J'\r\n"));
  std::vector<std::string> log = Log();
  // Every line of the query is a log line of its own, with the prefix; the trailing line
  // end adds none; the escape is censored.
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[log.size() - 4], "Executing query select 1");
  EXPECT_EQ(log[log.size() - 3], "select 2");
  EXPECT_EQ(log[log.size() - 2], "select '?[2J'");
  EXPECT_EQ(log.back(), "Query Successful");
  std::ifstream file(m_log, std::ios::binary);
  for (std::string line; std::getline(file, line);) {
    EXPECT_TRUE(line.size() >= 23 && line.compare(20, 3, " - ") == 0) << "a line without the prefix: " << line;
  }
}

// Every rendering setting of the runner reaches the result sets it captures.
TEST_F(QueryRunnerTest, CapturedResultSetsCarryEveryRenderingSetting) {
  m_database.m_commands["q"] =
      CScriptCommand{test::CommandStep::None, {}, {Rowset({Column("a", DatabaseTypeGroup::Other)}, {{"1"}})}};
  struct Flag {
    bool CSMTPOLEDBQuery::*runner;
    bool CRenderSettings::*settings;
  };
  struct Text {
    std::string CSMTPOLEDBQuery::*runner;
    std::string CRenderSettings::*settings;
  };
  const Flag flags[] = {{&CSMTPOLEDBQuery::m_bHTML, &CRenderSettings::m_bHTML},
                        {&CSMTPOLEDBQuery::m_bHTMLEscape, &CRenderSettings::m_bHTMLEscape},
                        {&CSMTPOLEDBQuery::m_bCSV, &CRenderSettings::m_bCSV}};
  const Text texts[] = {{&CSMTPOLEDBQuery::m_strRowSeparator, &CRenderSettings::m_strRowSeparator},
                        {&CSMTPOLEDBQuery::m_strFieldSeparator, &CRenderSettings::m_strFieldSeparator},
                        {&CSMTPOLEDBQuery::m_strTerminator, &CRenderSettings::m_strTerminator},
                        {&CSMTPOLEDBQuery::m_strTableCaption, &CRenderSettings::m_strTableCaption},
                        {&CSMTPOLEDBQuery::m_strTableTag, &CRenderSettings::m_strTableTag},
                        {&CSMTPOLEDBQuery::m_strCaptionTag, &CRenderSettings::m_strCaptionTag},
                        {&CSMTPOLEDBQuery::m_strHeaderTag, &CRenderSettings::m_strHeaderTag},
                        {&CSMTPOLEDBQuery::m_strTDTag, &CRenderSettings::m_strTDTag},
                        {&CSMTPOLEDBQuery::m_strTRTag, &CRenderSettings::m_strTRTag}};
  for (const Flag& flag : flags) {
    auto runner = MakeRunner("q");
    (*runner).*flag.runner = true;
    ASSERT_TRUE(runner->RunQuery("q"));
    const CRenderSettings& settings = runner->GetResultset(0).Settings();
    for (const Flag& other : flags) EXPECT_EQ(settings.*other.settings, flag.runner == other.runner);
  }
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    auto runner = MakeRunner("q");
    (*runner).*texts[i].runner = "<setting " + std::to_string(i) + ">";
    ASSERT_TRUE(runner->RunQuery("q"));
    const CRenderSettings& settings = runner->GetResultset(0).Settings();
    for (const Text& text : texts) EXPECT_EQ(settings.*text.settings, runner.get()->*text.runner) << i;
    EXPECT_EQ(settings.*texts[i].settings, "<setting " + std::to_string(i) + ">");
  }
}

// A batch is closed as soon as it has been walked, whichever way it ended: its cursor
// must not stay open (holding locks in the caller's transaction) while the mail is sent.
TEST_F(QueryRunnerTest, EveryBatchIsClosedWhenItsWalkEnds) {
  CScriptResult failed;
  failed.nKind = DatabaseResult::Failed;
  failed.arrRecords = {Record("Divide by zero error encountered.")};
  const std::vector<std::pair<const char*, CScriptCommand>> cases = {
      {"rows", CScriptCommand{test::CommandStep::None, {}, {Rowset({Column("a", DatabaseTypeGroup::Other)}, {{"1"}})}}},
      {"failed result", CScriptCommand{test::CommandStep::None, {}, {failed}}},
      {"failed execution", CScriptCommand{test::CommandStep::Execute, {Record("refused")}, {}}},
      {"refused text", CScriptCommand{test::CommandStep::SetText, {Record("refused")}, {}}},
  };
  for (const auto& [name, command] : cases) {
    m_database.m_commands["q"] = command;
    m_database.m_log = {};
    auto runner = MakeRunner("q");
    runner->m_bBind = 1;
    ASSERT_TRUE(runner->RunQuery("q")) << name;
    EXPECT_EQ(m_database.m_log.arrCommands.size(), 2u) << name;
    EXPECT_EQ(m_database.m_log.nOpenBatches, 0u) << name;
  }
}

}  // namespace
}  // namespace varnel
