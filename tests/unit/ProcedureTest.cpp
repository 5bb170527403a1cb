// xp_Varnel as the server calls it: refusals with their messages, usage text, done
// notices and return values; the outcome row of a send; parameter forms and types.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>

#include "host/HostServerCall.h"
#include "procedure/ParameterReader.h"
#include "procedure/XpVarnel.h"
#include "tests/unit/TestRelay.h"

using namespace varnel;
using namespace varnel::test;

namespace {

struct CCall {
  CHostServerCall server;
  CTestPlatform platform;
  std::uint16_t nReturn = 0;

  CCall& Add(CHostParameter parameter) {
    server.AddParameter(std::move(parameter));
    return *this;
  }
  std::uint16_t Run() {
    nReturn = XpVarnel(server, platform.Get());
    return nReturn;
  }
};

void ExpectRefusal(CCall& call, const std::string& message) {
  EXPECT_EQ(call.Run(), 1);
  ASSERT_EQ(call.server.Messages().size(), 2u);
  EXPECT_EQ(call.server.Messages()[0], message);
  EXPECT_EQ(call.server.Messages()[1], BuildUsageText());
  ASSERT_EQ(call.server.DoneNotices().size(), 1u);
  EXPECT_EQ(call.server.DoneNotices()[0].nStatus, 1);
  EXPECT_EQ(call.server.DoneNotices()[0].nCount, 0);
  EXPECT_TRUE(call.server.Rows().empty());
}

std::vector<CStep> FullSend(const std::vector<std::string>& recipients, const std::string& from = "from@example.com") {
  std::vector<CStep> steps = PlainEnvelope(from, recipients);
  steps.push_back(CStep::Data());
  steps.push_back(CStep::Send("250 queued\r\n"));
  steps.push_back(CStep::Expect("QUIT\r\n"));
  steps.push_back(CStep::Send("221 bye\r\n"));
  return steps;
}

}  // namespace

TEST(ProcedureTest, VersionIsSevenPointZero) { EXPECT_EQ(GetXpVersion(), 0x07000000u); }

TEST(ProcedureTest, UsageTextHasItsFixedLines) {
  std::string usage = BuildUsageText();
  EXPECT_EQ(usage.rfind("Version 3.1 201103\nQuick format - \nUsage Recipient, From, Address, Subject, ", 0), 0u);
  EXPECT_NE(usage.find("'Overnight error', 'Error on load','c:\\temp\\main.log', 30, 25\n\n\nExtended format - \n"
                       "exec xp_Varnel \n\t\t\t@recipient='',\t\t\t-- Recipient of mail e.g. "),
            std::string::npos);
  EXPECT_NE(usage.find("',NULL, '"), std::string::npos);
  EXPECT_NE(usage.find("\t\t\t@SMTPPassword= ''-- SMTP Server Password\t\t\t-- \n"), std::string::npos);
  EXPECT_EQ(usage.find("@codepage"), std::string::npos);
  EXPECT_LE(usage.size(), 8000u);
}

TEST(ProcedureTest, PositionalRefusals) {
  {
    CCall call;
    ExpectRefusal(call, "Incorrect number of parameters\n");
  }
  {
    CCall call;
    call.server.SetParamCount(-1);
    ExpectRefusal(call, "");
  }
  {
    CCall call;
    call.Add(CHostServerCall::Text("", "a@example.com")).Add(CHostServerCall::Text("", "b@example.com"));
    call.Add(CHostServerCall::Text("", "127.0.0.1"));
    ExpectRefusal(call, "Incorrect number of parameters\n");
  }
  {
    CCall call;
    call.Add(CHostServerCall::Null("")).Add(CHostServerCall::Text("", "b@example.com"));
    call.Add(CHostServerCall::Text("", "127.0.0.1")).Add(CHostServerCall::Null(""));
    ExpectRefusal(call, "Recipient Incorrect format\n");
  }
  {
    CCall call;
    call.Add(CHostServerCall::Text("", "a@example.com")).Add(CHostServerCall::Null(""));
    call.Add(CHostServerCall::Text("", "")).Add(CHostServerCall::Null(""));
    ExpectRefusal(call, "Address Incorrect format\n");
  }
  {
    CCall call;
    call.Add(CHostServerCall::Text("", "a@example.com")).Add(CHostServerCall::Null(""));
    call.Add(CHostServerCall::Text("", "127.0.0.1")).Add(CHostServerCall::Null(""));
    for (int i = 0; i < 4; ++i) call.Add(CHostServerCall::Null(""));
    call.Add(CHostServerCall::Text("", "soon"));
    ExpectRefusal(call, "Timeout Incorrect format\n");
  }
  {
    CCall call;
    call.Add(CHostServerCall::Text("", "a@example.com")).Add(CHostServerCall::Null(""));
    call.Add(CHostServerCall::Text("", "127.0.0.1")).Add(CHostServerCall::Null(""));
    for (int i = 0; i < 5; ++i) call.Add(CHostServerCall::Null(""));
    call.Add(CHostServerCall::Text("", "smtp"));
    ExpectRefusal(call, "Port Incorrect format\n");
  }
}

