// The query runner over the real ODBC client: connection strings, SQLite through its ODBC
// driver (SQLite3) on temporary database files, and FreeTDS against a closed loopback
// port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <thread>

#include "QueryTestSupport.h"
#include "platform/DatabaseClient.h"
#include "platform/OdbcConnectionString.h"
#include "platform/Platform.h"
#include "query/SMTPOLEDBQuery.h"

namespace varnel {
namespace {

using test::CFixedSettings;
using test::CTemporaryDirectory;
using test::LogMessages;

TEST(QueryConnectionStringTest, ValuesAreQuotedSoThatNoneAddsAnAttribute) {
  struct Case {
    const char* name;
    CDatabaseProperties properties;
    const char* expected;  // nullptr: refused
  };
  auto props = [](std::string driver, std::string attributes, std::string server, std::string database,
                  bool integrated, std::string user, std::string password) {
    CDatabaseProperties p;
    p.strDriver = std::move(driver);
    p.strAttributes = std::move(attributes);
    p.strServer = std::move(server);
    p.strDatabase = std::move(database);
    p.bIntegrated = integrated;
    p.strUser = std::move(user);
    p.strPassword = std::move(password);
    return p;
  };
  const std::vector<Case> cases = {
      {"standard driver: braces, closing brace doubled",
       props("ODBC Driver 18 for SQL Server", "Encrypt=no;", "h;PORT=1", "a}b", false, "u{", "p};DRIVER={evil}=x"),
       "DRIVER={ODBC Driver 18 for SQL Server};SERVER={h;PORT=1};DATABASE={a}}b};UID={u{};PWD={p}};DRIVER={evil}}=x};"
       "Encrypt=no;"},
      {"integrated security sends no user or password",
       props("SQL Server", "", "srv", "db", true, "ignored", "ignored"),
       "DRIVER={SQL Server};SERVER={srv};DATABASE={db};Trusted_Connection=Yes;"},
      {"empty values are sent empty", props("SQL Server", "", "", "", false, "", ""),
       "DRIVER={SQL Server};SERVER={};DATABASE={};UID={};PWD={};"},
      {"FreeTDS: braces taken verbatim", props("FreeTDS", "Port=1433;", "db1", "a;b", false, "u{x}", "p}"),
       "DRIVER={FreeTDS};SERVER={db1};DATABASE={a;b};UID={u{x}};PWD={p}};Port=1433;"},
      {"FreeTDS cannot take '}' with ';'", props("FreeTDS", "", "db1", "m", false, "sa", "x};SERVER=evil"), nullptr},
      {"PostgreSQL: braces for the password only",
       props("PostgreSQL ANSI", "Port=5432;", "127.0.0.1", "mail", false, "u}{", "p}{;=x}"),
       "DRIVER={PostgreSQL ANSI};SERVER=127.0.0.1;DATABASE=mail;UID=u}{;PWD={p}}{;=x}}};UseDeclareFetch=1;Fetch=5000;"
       "Port=5432;"},
      {"PostgreSQL cannot take ';' outside the password",
       props("PostgreSQL Unicode", "", "127.0.0.1;PORT=1", "mail", false, "u", "p"), nullptr},
      {"PostgreSQL cannot take a leading brace outside the password",
       props("PostgreSQL ANSI", "", "{127.0.0.1", "mail", false, "u", "p"), nullptr},
      {"SQLite names only its file", props("SQLite3", "Timeout=2000;", "srv;x", "/tmp/a b{}.db", false, "u;", "p;"),
       "DRIVER={SQLite3};DATABASE=/tmp/a b{}.db;Timeout=2000;StepAPI=1;"},
      {"SQLite: the administrator's attributes come first", props("SQLite3", "StepAPI=0", "", "x.db", false, "", ""),
       "DRIVER={SQLite3};DATABASE=x.db;StepAPI=0;StepAPI=1;"},
      {"SQLite cannot take a semicolon", props("SQLite3", "", "", "/tmp/a;NoCreat=0", false, "", ""), nullptr},
      {"SQLite: the default database is in memory", props("SQLite3", "", "", "master", false, "", ""),
       "DRIVER={SQLite3};DATABASE=:memory:;StepAPI=1;"},
      {"a zero byte is refused", props("SQL Server", "", "", "", false, "", std::string("a\0b", 3)), nullptr},
      {"no driver setting", props("", "", "s", "d", true, "", ""), "SERVER={s};DATABASE={d};Trusted_Connection=Yes;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = "stale";
    std::string problem;
    bool built = BuildOdbcConnectionString(c.properties, text, problem);
    if (c.expected == nullptr) {
      EXPECT_FALSE(built);
      EXPECT_NE(problem, "");
      EXPECT_EQ(text, "");
    } else {
      EXPECT_TRUE(built) << problem;
      EXPECT_EQ(text, c.expected);
    }
  }
}

class QuerySQLiteTest : public ::testing::Test {
 protected:
  QuerySQLiteTest() : m_settings("SQLite3", "") {
    m_platform.pDatabase = &DefaultDatabaseClient();
    m_platform.pSettings = &m_settings;
  }

  // prepare, when given, sets the runner up further before it runs.
  std::unique_ptr<CSMTPOLEDBQuery> Run(const std::string& sql, bool expectConnected = true,
                                       const std::function<void(CSMTPOLEDBQuery&)>& prepare = {}) {
    auto runner = std::make_unique<CSMTPOLEDBQuery>(sql, m_platform);
    runner->m_strDatabase = m_database;
    runner->m_bBind = 0;
    runner->m_nDebug = 1;
    runner->m_strLogFileName = m_log;
    if (prepare) prepare(*runner);
    EXPECT_EQ(runner->RunQuery(sql), expectConnected) << sql << "\n" << runner->GetQueryError();
    return runner;
  }

  void Execute(const std::string& sql) {
    auto runner = Run(sql);
    EXPECT_EQ(runner->GetQueryError(), "") << sql;
  }

  CTemporaryDirectory m_directory;
  std::string m_database = m_directory.File("mail.db");
  std::string m_log = m_directory.File("query.log");
  CFixedSettings m_settings;
  CPlatform m_platform;
};

TEST_F(QuerySQLiteTest, ColumnsGetTheirWidthsAndValuesTheirSlots) {
  Execute(
      "create table t(id int, name varchar(20), body text, at datetime, amount numeric(10,2), data blob, "
      "code char(5), wide nvarchar(7))");
  Execute(
      "insert into t values(1, 'abcdefghijklmnopqrstuvwxyz', replace(hex(zeroblob(6000)), '00', 'xy'), "
      "'2009-03-05 14:07:31', 1.5, x'00ff10', 'abc', 'n')");
  Execute("insert into t values(null, null, null, null, null, null, null, null)");
  auto runner = Run("select * from t order by id desc");
  EXPECT_EQ(runner->GetQueryError(), "");
  ASSERT_EQ(runner->GetResultsetCount(), 1u);
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  const std::vector<std::pair<const char*, std::uint64_t>> columns = {
      {"id", 50}, {"name", 21}, {"body", 10000}, {"at", 50}, {"amount", 50}, {"data", 50}, {"code", 6}, {"wide", 8}};
  ASSERT_EQ(resultset.GetColumnCount(), columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) {
    EXPECT_EQ(resultset.GetColumn(i).m_strName, columns[i].first);
    EXPECT_EQ(resultset.GetColumn(i).m_nWidth, columns[i].second) << columns[i].first;
  }
  ASSERT_EQ(resultset.GetRowCount(), 2u);
  EXPECT_EQ(resultset.GetValue(0, 0), "1");
  EXPECT_EQ(resultset.GetValue(0, 1), "abcdefghijklmnopqrst");  // cut at the slot
  std::string body;
  while (body.size() < 9999) body += "xy";
  body.resize(9999);
  EXPECT_EQ(resultset.GetValue(0, 2), body);  // a long column's slot holds 9999 characters
  EXPECT_EQ(resultset.GetValue(0, 3), "2009-03-05 14:07:31");
  EXPECT_EQ(resultset.GetValue(0, 4), "1.5");
  EXPECT_NE(resultset.GetValue(0, 5), "");  // binary arrives as text
  EXPECT_EQ(resultset.GetValue(0, 6), "abc");
  for (std::size_t i = 0; i < columns.size(); ++i) EXPECT_EQ(resultset.GetValue(1, i), "") << "NULL in " << i;
}

TEST_F(QuerySQLiteTest, AccentedTextIsCutInCharactersOfTheCodePageNotInDriverBytes) {
  // The driver speaks UTF-8 (two bytes for "\xE9", four for U+1F600); the slot counts the
  // characters of the procedure's code page.
  Execute("create table u(short nvarchar(5), name varchar(20), pair varchar(2), body text)");
  Execute(
      "insert into u values('\xE9\xE9\xE9\xE9\xE9\xE9', replace(hex(zeroblob(21)), '00', '\xE9'), "
      "'a' || char(128512) || 'b', replace(hex(zeroblob(12000)), '00', '\xE9'))");
  auto runner = Run("select * from u");
  EXPECT_EQ(runner->GetQueryError(), "");
  ASSERT_EQ(runner->GetResultsetCount(), 1u);
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 1u);
  EXPECT_EQ(resultset.GetValue(0, 0), std::string(5, '\xE9'));
  EXPECT_EQ(resultset.GetValue(0, 1), std::string(20, '\xE9'));
  EXPECT_EQ(resultset.GetValue(0, 2), "a?");
  EXPECT_EQ(resultset.GetValue(0, 3), std::string(9999, '\xE9'));
}

TEST_F(QuerySQLiteTest, UnconvertedMultiByteTextIsCutAtAWholeCharacter) {
  // A UTF-8 message takes the driver's bytes as they are: a value longer than its slot
  // loses whole characters, never half of one ("\xC3\x9F" is one character).
  m_settings.m_nCodePage = 65001;
  Execute("create table w(name varchar(5), body text)");
  Execute("insert into w values('Gr\xC3\xB6\xC3\x9F' || 'e', replace(hex(zeroblob(6000)), '00', '\xC3\xB6'))");
  auto runner = Run("select * from w");
  ASSERT_EQ(runner->GetResultsetCount(), 1u);
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 1u);
  EXPECT_EQ(resultset.GetValue(0, 0), "Gr\xC3\xB6");
  std::string body(resultset.GetValue(0, 1));
  EXPECT_EQ(body.size(), 9998u) << "9999 bytes would end inside a character";
  EXPECT_EQ(body.substr(body.size() - 2), "\xC3\xB6");
}

// A value cut to its slot after the conversion to a double-byte code page keeps whole
// characters: a lone lead byte would take the next byte of the message with it.
TEST_F(QuerySQLiteTest, ValueCutInADoubleByteCodePageKeepsWholeCharacters) {
  const struct {
    int nCodePage;
    const char* type;
    const char* value;  // SQLite expression
    const char* expected;
  } cases[] = {
      {932, "varchar(4)", "'a' || char(26085, 26412)", "a\x93\xFA"},
      {932, "varchar(3)", "char(26085, 26412)", "\x93\xFA"},
      {932, "varchar(4)", "char(26085, 26412)", "\x93\xFA\x96\x7B"},
      {932, "varchar(2)", "'ab' || char(26085)", "ab"},
      {936, "varchar(3)", "char(20013, 25991)", "\xD6\xD0"},
      {1252, "varchar(2)", "char(233, 232, 224)", "\xE9\xE8"},
  };
  int table = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.value);
    m_settings.m_nCodePage = c.nCodePage;
    std::string name = "t" + std::to_string(table++);
    Execute("create table " + name + "(v " + c.type + ")");
    Execute("insert into " + name + " values(" + c.value + ")");
    auto runner = Run("select v from " + name);
    ASSERT_EQ(runner->GetResultsetCount(), 1u);
    EXPECT_EQ(runner->GetResultset(0).GetValue(0, 0), c.expected);
  }
}

