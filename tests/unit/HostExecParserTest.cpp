#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ExecParser.h"

using varnel::CHostParameter;
using varnel::CCodePage;
using varnel::host::CExecParser;
using varnel::host::CParseError;
namespace ServerType = varnel::ServerType;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

// DBNUMERIC bytes: precision, scale, sign, 16-byte magnitude low byte first.
std::string Numeric(int precision, int scale, bool positive, std::uint64_t magnitude) {
  std::string bytes = Bytes({precision, scale, positive ? 1 : 0});
  for (int i = 0; i < 16; ++i) bytes += static_cast<char>(i < 8 ? (magnitude >> (8 * i)) & 0xFF : 0);
  return bytes;
}

std::vector<CHostParameter> Parse(const std::string& statement, int codePage = 1252) {
  std::vector<CHostParameter> parameters;
  CParseError error;
  bool ok = CExecParser(*CCodePage::Find(codePage)).Parse(statement, parameters, error);
  EXPECT_TRUE(ok) << statement << "\n" << error.Text();
  return parameters;
}

// Parses "exec xp_Varnel @p = <value>" and returns the one parameter.
CHostParameter Value(const std::string& value, int codePage = 1252) {
  std::vector<CHostParameter> parameters = Parse("exec xp_Varnel @p = " + value, codePage);
  EXPECT_EQ(parameters.size(), 1u) << value;
  return parameters.empty() ? CHostParameter() : parameters[0];
}

}  // namespace

TEST(HostExecParserTest, StatementForms) {
  struct Case {
    const char* statement;
    std::vector<std::string> names;
  };
  const std::vector<Case> cases = {
      {"exec xp_Varnel", {}},
      {"EXECUTE xp_varnel;", {}},
      {"xp_Varnel 'a', 'b', 'c', 'd'", {"", "", "", ""}},
      {"exec master..xp_Varnel 'a'", {""}},
      {"exec MASTER.DBO.XP_VARNEL 'a'", {""}},
      {"exec [master].[dbo].[xp_Varnel] @recipient = 'a'", {"@recipient"}},
      {"exec @rc = xp_Varnel @From='a', @ADDRESS='b'", {"@From", "@ADDRESS"}},
      {"exec xp_Varnel 'a', 'b', @subject = 's'", {"", "", "@subject"}},
      {"  -- leading comment\n exec /* a /* nested */ block */ xp_Varnel\n\t@body='x' -- trailing\n;\nGO\n", {"@body"}},
      {"exec xp_Varnel @a='--not a comment', @b='/*nor this*/'", {"@a", "@b"}},
      {"exec xp_Varnel @a=1,@b=2", {"@a", "@b"}},
  };
  for (const Case& c : cases) {
    std::vector<CHostParameter> parameters = Parse(c.statement);
    ASSERT_EQ(parameters.size(), c.names.size()) << c.statement;
    for (std::size_t i = 0; i < parameters.size(); ++i) EXPECT_EQ(parameters[i].strName, c.names[i]) << c.statement;
  }
  std::vector<CHostParameter> comments = Parse("exec xp_Varnel @a='--not a comment', @b='/*nor this*/'");
  ASSERT_EQ(comments.size(), 2u);
  EXPECT_EQ(comments[0].data, "--not a comment");
  EXPECT_EQ(comments[1].data, "/*nor this*/");
}