TEST(ProcedureTest, NamedRefusals) {
  {
    CCall call;
    call.Add(CHostServerCall::Text("@recipient", "a@example.com"));
    call.Add(CHostServerCall::Text("@from", "b@example.com"));
    ExpectRefusal(call, "The minimum parameters are Recipient, From and Address. All must be supplied.\n");
  }
  {
    CCall call;
    call.Add(CHostServerCall::Text("@recipient", "")).Add(CHostServerCall::Text("@from", "b@example.com"));
    call.Add(CHostServerCall::Text("@address", "127.0.0.1"));
    ExpectRefusal(call, "The minimum parameters are Recipient, From and Address. All must be supplied.\n");
  }
  {
    // An empty sender counts as none: in the named form it is refused, not defaulted.
    CCall call;
    call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", ""));
    call.Add(CHostServerCall::Text("@address", "127.0.0.1"));
    ExpectRefusal(call, "The minimum parameters are Recipient, From and Address. All must be supplied.\n");
  }
  {
    CCall call;
    call.Add(CHostServerCall::Text("@recipient", "a@example.com"));
    call.Add(CHostParameter{"@Debug", ServerType::Bit, false, std::string(1, '\1'), 1});
    ExpectRefusal(call, "Unknown parameter type for @Debug\n");
  }
  {
    // An unknown name with an unsupported type ends the call the same way.
    CCall call;
    call.Add(CHostServerCall::Text("@recipient", "a@example.com"));
    call.Add(CHostParameter{"@when", ServerType::DateTime, false, std::string(8, '\0'), 8});
    ExpectRefusal(call, "Unknown parameter type for @when\n");
  }
}

TEST(ProcedureTest, SuccessfulSendAnswersWithOneRowOfFourNulls) {
  CScriptedRelay relay(FullSend({"a@example.com"}));
  CCall call;
  call.Add(CHostServerCall::Text("@Recipient", "a@example.com")).Add(CHostServerCall::Text("@FROM", "from@example.com"));
  call.Add(CHostServerCall::Text("@Address", "127.0.0.1")).Add(CHostServerCall::Int("@smtpport", relay.Port()));
  call.Add(CHostServerCall::Text("@subject", "Nightly")).Add(CHostServerCall::Text("@body", "All good."));
  EXPECT_EQ(call.Run(), 0);
  ASSERT_TRUE(relay.Failures().empty()) << relay.Failures().front();
  ASSERT_EQ(call.server.Columns().size(), 5u);
  const char* names[] = {"Result", "ErrorMessage", "SMTPErrorNumber", "SMTPErrorMessage", "QueryErrorMessage"};
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(call.server.Columns()[i].strName, names[i]);
  EXPECT_EQ(call.server.Columns()[0].nDestType, ServerType::SmallInt);
  EXPECT_EQ(call.server.Columns()[1].nDestType, ServerType::Char);
  ASSERT_EQ(call.server.Rows().size(), 1u);
  const auto& row = call.server.Rows()[0];
  EXPECT_EQ(row[0].data, std::string("\0\0", 2));
  for (std::size_t i = 1; i < 5; ++i) EXPECT_TRUE(row[i].bNull) << i;
  ASSERT_EQ(call.server.DoneNotices().size(), 1u);
  EXPECT_EQ(call.server.DoneNotices()[0].nStatus, 0x11);
  EXPECT_EQ(call.server.DoneNotices()[0].nCount, 1);
  std::string message = relay.Message();
  EXPECT_NE(message.find("Subject: Nightly\r\n"), std::string::npos);
  EXPECT_NE(message.find("\r\n\r\nAll good."), std::string::npos);
}

