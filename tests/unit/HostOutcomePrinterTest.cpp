#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "host/OutcomePrinter.h"

using varnel::CHostServerCall;
using varnel::CCodePage;
namespace ServerType = varnel::ServerType;

namespace {

std::string ReadGolden(const std::string& name) {
  std::ifstream file(std::string(VARNEL_TEST_DATA_DIR) + "/host/" + name, std::ios::binary);
  EXPECT_TRUE(file.good()) << name;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Sends the outcome row the way the procedure does: a NULL text is declared 255 and sent
// with length 0; a text is declared and sent with its own length.
void SendOutcome(CHostServerCall& call, std::int16_t result, const std::vector<const char*>& texts) {
  static const char* const kNames[] = {"ErrorMessage", "SMTPErrorNumber", "SMTPErrorMessage", "QueryErrorMessage"};
  call.DescribeColumn(1, "Result", ServerType::SmallInt, 2, ServerType::SmallInt, 2);
  for (int i = 0; i < 4; ++i) {
    int length = texts[i] != nullptr ? static_cast<int>(std::strlen(texts[i])) : 255;
    call.DescribeColumn(i + 2, kNames[i], ServerType::Char, length, ServerType::Char, length);
  }
  call.SetColumnData(1, &result);
  call.SetColumnLength(1, 2);
  for (int i = 0; i < 4; ++i) {
    call.SetColumnData(i + 2, texts[i] != nullptr ? texts[i] : "");
    call.SetColumnLength(i + 2, texts[i] != nullptr ? static_cast<int>(std::strlen(texts[i])) : 0);
  }
  call.SendRow();
  call.SendDone(0x11, 0, 1);
}

CHostServerCall FailedSend() {
  CHostServerCall call;
  call.SendMessage("Unknown parameter @Bogus\n");
  call.SendMessage("Version 3.1 201103\n\tline with \"quotes\" and \\ backslash\n");
  call.SendDone(1, 0, 0);
  SendOutcome(call, 6, {"Destination returned error : See log", "550", "No such user: caf\xE9 \x81", ""});
  return call;
}

CHostServerCall SuccessfulSend() {
  CHostServerCall call;
  SendOutcome(call, 0, {nullptr, nullptr, nullptr, nullptr});
  return call;
}

}  // namespace

TEST(HostOutcomePrinterTest, TableAsSqlcmdShowsIt) {
  CCodePage cp1252 = *CCodePage::Find(1252);
  EXPECT_EQ(varnel::host::FormatOutcomeTable(FailedSend(), cp1252), ReadGolden("failed_send.txt"));
  EXPECT_EQ(varnel::host::FormatOutcomeTable(SuccessfulSend(), cp1252), ReadGolden("successful_send.txt"));
}

TEST(HostOutcomePrinterTest, RefusalWithoutRowPrintsOnlyMessages) {
  CHostServerCall call;
  call.SendMessage("");
  call.SendMessage("Incorrect number of parameters\n");
  call.SendDone(1, 0, 0);
  EXPECT_EQ(varnel::host::FormatOutcomeTable(call, *CCodePage::Find(1252)), "\nIncorrect number of parameters\n");
}

TEST(HostOutcomePrinterTest, JsonFormatOne) {
  CCodePage cp1252 = *CCodePage::Find(1252);
  CHostServerCall failed = FailedSend();
  varnel::CCallReport report;
  report.nStatus = 6;
  report.strRelayHost = "smtp.example.com";
  report.nRelayPort = 587;
  report.bRelayConnected = true;
  report.strTlsVersion = "TLSv1.3";
  report.strTlsCipher = "TLS_AES_256_GCM_SHA384";
  report.strMessageId = "<a.b@example.com>";
  report.nSize = 1234;
  report.nMilliseconds = 87;
  failed.ReportCall(report);
  EXPECT_EQ(varnel::host::FormatOutcomeJson(failed, cp1252, 1),
            "{\"format\":1,\"accepted\":false,\"status\":6,\"return\":1,"
            "\"messages\":[\"Unknown parameter @Bogus\\n\","
            "\"Version 3.1 201103\\n\\tline with \\\"quotes\\\" and \\\\ backslash\\n\"],"
            "\"columns\":[\"Result\",\"ErrorMessage\",\"SMTPErrorNumber\",\"SMTPErrorMessage\",\"QueryErrorMessage\"],"
            "\"rows\":[{\"Result\":6,\"ErrorMessage\":\"Destination returned error : See log\",\"SMTPErrorNumber\":550,"
            "\"SMTPErrorMessage\":\"No such user: caf\xC3\xA9 \xEF\xBF\xBD\",\"QueryErrorMessage\":\"\"}],"
            "\"done\":[{\"more\":true,\"count\":null},{\"more\":true,\"count\":1}],"
            "\"relay\":{\"host\":\"smtp.example.com\",\"port\":587},"
            "\"tls\":{\"version\":\"TLSv1.3\",\"cipher\":\"TLS_AES_256_GCM_SHA384\"},"
            "\"messageId\":\"<a.b@example.com>\",\"size\":1234,\"durationMs\":87,"
            "\"attempts\":[],\"acceptedBy\":null,\"refusedRecipients\":[]}\n");

  // Accepted without TLS; no report at all: the facts are null.
  CHostServerCall sent = SuccessfulSend();
  varnel::CCallReport plain;
  plain.bAccepted = true;
  plain.strRelayHost = "127.0.0.1";
  plain.nRelayPort = 25;
  plain.bRelayConnected = true;
  plain.strMessageId = "<c.d@example.com>";
  plain.nSize = 300;
  sent.ReportCall(plain);
  EXPECT_EQ(varnel::host::FormatOutcomeJson(sent, cp1252, 0),
            "{\"format\":1,\"accepted\":true,\"status\":0,\"return\":0,\"messages\":[],"
            "\"columns\":[\"Result\",\"ErrorMessage\",\"SMTPErrorNumber\",\"SMTPErrorMessage\",\"QueryErrorMessage\"],"
            "\"rows\":[{\"Result\":0,\"ErrorMessage\":null,\"SMTPErrorNumber\":null,\"SMTPErrorMessage\":null,"
            "\"QueryErrorMessage\":null}],\"done\":[{\"more\":true,\"count\":1}],"
            "\"relay\":{\"host\":\"127.0.0.1\",\"port\":25},\"tls\":null,\"messageId\":\"<c.d@example.com>\","
            "\"size\":300,\"durationMs\":0,\"attempts\":[],\"acceptedBy\":null,\"refusedRecipients\":[]}\n");
  EXPECT_EQ(varnel::host::FormatOutcomeJson(SuccessfulSend(), cp1252, 1).find("\"accepted\":false,\"status\":null"),
            std::string("{\"format\":1,").size());
}

TEST(HostOutcomePrinterTest, JsonNamesEveryAttemptTheAcceptingRelayAndRefusedRecipients) {
  CCodePage cp1252 = *CCodePage::Find(1252);
  CHostServerCall sent = SuccessfulSend();
  varnel::CCallReport report;
  report.nStatus = 19;
  report.bAccepted = true;
  report.arrAttempts = {{"a.example.com", 25, 3, "", 0},
                        {"b.example.com", 587, 6, "421 busy", 5123},
                        {"a.example.com", 25, 19, "", 0}};
  report.nAcceptedAttempt = 3;
  report.arrRefusedRecipients = {{"x@example.com", "550 5.1.1 unknown"}};
  sent.ReportCall(report);
  std::string json = varnel::host::FormatOutcomeJson(sent, cp1252, 1);
  EXPECT_NE(json.find("\"attempts\":[{\"host\":\"a.example.com\",\"port\":25,\"status\":3,\"reply\":null,"
                      "\"delayMs\":0},{\"host\":\"b.example.com\",\"port\":587,\"status\":6,\"reply\":\"421 busy\","
                      "\"delayMs\":5123},{\"host\":\"a.example.com\",\"port\":25,\"status\":19,\"reply\":null,"
                      "\"delayMs\":0}],\"acceptedBy\":{\"host\":\"a.example.com\",\"port\":25,\"attempt\":3},"
                      "\"refusedRecipients\":[{\"address\":\"x@example.com\",\"reply\":\"550 5.1.1 unknown\"}]}"),
            std::string::npos)
      << json;
}

TEST(HostOutcomePrinterTest, JsonSmtpErrorNumberIsANumberOrNull) {
  struct Case {
    const char* pSent;  // null: NULL
    const char* pJson;
  };
  const std::vector<Case> cases = {{"550", "550"}, {"421", "421"}, {"", "null"}, {nullptr, "null"},
                                   {"5x0", "null"}, {"5500", "null"}};
  CCodePage cp1252 = *CCodePage::Find(1252);
  for (const Case& c : cases) {
    CHostServerCall call;
    SendOutcome(call, 6, {"Destination returned error : See log", c.pSent, "text", nullptr});
    std::string json = varnel::host::FormatOutcomeJson(call, cp1252, 1);
    EXPECT_NE(json.find(std::string("\"SMTPErrorNumber\":") + c.pJson + ","), std::string::npos)
        << (c.pSent ? c.pSent : "NULL") << ": " << json;
  }
}

TEST(HostOutcomePrinterTest, JsonStringEscapes) {
  struct Case {
    std::string utf8;
    std::string json;
  };
  const std::vector<Case> cases = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\r\n\t\b\f", "\"\\r\\n\\t\\b\\f\""},
      {std::string("\x01\x1F\x7F", 3), "\"\\u0001\\u001f\\u007f\""},
      {std::string("nul\0x", 5), "\"nul\\u0000x\""},
      {"\xC3\xA9\xE2\x82\xAC", "\"\xC3\xA9\xE2\x82\xAC\""},
      {"bad\xFF", "\"bad\xEF\xBF\xBD\""},
  };
  for (const Case& c : cases) EXPECT_EQ(varnel::host::JsonString(c.utf8), c.json);
}