TEST_F(QuerySQLiteTest, RowsComeInOrderAcrossFetchBlocks) {
  auto runner = Run("with recursive c(n) as (select 1 union all select n + 1 from c where n < 2345) select n, "
                    "'row ' || n as label from c");
  ASSERT_EQ(runner->GetResultsetCount(), 1u);
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 2345u);
  for (std::size_t i = 0; i < 2345; ++i) {
    ASSERT_EQ(resultset.GetValue(i, 0), std::to_string(i + 1));
    ASSERT_EQ(resultset.GetValue(i, 1), "row " + std::to_string(i + 1));
  }
}

TEST_F(QuerySQLiteTest, LongValuesAroundTheBoundSlotArriveWholeUpToTheirWidth) {
  // Long columns are bound narrower than their width; values longer than the bound slot
  // are read again, in rows between short ones and NULLs.
  const std::size_t lengths[] = {0, 1, 255, 256, 257, 510, 511, 512, 513, 2000, 9998, 9999, 10000, 12000};
  Execute("create table l(n int, ascii text, accented text)");
  std::string sql = "insert into l values";
  for (std::size_t i = 0; i < std::size(lengths); ++i) {
    std::string n = std::to_string(lengths[i]);
    sql += (i == 0 ? "" : ",") + std::string("(") + std::to_string(i) + ", substr(replace(hex(zeroblob(" + n +
           ")), '00', 'xx'), 1, " + n + "), substr(replace(hex(zeroblob(" + n + ")), '00', '\xE9\xE9'), 1, " + n +
           ")), (null, 'short', null)";
  }
  Execute(sql);
  auto runner = Run("select * from l");
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 2 * std::size(lengths));
  for (std::size_t i = 0; i < std::size(lengths); ++i) {
    std::size_t expected = std::min<std::size_t>(lengths[i], 9999);
    EXPECT_EQ(resultset.GetValue(2 * i, 1), std::string(expected, 'x')) << lengths[i];
    EXPECT_EQ(resultset.GetValue(2 * i, 2), std::string(expected, '\xE9')) << lengths[i];
    EXPECT_EQ(resultset.GetValue(2 * i + 1, 1), "short");
    EXPECT_EQ(resultset.GetValue(2 * i + 1, 2), "");
  }
}

