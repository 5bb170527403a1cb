#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/HostServerCall.h"

using varnel::CHostParameter;
using varnel::CHostServerCall;
using varnel::CParamInfo;
namespace ServerType = varnel::ServerType;

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

std::int16_t SmallInt(const std::string& data) {
  EXPECT_EQ(data.size(), 2u);
  if (data.size() != 2) return 0;
  return static_cast<std::int16_t>(static_cast<std::uint8_t>(data[0]) | static_cast<std::uint8_t>(data[1]) << 8);
}

}  // namespace

TEST(HostServerCallTest, ParametersAreServedAsGiven) {
  CHostServerCall call;
  call.AddParameter(CHostServerCall::Text("@recipient", "a@example.com"));
  call.AddParameter(CHostServerCall::NText("@subject", u"H\u00e9\u20ac"));
  call.AddParameter(CHostServerCall::Int("@timeout", -2));
  call.AddParameter(CHostServerCall::Null("@body"));
  call.AddParameter(CHostServerCall::Text("", ""));

  EXPECT_EQ(call.ParamCount(), 5);
  EXPECT_EQ(call.ParamName(1), "@recipient");
  EXPECT_EQ(call.ParamName(5), "");
  EXPECT_EQ(call.ParamName(0), "");
  EXPECT_EQ(call.ParamName(6), "");

  EXPECT_EQ(call.ParamType(1), ServerType::BigVarChar);
  EXPECT_EQ(call.ParamLength(1), 13);
  EXPECT_EQ(std::string(static_cast<const char*>(call.ParamData(1)), 13), "a@example.com");

  EXPECT_EQ(call.ParamType(2), ServerType::NVarChar);
  ASSERT_EQ(call.ParamLength(2), 6);
  EXPECT_EQ(std::string(static_cast<const char*>(call.ParamData(2)), 6), Bytes({'H', 0, 0xE9, 0, 0xAC, 0x20}));

  EXPECT_EQ(call.ParamType(3), ServerType::Int);
  ASSERT_EQ(call.ParamLength(3), 4);
  EXPECT_EQ(std::string(static_cast<const char*>(call.ParamData(3)), 4), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));

  EXPECT_EQ(call.ParamType(4), ServerType::BigVarChar);
  EXPECT_EQ(call.ParamLength(4), 0);
  EXPECT_EQ(call.ParamData(4), nullptr);

  EXPECT_EQ(call.ParamLength(5), 0);
  EXPECT_EQ(call.ParamType(9), 0);
  EXPECT_EQ(call.ParamLength(-1), 0);
  EXPECT_EQ(call.ParamData(9), nullptr);
}

TEST(HostServerCallTest, ParamInfoFillsTypeLengthsAndCopiesData) {
  CHostServerCall call;
  CHostParameter wide = CHostServerCall::Text("@body", "hello");
  wide.nMaxLength = 8000;
  call.AddParameter(wide);
  call.AddParameter(CHostServerCall::Null("@from"));

  CParamInfo info;
  std::uint8_t buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_TRUE(call.ParamInfo(1, info, buffer));
  EXPECT_EQ(info.nType, ServerType::BigVarChar);
  EXPECT_EQ(info.nMaxLength, 8000u);
  EXPECT_EQ(info.nActualLength, 5u);
  EXPECT_FALSE(info.bNull);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), "hellox");

  std::memset(buffer, 'x', sizeof buffer);
  ASSERT_TRUE(call.ParamInfo(2, info, buffer));
  EXPECT_TRUE(info.bNull);
  EXPECT_EQ(info.nActualLength, 0u);
  EXPECT_EQ(buffer[0], 'x');

  ASSERT_TRUE(call.ParamInfo(1, info, nullptr));
  EXPECT_EQ(info.nActualLength, 5u);
  EXPECT_FALSE(call.ParamInfo(3, info, buffer));
  EXPECT_FALSE(call.ParamInfo(0, info, buffer));
}

TEST(HostServerCallTest, ParamCountCanBeOverridden) {
  CHostServerCall call;
  EXPECT_EQ(call.ParamCount(), 0);
  call.SetParamCount(-1);
  EXPECT_EQ(call.ParamCount(), -1);
  EXPECT_EQ(call.ParamName(1), "");
}

