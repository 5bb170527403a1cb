// The query runner against PostgreSQL through psqlODBC, on the throwaway cluster that
// scripts/with-postgres starts. Skipped only when that script did not run.
#include <gtest/gtest.h>

#include <cstdlib>

#include "QueryTestSupport.h"
#include "platform/Platform.h"
#include "query/SMTPOLEDBQuery.h"

namespace varnel {
namespace {

using test::CFixedSettings;
using test::CTemporaryDirectory;
using test::LogMessages;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class QueryPostgresTest : public ::testing::Test {
 protected:
  QueryPostgresTest() : m_settings("PostgreSQL ANSI", "Port=" + Environment("VARNEL_PG_PORT") + ";") {
    m_platform.pDatabase = &DefaultDatabaseClient();
    m_platform.pSettings = &m_settings;
  }

  void SetUp() override {
    if (Environment("VARNEL_PG_PORT").empty()) GTEST_SKIP() << "VARNEL_PG_PORT is not set (run under scripts/with-postgres)";
  }

  std::unique_ptr<CSMTPOLEDBQuery> MakeRunner(const std::string& sql) {
    auto runner = std::make_unique<CSMTPOLEDBQuery>(sql, m_platform);
    runner->m_strServer = "127.0.0.1";
    runner->m_strDatabase = Environment("VARNEL_PG_DATABASE");
    runner->m_strUser = Environment("VARNEL_PG_USER");
    runner->m_bUserGiven = true;
    runner->m_strPassword = Environment("VARNEL_PG_PASSWORD");
    runner->m_bBind = 0;
    runner->m_nDebug = 1;
    runner->m_strLogFileName = m_log;
    return runner;
  }

  std::unique_ptr<CSMTPOLEDBQuery> Run(const std::string& sql) {
    auto runner = MakeRunner(sql);
    EXPECT_TRUE(runner->RunQuery(sql)) << runner->GetQueryError();
    return runner;
  }

  CTemporaryDirectory m_directory;
  std::string m_log = m_directory.File("query.log");
  CFixedSettings m_settings;
  CPlatform m_platform;
};

TEST_F(QueryPostgresTest, TwoSelectsGiveTwoResultSetsInOrder) {
  // The password of the test role holds "}", "{", ";" and "=": connecting proves its quoting.
  auto runner = Run("select 1 as a, 'x' as b; select 2 as c");
  EXPECT_EQ(runner->GetQueryError(), "");
  ASSERT_EQ(runner->GetResultsetCount(), 2u);
  EXPECT_EQ(runner->GetResultset(0).GetColumn(1).m_strName, "b");
  EXPECT_EQ(runner->GetResultset(0).GetValue(0, 1), "x");
  EXPECT_EQ(runner->GetResultset(1).GetColumn(0).m_strName, "c");
  EXPECT_EQ(runner->GetResultset(1).GetValue(0, 0), "2");
}

TEST_F(QueryPostgresTest, UpdatesOnlyGiveNoResultSet) {
  auto runner = Run("create temp table t(x int); insert into t values (1), (2); update t set x = x + 1; "
                    "delete from t where x = 99");
  EXPECT_EQ(runner->GetQueryError(), "");
  EXPECT_EQ(runner->GetResultsetCount(), 0u);
}

TEST_F(QueryPostgresTest, SyntaxErrorIsReportedAndTheRunSucceeds) {
  auto runner = Run("selec 1");
  EXPECT_EQ(runner->GetResultsetCount(), 0u);
  std::string error = runner->GetQueryError();
  EXPECT_EQ(error.rfind("OLEDB Message ERROR: syntax error", 0), 0u) << error;
  EXPECT_NE(error.find(" : Server  : Procedure  : Native "), std::string::npos) << error;
  EXPECT_EQ(LogMessages(m_log).back(), "Query Successful");
}

TEST_F(QueryPostgresTest, WrongPasswordFailsTheConnection) {
  for (const std::string& password : {Environment("VARNEL_PG_PASSWORD") + "x", std::string("x};DATABASE={postgres")}) {
    auto runner = MakeRunner("select 1");
    runner->m_strPassword = password;
    EXPECT_FALSE(runner->RunQuery("select 1"));
    EXPECT_NE(runner->GetQueryError().find("password authentication failed"), std::string::npos)
        << runner->GetQueryError();
    EXPECT_EQ(LogMessages(m_log).back(), "Connection failed");
    EXPECT_EQ(runner->GetResultsetCount(), 0u);
  }
}

TEST_F(QueryPostgresTest, ValuesThatWouldAddAttributesAreRefused) {
  auto runner = MakeRunner("select 1");
  runner->m_strDatabase = "postgres;UID=postgres";
  EXPECT_FALSE(runner->RunQuery("select 1"));
  EXPECT_NE(runner->GetQueryError().find("';'"), std::string::npos) << runner->GetQueryError();
  EXPECT_EQ(LogMessages(m_log).back(), "SetProperties failed");
}

TEST_F(QueryPostgresTest, NullsReadAsEmpty) {
  auto runner = Run("select null::int as a, null::text as b, null::varchar(5) as c, null::bytea as d");
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 1u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(resultset.GetValue(0, i), "") << i;
}

TEST_F(QueryPostgresTest, EveryColumnTypeGroupGetsItsWidth) {
  struct Case {
    const char* expression;
    std::uint64_t width;
    const char* value;  // nullptr: not compared
  };
  const std::vector<Case> cases = {
      {"1::int", 50, "1"},
      {"9007199254740993::bigint", 50, "9007199254740993"},
      {"7::smallint", 50, "7"},
      {"1.50::numeric(5,2)", 50, "1.50"},
      {"2.5::real", 50, "2.5"},
      {"'2009-03-05 14:07:31'::timestamp", 50, "2009-03-05 14:07:31"},
      {"'2009-03-05'::date", 50, "2009-03-05"},
      {"'14:07:31'::time", 50, "14:07:31"},
      {"'00000000-0000-0000-0000-00000000002a'::uuid", 50, "00000000-0000-0000-0000-00000000002A"},
      {"'abc'::varchar(5)", 6, "abc"},
      {"'ab'::char(4)", 5, "ab  "},
      {"'long text'::text", 10000, "long text"},
      {"'\\x00ff'::bytea", 10000, nullptr},
      {"repeat('v', 300)::varchar", 256, nullptr},  // unbounded: the driver reports 255
  };
  std::string sql = "select ";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (i != 0) sql += ", ";
    sql += cases[i].expression;
    sql += " as c" + std::to_string(i);
  }
  auto runner = Run(sql);
  ASSERT_EQ(runner->GetResultsetCount(), 1u) << runner->GetQueryError();
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 1u);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].expression);
    EXPECT_EQ(resultset.GetColumn(i).m_nWidth, cases[i].width);
    if (cases[i].value != nullptr) {
      EXPECT_EQ(resultset.GetValue(0, i), cases[i].value);
    }
  }
  EXPECT_EQ(resultset.GetValue(0, 13), std::string(255, 'v'));  // cut at its slot
}