TEST_F(QuerySQLiteTest, EmptyResultKeepsItsColumnsAndClosesItsTable) {
  auto runner = Run("select 1 as a, 'x' as b where 0", true, [](CSMTPOLEDBQuery& query) {
    query.m_bHTML = true;
    query.m_strTerminator = "\r\n";
  });
  ASSERT_EQ(runner->GetResultsetCount(), 1u);
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  EXPECT_EQ(resultset.GetRowCount(), 0u);
  EXPECT_EQ(resultset.GetColumnCount(), 2u);
  EXPECT_EQ(resultset.FormatHeader(), "\r\n<TABLE><TR><TH>a</TH><TH>b</TH></TR></TABLE>\r\n");
}

TEST_F(QuerySQLiteTest, StatementWithoutRowsAddsNoResultSet) {
  Execute("create table t(x int)");
  auto runner = Run("update t set x = 1 where x = 99");
  EXPECT_EQ(runner->GetResultsetCount(), 0u);
  EXPECT_EQ(runner->GetQueryError(), "");
  EXPECT_EQ(LogMessages(m_log).back(), "Query Successful");
}

TEST_F(QuerySQLiteTest, SyntaxErrorIsReportedAndTheRunStillSucceeds) {
  auto runner = Run("selec 1");
  EXPECT_EQ(runner->GetResultsetCount(), 0u);
  std::string error = runner->GetQueryError();
  EXPECT_EQ(error.rfind("OLEDB Message ", 0), 0u) << error;
  EXPECT_NE(error.find("syntax error"), std::string::npos) << error;
  EXPECT_EQ(error.back(), '\n');
  EXPECT_EQ(LogMessages(m_log).back(), "Query Successful");
}