TEST(ProcedureTest, UnknownNameIsReportedButTheMailIsStillSent) {
  CScriptedRelay relay(FullSend({"a@example.com"}));
  CCall call;
  call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@colour", "blue"));
  call.Add(CHostServerCall::Text("@from", "from@example.com")).Add(CHostServerCall::Text("@address", "127.0.0.1"));
  call.Add(CHostServerCall::Int("@smtpport", relay.Port()));
  EXPECT_EQ(call.Run(), 0);
  ASSERT_EQ(call.server.Messages().size(), 2u);
  EXPECT_EQ(call.server.Messages()[0], "Unknown parameter @colour\n");
  ASSERT_EQ(call.server.DoneNotices().size(), 2u);
  EXPECT_EQ(call.server.DoneNotices()[0].nStatus, 1);
  EXPECT_EQ(call.server.DoneNotices()[1].nStatus, 0x11);
  EXPECT_EQ(call.server.Rows().size(), 1u);
}

TEST(ProcedureTest, RefusedRecipientGivesTheRelaysReplyInTheRow) {
  CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n"),
                        CStep::Send("250 hello\r\n"), CStep::Expect("MAIL From:<from@example.com>\r\n"),
                        CStep::Send("250 ok\r\n"), CStep::Expect("RCPT To:<a@example.com>\r\n"),
                        CStep::Send("550 No such user\r\n"), CStep::Pause(200)});
  CCall call;
  call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "from@example.com"));
  call.Add(CHostServerCall::Text("@address", "127.0.0.1")).Add(CHostServerCall::Int("@smtpport", relay.Port()));
  EXPECT_EQ(call.Run(), 1);
  const auto& row = call.server.Rows().at(0);
  EXPECT_EQ(row[0].data, std::string("\x06\0", 2));
  EXPECT_EQ(row[1].data, "Destination returned error : See log");
  EXPECT_EQ(row[2].data, "550");
  EXPECT_EQ(row[3].data, "No such user");
  EXPECT_FALSE(row[4].bNull);
  EXPECT_EQ(row[4].data, "");
  EXPECT_EQ(call.server.Columns()[1].nDestLength, 36);
}

TEST(ProcedureTest, ReportTellsWhatTheSendDid) {
  {
    CScriptedRelay relay(FullSend({"a@example.com", "c@example.com"}));
    CCall call;
    call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "F <from@example.com>"));
    call.Add(CHostServerCall::Text("@address", "127.0.0.1")).Add(CHostServerCall::Int("@smtpport", relay.Port()));
    call.Add(CHostServerCall::Text("@copy_recipients", "c@example.com")).Add(CHostServerCall::Int("@no_output", 1));
    EXPECT_EQ(call.Run(), 0);
    ASSERT_TRUE(call.server.Report().has_value());
    const CCallReport& report = *call.server.Report();
    EXPECT_TRUE(report.bAccepted);
    EXPECT_EQ(report.nStatus, 0);
    EXPECT_EQ(report.strSender, "from@example.com");
    EXPECT_EQ(report.nRecipients, 2u);
    EXPECT_EQ(report.strRelayHost, "127.0.0.1");
    EXPECT_EQ(report.nRelayPort, relay.Port());
    EXPECT_TRUE(report.bRelayConnected);
    EXPECT_EQ(report.strTlsVersion, "");
    std::string message = relay.Message();
    EXPECT_NE(message.find("\r\nMessage-ID: " + report.strMessageId + "\r\n"), std::string::npos) << report.strMessageId;
    // The text as SIZE counts it: up to its last line end, before the end-of-data dot (the
    // relay's copy stops before that line end).
    EXPECT_EQ(report.nSize, message.size() + 2);
    EXPECT_GE(report.nMilliseconds, 0);
  }
  {
    CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n"),
                          CStep::Send("250 hello\r\n"), CStep::Expect("MAIL From:<from@example.com>\r\n"),
                          CStep::Send("550 Sender refused\r\n"), CStep::Pause(200)});
    CCall call;
    call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "from@example.com"));
    call.Add(CHostServerCall::Text("@address", "127.0.0.1")).Add(CHostServerCall::Int("@smtpport", relay.Port()));
    EXPECT_EQ(call.Run(), 1);
    ASSERT_TRUE(call.server.Report().has_value());
    EXPECT_FALSE(call.server.Report()->bAccepted);
    EXPECT_EQ(call.server.Report()->nStatus, 6);
    EXPECT_EQ(call.server.Report()->strRelayHost, "127.0.0.1");
    EXPECT_EQ(call.server.Report()->strMessageId, "");
    EXPECT_EQ(call.server.Report()->nSize, 0u);
  }
  {
    // A relay that cannot be reached: nothing was connected to.
    int closedPort = 0;
    {
      CScriptedRelay gone({});
      closedPort = gone.Port();
    }
    CCall call;
    call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "from@example.com"));
    call.Add(CHostServerCall::Text("@address", "127.0.0.1")).Add(CHostServerCall::Int("@smtpport", closedPort));
    call.Add(CHostServerCall::Int("@timeout", 2)).Add(CHostServerCall::Int("@no_output", 1));
    EXPECT_EQ(call.Run(), 3);
    ASSERT_TRUE(call.server.Report().has_value());
    EXPECT_EQ(call.server.Report()->nStatus, 3);
    EXPECT_EQ(call.server.Report()->strRelayHost, "127.0.0.1");
    EXPECT_FALSE(call.server.Report()->bRelayConnected);
  }
  {
    // A refused call has no report.
    CCall call;
    call.Add(CHostServerCall::Text("@recipient", "a@example.com"));
    EXPECT_EQ(call.Run(), 1);
    EXPECT_FALSE(call.server.Report().has_value());
  }
}