TEST(HostOutcomePrinterTest, OtherColumnTypes) {
  CHostServerCall call;
  std::int32_t number = -70000;
  std::string wide("h\0i\0", 4);
  std::string binary("\x01\xAB", 2);
  call.DescribeColumn(1, "n", ServerType::Int, 4, ServerType::Int, 4);
  call.DescribeColumn(2, "w", ServerType::NVarChar, 8, ServerType::NVarChar, 8);
  call.DescribeColumn(3, "b", ServerType::BigVarBinary, 8, ServerType::BigVarBinary, 8);
  call.SetColumnData(1, &number);
  call.SetColumnData(2, wide.data());
  call.SetColumnLength(2, 4);
  call.SetColumnData(3, binary.data());
  call.SetColumnLength(3, 2);
  call.SendRow();
  call.SendDone(0x11, 0, 1);
  CCodePage cp1252 = *CCodePage::Find(1252);
  EXPECT_EQ(varnel::host::FormatOutcomeTable(call, cp1252),
            "n           w  b\n"
            "----------- -- ------\n"
            "     -70000 hi 0x01AB\n"
            "\n(1 rows affected)\n");
  EXPECT_NE(varnel::host::FormatOutcomeJson(call, cp1252, 0)
                .find("\"rows\":[{\"n\":-70000,\"w\":\"hi\",\"b\":\"0x01AB\"}]"),
            std::string::npos);
}

TEST(HostOutcomePrinterTest, JsonFloatsAreNumbersEvenAtTheEdges) {
  struct Case {
    double value;
    const char* pJson;
  };
  const std::vector<Case> cases = {{1.5, "1.5"}, {-0.25, "-0.25"}, {5e-324, "5e-324"}};
  CCodePage cp1252 = *CCodePage::Find(1252);
  for (const Case& c : cases) {
    CHostServerCall call;
    call.DescribeColumn(1, "f", ServerType::Float, 8, ServerType::Float, 8);
    call.SetColumnData(1, &c.value);
    call.SendRow();
    std::string json = varnel::host::FormatOutcomeJson(call, cp1252, 0);
    EXPECT_NE(json.find(std::string("\"rows\":[{\"f\":") + c.pJson + "}]"), std::string::npos) << json;
  }
}