// A row that fails on the way (a function's error in row 500, after many fetches) ends the
// result before its end: the run fails with the driver's message, so no mail goes out
// with part of a table.
TEST_F(QuerySQLiteTest, FetchThatFailsPartWayFailsTheRunWithTheDriversMessage) {
  const struct {
    const char* expression;
    const char* message;
  } cases[] = {
      {"abs(-9223372036854775807 - 1)", "integer overflow"},
      {"json('{bad')", "malformed JSON"},
  };
  for (const auto& c : cases) {
    auto runner = Run(std::string("with recursive n(i) as (select 1 union all select i + 1 from n where i < 600) "
                                  "select i, case when i = 500 then ") +
                          c.expression + " else 'fine' end from n",
                      false);
    std::string error = runner->GetQueryError();
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_NE(LogMessages(m_log).back(), "Query Successful");
  }
}

TEST_F(QuerySQLiteTest, RefusedBindingCommandIsOnlyLogged) {
  auto runner = std::make_unique<CSMTPOLEDBQuery>("select 7", m_platform);
  runner->m_strDatabase = m_database;
  runner->m_nDebug = 1;
  runner->m_strLogFileName = m_log;
  ASSERT_TRUE(runner->RunQuery("select 7"));  // binding on by default: SQLite has no sp_bindsession
  EXPECT_EQ(runner->GetQueryError(), "");
  ASSERT_EQ(runner->GetResultsetCount(), 1u);
  EXPECT_EQ(runner->GetResultset(0).GetValue(0, 0), "7");
  std::vector<std::string> log = LogMessages(m_log);
  auto binding = std::find(log.begin(), log.end(), "Binding to existing session");
  ASSERT_NE(binding, log.end());
  EXPECT_EQ((binding + 1)->rfind("OLEDB Message ", 0), 0u);
  EXPECT_EQ(*(binding + 2), "Testing whether to bind to the clients connection for shared transaction space complete");
}