TEST(HostServerCallTest, ConvertsToInt) {
  struct Case {
    const char* label;
    int type;
    std::string data;
    int expected;  // the converted value, or kNone when nothing converts
  };
  constexpr int kNone = 0x7EADBEEF;
  const std::vector<Case> cases = {
      {"decimal text", ServerType::BigVarChar, "30", 30},
      {"blanks around", ServerType::VarChar, "  25\t ", 25},
      {"plus sign", ServerType::Char, "+7", 7},
      {"minus sign", ServerType::Text, "-12", -12},
      {"int max", ServerType::BigVarChar, "2147483647", 2147483647},
      {"int min", ServerType::BigVarChar, "-2147483648", -2147483647 - 1},
      {"above int", ServerType::BigVarChar, "2147483648", kNone},
      {"far above int", ServerType::BigVarChar, "99999999999999999999999", kNone},
      {"fraction", ServerType::BigVarChar, "1.5", kNone},
      {"word", ServerType::BigVarChar, "thirty", kNone},
      {"inner blank", ServerType::BigVarChar, "3 0", kNone},
      {"sign only", ServerType::BigVarChar, "-", kNone},
      {"blanks only", ServerType::BigChar, "   ", kNone},
      {"unicode text", ServerType::NVarChar, Bytes({' ', 0, '4', 0, '2', 0}), 42},
      {"unicode non-digit", ServerType::NVarChar, Bytes({'4', 0, '2', 1}), kNone},
      {"varbinary big-endian", ServerType::BigVarBinary, Bytes({0x00, 0x1E}), 30},
      {"varbinary keeps last four", ServerType::BigVarBinary, Bytes({0x01, 0, 0, 0, 0x05}), 5},
      {"tinyint", ServerType::TinyInt, Bytes({200}), 200},
      {"smallint", ServerType::SmallInt, Bytes({0xFE, 0xFF}), -2},
      {"int", ServerType::Int, Bytes({0x10, 0x27, 0, 0}), 10000},
      {"intn 1", ServerType::IntN, Bytes({0xFF}), 255},
      {"intn 2", ServerType::IntN, Bytes({0x00, 0x80}), -32768},
      {"intn 4", ServerType::IntN, Bytes({0x1E, 0, 0, 0}), 30},
      {"intn 3", ServerType::IntN, Bytes({0x1E, 0, 0}), kNone},
      {"bigint in range", ServerType::BigInt, Bytes({0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), -5},
      {"bigint out of range", ServerType::BigInt, Bytes({0, 0, 0, 0, 1, 0, 0, 0}), kNone},
      {"bit", ServerType::Bit, Bytes({1}), 1},
      // 2.75 and -2.75 as IEEE doubles, low byte first.
      {"float truncates", ServerType::Float, Bytes({0, 0, 0, 0, 0, 0, 0x06, 0x40}), 2},
      {"negative float truncates", ServerType::Float, Bytes({0, 0, 0, 0, 0, 0, 0x06, 0xC0}), -2},
      {"float too large", ServerType::Float, Bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x41}), kNone},
      // numeric(3,1) 12.9 and -12.9: precision, scale, sign, magnitude 129.
      {"numeric truncates", ServerType::Numeric, Bytes({3, 1, 1, 129, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 12},
      {"negative numeric", ServerType::Numeric, Bytes({3, 1, 0, 129, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), -12},
      {"numeric too large", ServerType::Numeric, Bytes({12, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), kNone},
      {"numeric short", ServerType::Numeric, Bytes({3, 1}), kNone},
      // money 2.5: 25000 ten-thousandths, high half first.
      {"money truncates", ServerType::Money, Bytes({0, 0, 0, 0, 0xA8, 0x61, 0, 0}), 2},
      {"datetime", ServerType::DateTime, Bytes({0, 0, 0, 0, 0, 0, 0, 0}), kNone},
      {"empty text", ServerType::BigVarChar, "", kNone},
  };
  for (const Case& c : cases) {
    CHostServerCall call;
    std::int32_t value = kNone;
    int length = call.Convert(c.type, c.data.data(), static_cast<int>(c.data.size()), ServerType::Int, &value, 4);
    if (c.expected == kNone) {
      EXPECT_EQ(length, 0) << c.label;
    } else {
      EXPECT_EQ(length, 4) << c.label;
      EXPECT_EQ(value, c.expected) << c.label;
    }
  }
}

TEST(HostServerCallTest, ConvertRefusesOtherDestinationsAndBadBuffers) {
  CHostServerCall call;
  std::int32_t value = 0;
  EXPECT_EQ(call.Convert(ServerType::BigVarChar, "30", 2, ServerType::SmallInt, &value, 2), 0);
  EXPECT_EQ(call.Convert(ServerType::BigVarChar, "30", 2, ServerType::BigVarChar, &value, 4), 0);
  EXPECT_EQ(call.Convert(ServerType::BigVarChar, "30", 2, ServerType::Int, nullptr, 4), 0);
  EXPECT_EQ(call.Convert(ServerType::BigVarChar, "30", 2, ServerType::Int, &value, 2), 0);
  EXPECT_EQ(call.Convert(ServerType::BigVarChar, nullptr, 2, ServerType::Int, &value, 4), 0);
  EXPECT_EQ(call.Convert(ServerType::BigVarChar, "30", -1, ServerType::Int, &value, 4), 0);
  EXPECT_EQ(call.Convert(ServerType::Int, "\x01\x02", 2, ServerType::Int, &value, 4), 0);
}

TEST(HostServerCallTest, RecordsMessagesDoneNoticesAndOrder) {
  CHostServerCall call;
  call.SendMessage("first\n");
  call.SendMessage(std::string("with\0nul", 8));
  call.SendDone(0x11, 0, 1);
  call.SendDone(1, 2, 0);
  ASSERT_EQ(call.Messages().size(), 2u);
  EXPECT_EQ(call.Messages()[0], "first\n");
  EXPECT_EQ(call.Messages()[1].size(), 8u);
  ASSERT_EQ(call.DoneNotices().size(), 2u);
  EXPECT_EQ(call.DoneNotices()[0].nStatus, 0x11);
  EXPECT_EQ(call.DoneNotices()[0].nCount, 1);
  EXPECT_EQ(call.DoneNotices()[1].nCommand, 2);
  ASSERT_EQ(call.Events().size(), 4u);
  EXPECT_EQ(call.Events()[1].eKind, varnel::CHostEvent::Kind::Message);
  EXPECT_EQ(call.Events()[1].nIndex, 1u);
  EXPECT_EQ(call.Events()[3].eKind, varnel::CHostEvent::Kind::Done);
  EXPECT_TRUE(call.Errors().empty());
}

TEST(HostServerCallTest, ConnectionFieldsAndBindToken) {
  CHostServerCall call;
  EXPECT_FALSE(call.ConnectionField(36).has_value());
  EXPECT_EQ(call.BindToken(), "");
  call.SetConnectionField(36, "1252");
  call.SetConnectionField(30, "TRUE");
  call.SetBindToken("token-1");
  EXPECT_EQ(call.ConnectionField(36), std::optional<std::string>("1252"));
  EXPECT_EQ(call.ConnectionField(30), std::optional<std::string>("TRUE"));
  EXPECT_FALSE(call.ConnectionField(14).has_value());
  EXPECT_EQ(call.BindToken(), "token-1");
}

// The outcome row as the procedure sends it: smallint, then char columns that are NULL
// (declared 255, length 0), empty (declared 0, length 0) or carry a text.
TEST(HostServerCallTest, RecordsOutcomeRowWithNullAndEmptyTexts) {
  CHostServerCall call;
  std::int16_t result = 6;
  std::string error = "Destination returned error : See log";
  std::string empty;
  call.DescribeColumn(1, "Result", ServerType::SmallInt, 2, ServerType::SmallInt, 2);
  call.DescribeColumn(2, "ErrorMessage", ServerType::Char, static_cast<int>(error.size()), ServerType::Char,
                      static_cast<int>(error.size()));
  call.DescribeColumn(3, "SMTPErrorNumber", ServerType::Char, 0, ServerType::Char, 0);
  call.DescribeColumn(4, "QueryErrorMessage", ServerType::Char, 255, ServerType::Char, 255);
  call.SetColumnData(1, &result);
  call.SetColumnLength(1, 2);
  call.SetColumnData(2, error.data());
  call.SetColumnLength(2, static_cast<int>(error.size()));
  call.SetColumnData(3, empty.data());
  call.SetColumnLength(3, 0);
  call.SetColumnData(4, empty.data());
  call.SetColumnLength(4, 0);
  call.SendRow();
  result = 9;  // the row was copied when sent
  error = "changed";

  ASSERT_EQ(call.Columns().size(), 4u);
  EXPECT_EQ(call.Columns()[1].strName, "ErrorMessage");
  EXPECT_EQ(call.Columns()[1].nDestLength, 36);
  EXPECT_EQ(call.Columns()[3].nSrcType, ServerType::Char);
  ASSERT_EQ(call.Rows().size(), 1u);
  const auto& row = call.Rows()[0];
  ASSERT_EQ(row.size(), 4u);
  EXPECT_FALSE(row[0].bNull);
  EXPECT_EQ(SmallInt(row[0].data), 6);
  EXPECT_FALSE(row[1].bNull);
  EXPECT_EQ(row[1].data, "Destination returned error : See log");
  EXPECT_FALSE(row[2].bNull);
  EXPECT_EQ(row[2].data, "");
  EXPECT_TRUE(row[3].bNull);
  EXPECT_TRUE(call.Errors().empty());
  ASSERT_EQ(call.Events().size(), 1u);
  EXPECT_EQ(call.Events()[0].eKind, varnel::CHostEvent::Kind::Row);
}

TEST(HostServerCallTest, MisuseIsRecordedNotFatal) {
  CHostServerCall call;
  call.SendRow();  // no columns
  EXPECT_EQ(call.Rows().size(), 0u);
  call.DescribeColumn(2, "Skipped", ServerType::SmallInt, 2, ServerType::SmallInt, 2);
  call.DescribeColumn(0, "Zero", ServerType::SmallInt, 2, ServerType::SmallInt, 2);
  call.DescribeColumn(1, "Negative", ServerType::Char, -1, ServerType::Char, 0);
  EXPECT_TRUE(call.Columns().empty());
  call.SetColumnData(1, "x");
  call.SetColumnLength(-3, 1);
  call.SetColumnLength(1000000, 1);

  call.DescribeColumn(1, "Text", ServerType::Char, 4, ServerType::Char, 4);
  call.DescribeColumn(2, "Number", ServerType::SmallInt, 2, ServerType::SmallInt, 2);
  call.SetColumnLength(1, 3);  // data pointer missing
  call.SetColumnData(2, nullptr);
  call.SendRow();
  ASSERT_EQ(call.Rows().size(), 1u);
  EXPECT_TRUE(call.Rows()[0][0].bNull);
  EXPECT_TRUE(call.Rows()[0][1].bNull);

  call.SetColumnData(1, "abcdef");
  call.SetColumnLength(1, -5);
  call.SendRow();
  ASSERT_EQ(call.Rows().size(), 2u);
  EXPECT_TRUE(call.Rows()[1][0].bNull);

  call.DescribeColumn(3, "Late", ServerType::Char, 1, ServerType::Char, 1);
  EXPECT_EQ(call.Columns().size(), 2u);
  // Every refused operation left its trace.
  EXPECT_GE(call.Errors().size(), 10u);
}

TEST(HostServerCallTest, LengthAboveDeclaredMaximumIsReported) {
  CHostServerCall call;
  call.DescribeColumn(1, "Text", ServerType::Char, 2, ServerType::Char, 2);
  call.SetColumnData(1, "abc");
  call.SetColumnLength(1, 3);
  call.SendRow();
  ASSERT_EQ(call.Rows().size(), 1u);
  EXPECT_EQ(call.Rows()[0][0].data, "abc");
  ASSERT_EQ(call.Errors().size(), 1u);
  EXPECT_NE(call.Errors()[0].find("exceeds"), std::string::npos);
}

TEST(HostServerCallTest, FixedLengthColumnTakesItsOwnSize) {
  CHostServerCall call;
  std::int32_t value = 70000;
  call.DescribeColumn(1, "Count", ServerType::Int, 4, ServerType::Int, 4);
  call.SetColumnData(1, &value);
  call.SendRow();  // no length set: the described length applies
  call.SetColumnLength(1, 0);
  call.SendRow();  // length 0: NULL
  ASSERT_EQ(call.Rows().size(), 2u);
  EXPECT_EQ(call.Rows()[0][0].data, Bytes({0x70, 0x11, 0x01, 0x00}));
  EXPECT_TRUE(call.Rows()[1][0].bNull);
  EXPECT_TRUE(call.Errors().empty());
}