TEST(HostExecParserTest, LiteralsAreTypedAsTheServerPassesThem) {
  struct Case {
    const char* value;
    int type;
    bool null;
    std::string data;
  };
  const std::vector<Case> cases = {
      {"'text'", ServerType::BigVarChar, false, "text"},
      {"''", ServerType::BigVarChar, false, ""},
      {"'it''s'", ServerType::BigVarChar, false, "it's"},
      {"'line\nbreak'", ServerType::BigVarChar, false, "line\nbreak"},
      {"N'A\xC3\xA9'", ServerType::NVarChar, false, Bytes({'A', 0, 0xE9, 0})},
      {"n'x'", ServerType::NVarChar, false, Bytes({'x', 0})},
      {"N''", ServerType::NVarChar, false, ""},
      {"30", ServerType::Int, false, Bytes({30, 0, 0, 0})},
      {"-5", ServerType::Int, false, Bytes({0xFB, 0xFF, 0xFF, 0xFF})},
      {"+7", ServerType::Int, false, Bytes({7, 0, 0, 0})},
      {"2147483647", ServerType::Int, false, Bytes({0xFF, 0xFF, 0xFF, 0x7F})},
      {"-2147483648", ServerType::Int, false, Bytes({0, 0, 0, 0x80})},
      {"2147483648", ServerType::Numeric, false, Numeric(10, 0, true, 2147483648u)},
      {"-3000000000", ServerType::Numeric, false, Numeric(10, 0, false, 3000000000u)},
      {"1.5", ServerType::Numeric, false, Numeric(2, 1, true, 15)},
      {"-0.25", ServerType::Numeric, false, Numeric(2, 2, false, 25)},
      {".5", ServerType::Numeric, false, Numeric(1, 1, true, 5)},
      {"007", ServerType::Int, false, Bytes({7, 0, 0, 0})},
      {"1e3", ServerType::Float, false, Bytes({0, 0, 0, 0, 0, 0x40, 0x8F, 0x40})},
      {"0x1E", ServerType::BigVarBinary, false, Bytes({0x1E})},
      {"0xabc", ServerType::BigVarBinary, false, Bytes({0x0A, 0xBC})},
      {"0x", ServerType::BigVarBinary, false, ""},
      {"NULL", ServerType::BigVarChar, true, ""},
      {"null", ServerType::BigVarChar, true, ""},
      // $2.5 is 25000 ten-thousandths: high half 0, low half 25000.
      {"$2.5", ServerType::Money, false, Bytes({0, 0, 0, 0, 0xA8, 0x61, 0, 0})},
  };
  for (const Case& c : cases) {
    CHostParameter parameter = Value(c.value);
    EXPECT_EQ(parameter.nType, c.type) << c.value;
    EXPECT_EQ(parameter.bNull, c.null) << c.value;
    EXPECT_EQ(parameter.data, c.data) << c.value;
  }
}