TEST_F(QuerySQLiteTest, MissingDirectoryFailsTheConnectionWithTheDriversMessage) {
  m_database = m_directory.File("no/such/dir/mail.db");
  auto runner = Run("select 1", false);
  EXPECT_NE(runner->GetQueryError().find("[SQLite]"), std::string::npos) << runner->GetQueryError();
  std::vector<std::string> log = LogMessages(m_log);
  EXPECT_EQ(log.back(), "Connection failed");
  EXPECT_EQ(log[log.size() - 3], "About to establish connection");
}

TEST_F(QuerySQLiteTest, DatabaseNameWithSemicolonIsRefusedNotInjected) {
  m_database = m_directory.File("x.db;NoCreat=1");
  auto runner = Run("select 1", false);
  EXPECT_NE(runner->GetQueryError().find("';'"), std::string::npos) << runner->GetQueryError();
  EXPECT_EQ(LogMessages(m_log).back(), "SetProperties failed");
  EXPECT_FALSE(std::filesystem::exists(m_directory.File("x.db")));
}

TEST_F(QuerySQLiteTest, HugeAndBinaryValuesAreCutNotOverrun) {
  auto runner = Run("select zeroblob(3000000) as big, randomblob(100) as noise, "
                    "substr(replace(hex(zeroblob(2000000)), '00', 'ab'), 1, 3000000) as text, "
                    "'a' || char(0) || 'b' as zero");
  ASSERT_EQ(runner->GetResultsetCount(), 1u);
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 1u);
  for (std::size_t i = 0; i < resultset.GetColumnCount(); ++i) {
    EXPECT_LT(resultset.GetValue(0, i).size(), resultset.GetColumn(i).m_nWidth);
  }
  EXPECT_EQ(resultset.GetValue(0, 2).size(), resultset.GetColumn(2).m_nWidth - 1);
  EXPECT_EQ(resultset.GetValue(0, 3).substr(0, 1), "a");
}

TEST_F(QuerySQLiteTest, SecondRunOnTheSameRunnerStartsAfresh) {
  auto runner = Run("select 1 as n");
  ASSERT_TRUE(runner->RunQuery("select 2 as n"));
  ASSERT_EQ(runner->GetResultsetCount(), 2u);
  EXPECT_EQ(runner->GetResultset(1).GetValue(0, 0), "2");
}

// A port on the loopback interface that nothing listens on.
int ClosedLoopbackPort() {
  int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(socket);
    return 0;
  }
  ::close(socket);
  return ntohs(address.sin_port);
}