TEST_F(QueryPostgresTest, LongAndHugeTextIsCutAtTheSlot) {
  auto runner = Run("select repeat('x', 20000) as t, repeat('y', 5000000) as huge, repeat('z', 300)::varchar(400) as v");
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  EXPECT_EQ(resultset.GetValue(0, 0), std::string(9999, 'x'));
  EXPECT_EQ(resultset.GetValue(0, 1), std::string(9999, 'y'));
  EXPECT_EQ(resultset.GetValue(0, 2), std::string(300, 'z'));
  EXPECT_EQ(runner->GetQueryError(), "");
}

TEST_F(QueryPostgresTest, LongValuesAroundTheBoundSlotArriveWholeUpToTheirWidth) {
  // Long columns are bound narrower than their width; values longer than the bound slot
  // are read again, in rows between short ones and NULLs, over several blocks.
  const std::size_t lengths[] = {0, 1, 255, 256, 257, 510, 511, 512, 513, 2000, 9998, 9999, 10000, 12000};
  std::string sql = "select n, case when n % 2 = 0 then repeat('x', l) else 'short' end as a, "
                    "case when n % 2 = 0 then repeat(chr(233), l) end as b from (values ";
  for (std::size_t i = 0; i < std::size(lengths); ++i) {
    for (int copy = 0; copy < 2; ++copy) {
      sql += (i == 0 && copy == 0 ? "(" : ", (") + std::to_string(2 * i + copy) + ", " + std::to_string(lengths[i]) + ")";
    }
  }
  sql += ") as v(n, l) order by n";
  auto runner = Run(sql);
  ASSERT_EQ(runner->GetResultsetCount(), 1u) << runner->GetQueryError();
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

TEST_F(QueryPostgresTest, BinaryDataArrivesAsText) {
  auto runner = Run("select decode(string_agg(lpad(to_hex(i), 2, '0'), '' order by i), 'hex') as b, "
                    "convert_to('caf' || chr(233), 'LATIN1') as latin from generate_series(0, 255) as i");
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 1u);
  std::string_view bytes = resultset.GetValue(0, 0);
  EXPECT_EQ(bytes.substr(0, 6), "000102");
  EXPECT_EQ(bytes.size(), 512u);
  EXPECT_EQ(resultset.GetValue(0, 1), "636166e9");
}

TEST_F(QueryPostgresTest, ThousandsOfResultSetsAreKeptInOrder) {
  std::string sql;
  for (int i = 0; i < 2000; ++i) sql += "select " + std::to_string(i) + " as n;";
  auto runner = MakeRunner("batch");
  runner->m_nDebug = 0;
  ASSERT_TRUE(runner->RunQuery(sql));
  ASSERT_EQ(runner->GetResultsetCount(), 2000u);
  for (std::size_t i = 0; i < 2000; i += 199) EXPECT_EQ(runner->GetResultset(i).GetValue(0, 0), std::to_string(i));
}

TEST_F(QueryPostgresTest, RefusedBindingCommandLeavesTheConnectionUsable) {
  auto runner = MakeRunner("select 5 as n");
  runner->m_bBind = 1;
  ASSERT_TRUE(runner->RunQuery("select 5 as n"));
  EXPECT_EQ(runner->GetQueryError(), "");
  ASSERT_EQ(runner->GetResultsetCount(), 1u);
  EXPECT_EQ(runner->GetResultset(0).GetValue(0, 0), "5");
}

}  // namespace
}  // namespace varnel