TEST(HostExecParserTest, CastGivesTheServerTypes) {
  struct Case {
    const char* value;
    int type;
    std::string data;
  };
  const std::vector<Case> cases = {
      {"CAST(1 AS bit)", ServerType::Bit, Bytes({1})},
      {"cast(5 as bit)", ServerType::Bit, Bytes({1})},
      {"CAST('false' AS bit)", ServerType::Bit, Bytes({0})},
      {"CAST(0 AS bit)", ServerType::Bit, Bytes({0})},
      {"CAST(255 AS tinyint)", ServerType::TinyInt, Bytes({255})},
      {"CAST(-2 AS smallint)", ServerType::SmallInt, Bytes({0xFE, 0xFF})},
      {"CAST(' 30 ' AS int)", ServerType::Int, Bytes({30, 0, 0, 0})},
      {"CAST(N'42' AS int)", ServerType::Int, Bytes({42, 0, 0, 0})},
      {"CAST(2.9 AS int)", ServerType::Int, Bytes({2, 0, 0, 0})},
      {"CAST(-2.9 AS int)", ServerType::Int, Bytes({0xFE, 0xFF, 0xFF, 0xFF})},
      {"CAST(0x0102 AS int)", ServerType::Int, Bytes({2, 1, 0, 0})},
      {"CAST(5000000000 AS bigint)", ServerType::BigInt, Bytes({0x00, 0xF2, 0x05, 0x2A, 0x01, 0, 0, 0})},
      {"CAST(2.75 AS float)", ServerType::Float, Bytes({0, 0, 0, 0, 0, 0, 0x06, 0x40})},
      {"CAST('2.75' AS float)", ServerType::Float, Bytes({0, 0, 0, 0, 0, 0, 0x06, 0x40})},
      {"CAST(2.5 AS money)", ServerType::Money, Bytes({0, 0, 0, 0, 0xA8, 0x61, 0, 0})},
      {"CAST(-1 AS money)", ServerType::Money, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xF0, 0xD8, 0xFF, 0xFF})},
      {"CAST(0.00005 AS money)", ServerType::Money, Bytes({0, 0, 0, 0, 1, 0, 0, 0})},
      // 1900-01-02 00:00:00.000 and 2000-01-01 12:00:00 (36524 days, 12 hours = 12960000 ticks).
      {"CAST('1900-01-02' AS datetime)", ServerType::DateTime, Bytes({1, 0, 0, 0, 0, 0, 0, 0})},
      {"CAST('20000101 12:00' AS datetime)", ServerType::DateTime, Bytes({0xAC, 0x8E, 0, 0, 0x00, 0xC1, 0xC5, 0x00})},
      {"CAST('1899-12-31' AS datetime)", ServerType::DateTime, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0})},
      {"CAST('1900-01-01 23:59:59.999' AS datetime)", ServerType::DateTime, Bytes({1, 0, 0, 0, 0, 0, 0, 0})},
      {"CAST(2 AS datetime)", ServerType::DateTime, Bytes({2, 0, 0, 0, 0, 0, 0, 0})},
      {"CAST('ab' AS char(4))", ServerType::BigChar, "ab  "},
      {"CAST('abcdef' AS char(4))", ServerType::BigChar, "abcd"},
      {"CAST('abcdef' AS varchar(3))", ServerType::BigVarChar, "abc"},
      {"CAST('abcdef' AS varchar(max))", ServerType::BigVarChar, "abcdef"},
      {"CAST(12 AS varchar(10))", ServerType::BigVarChar, "12"},
      // Numbers become text as the server writes them, not as they were typed.
      {"CAST(+007 AS varchar(10))", ServerType::BigVarChar, "7"},
      {"CAST(-0.0 AS varchar(10))", ServerType::BigVarChar, "0.0"},
      {"CAST(.50 AS varchar(10))", ServerType::BigVarChar, "0.50"},
      {"CAST(-1.5 AS varchar(10))", ServerType::BigVarChar, "-1.5"},
      {"CAST(1e2 AS varchar(10))", ServerType::BigVarChar, "100"},
      {"CAST(1234567e0 AS varchar(20))", ServerType::BigVarChar, "1.23457e+006"},
      {"CAST(-1.5E-5 AS varchar(20))", ServerType::BigVarChar, "-1.5e-005"},
      {"CAST($1.2345 AS varchar(10))", ServerType::BigVarChar, "1.23"},
      {"CAST(1e2 AS nvarchar(5))", ServerType::NVarChar, Bytes({'1', 0, '0', 0, '0', 0})},
      {"CAST(N'\xE2\x82\xAC' AS varchar(5))", ServerType::BigVarChar, Bytes({0x80})},
      {"CAST('a' AS nchar(3))", ServerType::NChar, Bytes({'a', 0, ' ', 0, ' ', 0})},
      {"CAST(N'abc' AS nvarchar(2))", ServerType::NVarChar, Bytes({'a', 0, 'b', 0})},
      {"CAST('\xC3\xA9' AS nvarchar(5))", ServerType::NVarChar, Bytes({0xE9, 0})},
      {"CAST('long text' AS text)", ServerType::Text, "long text"},
      {"CAST(N'x' AS ntext)", ServerType::NText, Bytes({'x', 0})},
      {"CAST(0x0102 AS binary(4))", ServerType::BigBinary, Bytes({1, 2, 0, 0})},
      {"CAST(1 AS binary(2))", ServerType::BigBinary, Bytes({0, 1})},
      {"CAST(1 AS varbinary(8))", ServerType::BigVarBinary, Bytes({0, 0, 0, 1})},
      {"CAST('abc' AS varbinary(2))", ServerType::BigVarBinary, "ab"},
      {"CAST(1.25 AS decimal(5,2))", ServerType::Numeric, Numeric(5, 2, true, 125)},
      {"CAST(1.255 AS numeric(5,2))", ServerType::Numeric, Numeric(5, 2, true, 126)},
      {"CAST('7' AS numeric)", ServerType::Numeric, Numeric(18, 0, true, 7)},
  };
  for (const Case& c : cases) {
    CHostParameter parameter = Value(c.value);
    EXPECT_EQ(parameter.nType, c.type) << c.value;
    EXPECT_FALSE(parameter.bNull) << c.value;
    EXPECT_EQ(parameter.data, c.data) << c.value;
  }
  // CAST without a length gives 30 characters.
  EXPECT_EQ(Value("CAST('x' AS char)").data, "x" + std::string(29, ' '));
  CHostParameter null = Value("CAST(NULL AS int)");
  EXPECT_EQ(null.nType, ServerType::Int);
  EXPECT_TRUE(null.bNull);
}