TEST(QueryFreeTDSTest, ClosedPortFailsQuicklyWithTheDriversMessage) {
  int port = ClosedLoopbackPort();
  ASSERT_NE(port, 0);
  CFixedSettings settings("FreeTDS", "Port=" + std::to_string(port) + ";TDS_Version=7.4;");
  CPlatform platform;
  platform.pDatabase = &DefaultDatabaseClient();
  platform.pSettings = &settings;
  CTemporaryDirectory directory;
  CSMTPOLEDBQuery runner("select 1", platform);
  runner.m_strServer = "127.0.0.1";
  runner.m_strDatabase = "master";
  runner.m_strUser = "sa";
  runner.m_bUserGiven = true;
  runner.m_strPassword = "x}{=y";
  runner.m_nDebug = 1;
  runner.m_strLogFileName = directory.File("query.log");
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(runner.RunQuery("select 1"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  std::string error = runner.GetQueryError();
  EXPECT_EQ(error.rfind("OLEDB Message [FreeTDS]", 0), 0u) << error;
  EXPECT_NE(error.find("Unable to connect"), std::string::npos) << error;
  EXPECT_EQ(LogMessages(directory.File("query.log")).back(), "Connection failed");
}

// A loopback listener that takes one connection and keeps the client's first TDS packet,
// which with TDS 7.0 is the login record: it shows what FreeTDS read from the string.
class CLoginCatcher {
 public:
  CLoginCatcher() {
    m_nSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(m_nSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(m_nSocket, 1) == 0 &&
        ::getsockname(m_nSocket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      m_nPort = ntohs(address.sin_port);
    }
    m_thread = std::thread([this] { Serve(); });
  }
  ~CLoginCatcher() {
    Wait();
    ::close(m_nSocket);
  }
  int Port() const { return m_nPort; }

  // Field i of the login record (1 user, 2 password, 4 server, 8 database), read after
  // the thread has ended.
  std::string Field(int index) {
    Wait();
    const std::size_t base = 8;  // packet header
    if (m_arrPacket.size() < base + 40 + 4 * static_cast<std::size_t>(index) || m_arrPacket[0] != 0x10) return "?";
    auto word = [&](std::size_t at) { return static_cast<std::size_t>(m_arrPacket[at] | (m_arrPacket[at + 1] << 8)); };
    std::size_t offset = word(base + 36 + 4 * index), count = word(base + 38 + 4 * index);
    std::string text;
    for (std::size_t i = 0; i < count && base + offset + 2 * i + 1 < m_arrPacket.size(); ++i) {
      std::uint8_t low = m_arrPacket[base + offset + 2 * i];
      // The password's bytes are scrambled: nibbles swapped, then XOR 0xA5.
      if (index == 2) low = static_cast<std::uint8_t>(((low ^ 0xA5) >> 4) | (((low ^ 0xA5) << 4) & 0xF0));
      text += static_cast<char>(low);
    }
    return text;
  }

 private:
  void Wait() {
    if (m_thread.joinable()) m_thread.join();
  }

  void Serve() {
    pollfd wait{m_nSocket, POLLIN, 0};
    if (::poll(&wait, 1, 10000) != 1) return;
    int client = ::accept(m_nSocket, nullptr, nullptr);
    if (client < 0) return;
    std::uint8_t buffer[4096];
    for (;;) {
      pollfd ready{client, POLLIN, 0};
      if (::poll(&ready, 1, 10000) != 1) break;
      ssize_t received = ::recv(client, buffer, sizeof buffer, 0);
      if (received <= 0) break;
      m_arrPacket.insert(m_arrPacket.end(), buffer, buffer + received);
      if (m_arrPacket.size() >= 4 && m_arrPacket.size() >= static_cast<std::size_t>((m_arrPacket[2] << 8) | m_arrPacket[3])) break;
    }
    ::close(client);
  }

  int m_nSocket = -1;
  int m_nPort = 0;
  std::vector<std::uint8_t> m_arrPacket;
  std::thread m_thread;
};

TEST(QueryFreeTDSTest, ValuesReachTheDriverExactlyAsGiven) {
  struct Case {
    const char* database;
    const char* user;
    const char* password;
  };
  const std::vector<Case> cases = {
      {"mail;x", "u}{=ser", "p}w{=d}"},
      {"d{b=1}", "us;er", "p;DRIVER={SQLite3;w"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    CLoginCatcher catcher;
    ASSERT_NE(catcher.Port(), 0);
    CFixedSettings settings("FreeTDS", "Port=" + std::to_string(catcher.Port()) + ";TDS_Version=7.0;");
    CPlatform platform;
    platform.pDatabase = &DefaultDatabaseClient();
    platform.pSettings = &settings;
    CSMTPOLEDBQuery runner("select 1", platform);
    runner.m_strServer = "127.0.0.1";
    runner.m_strDatabase = c.database;
    runner.m_strUser = c.user;
    runner.m_bUserGiven = true;
    runner.m_strPassword = c.password;
    EXPECT_FALSE(runner.RunQuery("select 1"));  // the catcher answers nothing
    EXPECT_EQ(catcher.Field(1), c.user);
    EXPECT_EQ(catcher.Field(2), c.password);
    EXPECT_EQ(catcher.Field(4), "127.0.0.1");
    EXPECT_EQ(catcher.Field(8), c.database);
  }
}

}  // namespace
}  // namespace varnel