TEST(ProcedureTest, NoOutputReturnsTheStatusAndSendsNoRow) {
  CScriptedRelay relay({CStep::Pause(3000)});
  CCall call;
  call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "from@example.com"));
  call.Add(CHostServerCall::Text("@address", "127.0.0.1")).Add(CHostServerCall::Int("@smtpport", relay.Port()));
  call.Add(CHostServerCall::Int("@timeout", 1)).Add(CHostServerCall::Int("@no_output", 1));
  EXPECT_EQ(call.Run(), 8);
  EXPECT_TRUE(call.server.Columns().empty());
  EXPECT_TRUE(call.server.Rows().empty());
  ASSERT_EQ(call.server.DoneNotices().size(), 1u);
  EXPECT_EQ(call.server.DoneNotices()[0].nStatus, 1);
  EXPECT_EQ(call.server.DoneNotices()[0].nCount, 0);
}

TEST(ProcedureTest, PositionalCallWithFourArgumentsUsesTheDefaultSender) {
  CScriptedRelay relay(FullSend({"a@example.com"}, "sqlserver@localhost"));
  CCall call;
  call.Add(CHostServerCall::Text("", "a@example.com")).Add(CHostServerCall::Null(""));
  call.Add(CHostServerCall::Text("", "127.0.0.1")).Add(CHostServerCall::Text("", "Subject here"));
  for (int i = 0; i < 5; ++i) call.Add(CHostServerCall::Null(""));
  call.Add(CHostServerCall::Text("", std::to_string(relay.Port())));
  EXPECT_EQ(call.Run(), 0);
  ASSERT_TRUE(relay.Failures().empty()) << relay.Failures().front();
  EXPECT_NE(relay.Message().find("From: sqlserver@localhost\r\n"), std::string::npos);
  EXPECT_NE(relay.Message().find("Subject: Subject here\r\n"), std::string::npos);
}

TEST(ProcedureTest, UnicodeValuesAreNarrowedWithoutEndingTheText) {
  // Latin-1 characters keep their byte; others become "?" (U+0100's low byte is 0 and
  // must not end the text); a surrogate pair is one character.
  std::u16string subject = u"Caf\u00e9 \u0100 \u4e2d \U0001F600 end";
  std::string narrowed = NarrowUnicode(reinterpret_cast<const unsigned char*>(subject.data()), subject.size() * 2);
  EXPECT_EQ(narrowed, "Caf\xE9 ? ? ? end");
  CScriptedRelay relay(FullSend({"a@example.com"}));
  CCall call;
  call.Add(CHostServerCall::NText("@recipient", u"a@example.com"));
  call.Add(CHostServerCall::Text("@from", "from@example.com")).Add(CHostServerCall::Text("@address", "127.0.0.1"));
  call.Add(CHostServerCall::Int("@smtpport", relay.Port())).Add(CHostServerCall::NText("@subject", subject));
  EXPECT_EQ(call.Run(), 0);
  EXPECT_NE(relay.Message().find("Subject: =?iso-8859-1?Q?Caf=E9?= ? ? ? end\r\n"), std::string::npos);
}

TEST(ProcedureTest, TypeGroupsDecideTogetherWithTheName) {
  // A number passed as text takes 0 (so the port stays 25 and the relay's port must be
  // named again later: the later value wins); a text passed as a number is absent.
  CScriptedRelay relay(FullSend({"a@example.com"}));
  CCall call;
  call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "from@example.com"));
  call.Add(CHostServerCall::Text("@address", "127.0.0.1")).Add(CHostServerCall::Text("@smtpport", "2525"));
  call.Add(CHostServerCall::Int("@smtpport", relay.Port())).Add(CHostServerCall::Int("@subject", 7));
  call.Add(CHostServerCall::Text("@timeout", "30"));
  EXPECT_EQ(call.Run(), 0);
  EXPECT_NE(relay.Message().find("Subject: \r\n"), std::string::npos);
}