TEST(HostExecParserTest, TextIsConvertedToTheCodePage) {
  struct Case {
    int codePage;
    const char* value;
    std::string data;
  };
  const std::vector<Case> cases = {
      {1252, "'caf\xC3\xA9'", Bytes({'c', 'a', 'f', 0xE9})},
      {1252, "'\xE2\x82\xAC'", Bytes({0x80})},                    // euro sign
      {1252, "'\xCE\xA9'", "?"},                                  // omega: not in 1252
      {1253, "'\xCE\xA9'", Bytes({0xD9})},                        // omega in Greek
      {1250, "'\xC5\x91'", Bytes({0xF5})},                        // o with double acute
      {1251, "'\xD0\x96'", Bytes({0xC6})},                        // Cyrillic Zhe
      {28591, "'\xE2\x82\xAC\xC3\xBF'", Bytes({'?', 0xFF})},      // Latin-1 has no euro
      {1252, "'\xF0\x9F\x98\x80'", "??"},                         // outside the BMP: two code units
      {1252, "'a\xFFz'", "a?z"},                                  // malformed UTF-8
      {65001, "'\xC3\xA9'", "\xC3\xA9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Value(c.value, c.codePage).data, c.data) << c.value << " in " << c.codePage;
  }
  // Names are in the code page too, as the server passes them.
  std::string name = "@b";
  name += Bytes({0xE9});
  EXPECT_EQ(Parse("exec xp_Varnel @b\xC3\xA9='x'")[0].strName, name);
}

TEST(HostExecParserTest, ErrorsNameTheirPosition) {
  struct Case {
    const char* statement;
    int line;
    int column;
    const char* words;  // part of the message
  };
  const std::vector<Case> cases = {
      {"", 1, 1, "procedure name"},
      {"exec", 1, 5, "procedure name"},
      {"select 1", 1, 1, "unknown procedure"},
      {"exec sp_who", 1, 6, "unknown procedure"},
      {"exec tempdb..xp_Varnel", 1, 6, "unknown procedure"},
      {"exec xp_Varnel @a 'x'", 1, 19, "expected '='"},
      {"exec xp_Varnel @a = 'x", 1, 21, "string not closed"},
      {"exec xp_Varnel\n  @a = N'x", 2, 8, "string not closed"},
      {"exec xp_Varnel @a = 1, 'b'", 1, 24, "every later one"},
      {"exec xp_Varnel @a = @b", 1, 21, "variables"},
      {"exec xp_Varnel 'a' 'b'", 1, 20, "expected ','"},
      {"exec xp_Varnel @a = CAST(1 AS date)", 1, 31, "date is not supported"},
      {"exec xp_Varnel @a = CAST(1 int)", 1, 28, "expected AS"},
      {"exec xp_Varnel @a = CAST(1 AS int", 1, 34, "')'"},
      {"exec xp_Varnel @a = CAST(300 AS tinyint)", 1, 21, "overflow"},
      {"exec xp_Varnel @a = CAST('1.5' AS int)", 1, 21, "cannot convert"},
      {"exec xp_Varnel @a = CAST('2001-02-30' AS datetime)", 1, 21, "cannot convert"},
      {"exec xp_Varnel @a = CAST('x' AS char(0))", 1, 21, "outside 1 to 8000"},
      {"exec xp_Varnel @a = CAST('x' AS nchar(4001))", 1, 21, "outside 1 to 4000"},
      {"exec xp_Varnel @a = CAST(1 AS int(4))", 1, 21, "takes no length"},
      {"exec xp_Varnel @a = CAST('x' AS char(max))", 1, 21, "does not take max"},
      {"exec xp_Varnel @a = CAST(1 AS decimal(40,2))", 1, 21, "precision"},
      {"exec xp_Varnel @a = 123456789012345678901234567890123456789", 1, 21, "38 digits"},
      {"exec xp_Varnel @a = 1e999", 1, 21, "range"},
      {"exec xp_Varnel @a = 12abc", 1, 23, "after a number"},
      {"exec xp_Varnel @a = 0x1G", 1, 24, "binary literal"},
      {"exec xp_Varnel @a = - 'x'", 1, 23, "number after the sign"},
      {"exec xp_Varnel /* open", 1, 16, "comment not closed"},
      {"exec xp_Varnel @a = 1 OUTPUT", 1, 23, "expected ','"},
      {"exec xp_Varnel @ = 1", 1, 16, "parameter name"},
      {"exec xp_Varnel @a = DEFAULT", 1, 21, "expected a value"},
      {"exec xp_Varnel @a = 'x' ; exec xp_Varnel", 1, 27, "expected ','"},
      {"exec xp_Varnel @\xC3\xA9 = 1 !", 1, 23, "unexpected character '!'"},
      {"exec xp_Varnel @a = [x]", 1, 21, "expected a value"},
      {"exec xp_Varnel @a = 1,", 1, 23, "a parameter after ','"},
      {"exec xp_Varnel 'a', ;", 1, 21, "a parameter after ','"},
  };
  for (const Case& c : cases) {
    std::vector<CHostParameter> parameters(1);
    CParseError error;
    EXPECT_FALSE(CExecParser(*CCodePage::Find(1252)).Parse(c.statement, parameters, error)) << c.statement;
    EXPECT_TRUE(parameters.empty()) << c.statement;
    EXPECT_EQ(error.nLine, c.line) << c.statement << ": " << error.Text();
    EXPECT_EQ(error.nColumn, c.column) << c.statement << ": " << error.Text();
    EXPECT_NE(error.strMessage.find(c.words), std::string::npos) << c.statement << ": " << error.Text();
    EXPECT_EQ(error.Text().rfind("line " + std::to_string(c.line) + ", column " + std::to_string(c.column) + ": ", 0), 0u);
  }
}