TEST(ProcedureTest, HugeTimeoutIsClampedNotWrapped) {
  // 4294968 seconds wrap to a 704 ms time-out in 32 bits; clamped, the relay's 1.5 s
  // pause is well within the limit and the send succeeds.
  std::vector<CStep> steps = FullSend({"a@example.com"});
  steps.insert(steps.begin(), CStep::Pause(1500));
  CScriptedRelay relay(steps);
  CCall call;
  call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "from@example.com"));
  call.Add(CHostServerCall::Text("@address", "127.0.0.1")).Add(CHostServerCall::Int("@smtpport", relay.Port()));
  call.Add(CHostServerCall::Int("@timeout", 4294968));
  EXPECT_EQ(call.Run(), 0);
}

TEST(ProcedureTest, Utf8MessagesKeepEveryCharacterOfUnicodeValues) {
  // @codepage=65001, or a UTF-8 connection without a usable @codepage: nvarchar values
  // become UTF-8 and the message says so.
  std::u16string subject = u"Caf\u00e9 \u0100 \u4e2d \U0001F600 end";
  EXPECT_EQ(UnicodeToUtf8(reinterpret_cast<const unsigned char*>(subject.data()), subject.size() * 2),
            "Caf\xC3\xA9 \xC4\x80 \xE4\xB8\xAD \xF0\x9F\x98\x80 end");
  struct Case {
    std::optional<std::int32_t> nCodePage;
    const char* connection;
    bool utf8;
  } const cases[] = {{65001, "1252", true}, {std::nullopt, "65001", true}, {99, "65001", true},
                     {1, "65001", false},   {std::nullopt, "1252", false}};
  for (const Case& c : cases) {
    CScriptedRelay relay(FullSend({"a@example.com"}));
    CCall call;
    call.server.SetConnectionField(kConnectionCodePageField, c.connection);
    call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "f@example.com"));
    call.Add(CHostServerCall::Text("@address", "127.0.0.1")).Add(CHostServerCall::Int("@smtpport", relay.Port()));
    if (c.nCodePage) call.Add(CHostServerCall::Int("@codepage", *c.nCodePage));
    call.Add(CHostServerCall::NText("@subject", subject));
    EXPECT_EQ(call.Run(), 0);
    std::string message = relay.Message();
    if (c.utf8) {
      EXPECT_NE(message.find("Subject: =?utf-8?Q?Caf=C3=A9_=C4=80_=E4=B8=AD_=F0=9F=98=80?= end\r\n"), std::string::npos)
          << message;
      EXPECT_NE(message.find("charset=\"utf-8\""), std::string::npos);
    } else {
      // Converted as the server converts nvarchar to varchar: a character outside the BMP
      // is two UTF-16 code units, two "?".
      EXPECT_NE(message.find("Subject: =?iso-8859-1?Q?Caf=E9?= ? ? ?? end\r\n"), std::string::npos) << message;
    }
  }
}

TEST(ProcedureTest, UnknownCodePageCountsAsNotGivenAndIsLogged) {
  char logName[] = "/tmp/varnel-codepage-XXXXXX";
  int handle = ::mkstemp(logName);
  ASSERT_GE(handle, 0);
  ::close(handle);
  for (int codePage : {99, 0, 12, 1252}) {
    CScriptedRelay relay(FullSend({"a@example.com"}));
    CCall call;
    call.server.SetConnectionField(kConnectionCodePageField, "1250");
    call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "f@example.com"));
    call.Add(CHostServerCall::Text("@address", "127.0.0.1")).Add(CHostServerCall::Int("@smtpport", relay.Port()));
    call.Add(CHostServerCall::Int("@codepage", codePage)).Add(CHostServerCall::Int("@debug", 1));
    call.Add(CHostServerCall::Text("@debugfilename", logName));
    EXPECT_EQ(call.Run(), 0);
    // The connection's code page 1250 decides: ISO-8859-2.
    EXPECT_NE(relay.Message().find("charset=\"iso-8859-2\""), std::string::npos) << codePage;
  }
  std::ifstream log(logName);
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  ::unlink(logName);
  for (const char* value : {"@codepage 99 ", "@codepage 0 ", "@codepage 12 ", "@codepage 1252 "}) {
    EXPECT_NE(text.find(value + std::string("is neither an ISO-8859 part (1-11, 13-16) nor 65001: taken as not given")),
              std::string::npos)
        << value;
  }
}
