// The delivery worker and the SMTP dialogue against scripted relays on loopback: exact
// command transcripts, outcome status codes and the relay's reply in the channel.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <functional>

#include "mime/Base64Encoder.h"
#include "smtp/SMTPChannel.h"
#include "smtp/SMTPReplyReader.h"
#include "smtp/SMTPSocket.h"
#include "tests/unit/TestRelay.h"

using namespace varnel;
using namespace varnel::test;

namespace {

struct CDelivery {
  CTestPlatform platform;
  CSMTPChannel channel{platform.Get()};

  explicit CDelivery(int port, std::string recipients = "to@example.com") {
    channel.m_strAddress = "127.0.0.1";
    channel.m_nPort = port;
    channel.m_strRecipient = std::move(recipients);
    channel.m_strFrom = "from@example.com";
    channel.m_nTimeout = 5000;
  }
};

std::vector<CStep> Then(std::vector<CStep> steps, std::initializer_list<CStep> more) {
  steps.insert(steps.end(), more.begin(), more.end());
  return steps;
}

std::vector<CStep> Envelope(std::initializer_list<CStep> afterHello) {
  return Then({CStep::Send("220 ready\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n")}, afterHello);
}

std::string ReadFile(const std::string& name) {
  std::string text;
  if (std::FILE* file = std::fopen(name.c_str(), "rb")) {
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
    std::fclose(file);
  }
  return text;
}

struct CTempLog {
  std::string strName;
  CTempLog() {
    char name[] = "/tmp/varnel-log-XXXXXX";
    int fd = ::mkstemp(name);
    ::close(fd);
    strName = name;
  }
  ~CTempLog() { ::unlink(strName.c_str()); }
};

double SecondsOf(const std::function<void()>& action) {
  auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(SMTPDeliveryTest, PlainSendFollowsTheDialogueAndEndsWithStatusZero) {
  CScriptedRelay relay(Then(PlainEnvelope("from@example.com", {"to@example.com"}),
                            {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"),
                             CStep::Send("221 bye\r\n")}));
  CDelivery delivery(relay.Port());
  delivery.channel.SetBody("hello");
  EXPECT_TRUE(delivery.channel.Initialise());
  EXPECT_EQ(delivery.channel.m_nStatus, 0);
  ASSERT_TRUE(relay.Failures().empty()) << relay.Failures().front();
  EXPECT_NE(relay.Message().find("\r\n\r\nhello"), std::string::npos);
  EXPECT_EQ(delivery.platform.network.m_strLastBind, "127.0.0.1");
}

TEST(SMTPDeliveryTest, RefusedGreetingEndsWithStatusSixAndNoHelo) {
  // RFC 5321 section 3.1: a relay that greets with 554 waits for QUIT.
  CScriptedRelay relay({CStep::Send("554 no service here\r\n"), CStep::Pause(200)});
  CDelivery delivery(relay.Port());
  EXPECT_TRUE(delivery.channel.Initialise());
  EXPECT_EQ(delivery.channel.m_nStatus, 6);
  EXPECT_EQ(delivery.channel.m_strSMTPErrorNumber, "554");
  EXPECT_EQ(delivery.channel.m_strSMTPReply, "554 no service here");
  EXPECT_EQ(delivery.channel.GetSMTPErrorMessage(), "no service here");
  EXPECT_EQ(relay.Transcript(), "QUIT\r\n");
}

TEST(SMTPDeliveryTest, RefusedSecondOfThreeRecipientsStopsBeforeTheThird) {
  CScriptedRelay relay(Envelope({CStep::Send("250 hello\r\n"), CStep::Expect("MAIL From:<from@example.com>\r\n"),
                                 CStep::Send("250 ok\r\n"), CStep::Expect("RCPT To:<a@example.com>\r\n"),
                                 CStep::Send("250 ok\r\n"), CStep::Expect("RCPT To:<b@example.com>\r\n"),
                                 CStep::Send("550 5.1.1 No such user\r\n"), CStep::Pause(200)}));
  CDelivery delivery(relay.Port(), "a@example.com; b@example.com, c@example.com");
  delivery.channel.Initialise();
  EXPECT_EQ(delivery.channel.m_nStatus, 6);
  EXPECT_EQ(delivery.channel.GetSMTPErrorNumber(), "550");
  EXPECT_EQ(delivery.channel.GetSMTPErrorMessage(), "5.1.1 No such user");
  std::string transcript = relay.Transcript();
  EXPECT_EQ(transcript.find("c@example.com"), std::string::npos);
  EXPECT_EQ(transcript.substr(transcript.size() - 6), "QUIT\r\n");
  EXPECT_TRUE(relay.Failures().empty());
  EXPECT_EQ(delivery.channel.m_strRecipient, "a@example.com, b@example.com, c@example.com");
}

TEST(SMTPDeliveryTest, LineBreaksInAddressesCannotAddCommands) {
  // Refused before the relay is contacted: no socket is made.
  CDelivery delivery(1, "a@example.com>\r\nQUIT\r\nNOOP ");
  EXPECT_FALSE(delivery.channel.Initialise());
  EXPECT_EQ(delivery.channel.m_nStatus, 5);
  EXPECT_EQ(delivery.channel.GetErrorMessage(),
            "Destination address or recipient cannot be null: the address \"a@example.com>\\x0D\\x0AQUIT\\x0D\\x0ANOOP\" "
            "holds \">\"");
  EXPECT_EQ(delivery.platform.network.m_strLastBind, "(none)");
}

TEST(SMTPDeliveryTest, AddressesThatCannotBeSentAsWrittenStopTheCallBeforeAnyConnection) {
  struct Case {
    std::string strField;
    std::string strValue;
    std::string strNamed;  // ErrorMessage after the status text
  } const cases[] = {
      {"from", "a@b.test> RET=HDRS ENVID=X", "the address \"a@b.test> RET=HDRS ENVID=X\" holds \">\""},
      {"recipient", "v@y.test> NOTIFY=NEVER", "the address \"v@y.test> NOTIFY=NEVER\" holds \">\""},
      {"cc", "ok@example.com; <c@example.com> ORCPT=rfc822;x@y", "the address \"<c@example.com> ORCPT=rfc822\" has text after its \">\""},
      {"bcc", "\"john doe\"@example.com", "the address \"\"john doe\"@example.com\" holds a blank"},
      {"recipient", "to@example.com, " + std::string(5000, 'n') + " <n@example.com>",
       "the address \"" + std::string(80, 'n') + "...\" is too long for a header line of 998 octets"},
  };
  for (const Case& c : cases) {
    // A relay that would take the message: any command reaching it is a fault.
    CScriptedRelay relay(Then(PlainEnvelope("from@example.com", {"to@example.com"}),
                              {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"),
                               CStep::Send("221 bye\r\n")}));
    CDelivery delivery(relay.Port());
    CSMTPChannel& channel = delivery.channel;
    (c.strField == "from" ? channel.m_strFrom : c.strField == "recipient" ? channel.m_strRecipient
                           : c.strField == "cc" ? channel.m_strCC : channel.m_strBCC) = c.strValue;
    EXPECT_FALSE(channel.Initialise()) << c.strValue;
    EXPECT_EQ(channel.m_nStatus, 5) << c.strValue;
    EXPECT_EQ(channel.GetErrorMessage(), "Destination address or recipient cannot be null: " + c.strNamed);
    EXPECT_EQ(delivery.platform.network.m_strLastBind, "(none)") << "no socket may be made: " << c.strValue;
  }
}

TEST(SMTPDeliveryTest, QuotedNamesKeepTheirCommasAndSemicolons) {
  CScriptedRelay relay(Then(PlainEnvelope("from@example.com", {"john@example.com", "b@example.com", "c@example.com"}),
                            {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"),
                             CStep::Send("221 bye\r\n")}));
  CDelivery delivery(relay.Port(), "\"Doe, John\" <john@example.com>; b@example.com (Ops; nights)");
  delivery.channel.m_strFrom = "\"Reports; nightly\" <from@example.com>";
  delivery.channel.m_strCC = "\"C\\\"; D\" <c@example.com>";
  EXPECT_TRUE(delivery.channel.Initialise());
  EXPECT_EQ(delivery.channel.m_nStatus, 0);
  ASSERT_TRUE(relay.Failures().empty()) << relay.Failures().front();
  std::string message = relay.Message();
  EXPECT_NE(message.find("\r\nFrom: \"Reports; nightly\" <from@example.com>\r\n"), std::string::npos) << message;
  EXPECT_NE(message.find("\r\nTo: \"Doe, John\" <john@example.com>, b@example.com (Ops; nights)\r\n"),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("\r\nCc: \"C\\\"; D\" <c@example.com>\r\n"), std::string::npos) << message;
}

TEST(SMTPDeliveryTest, EachReplyIsJudgedAgainstTheCommandItAnswers) {
  const std::string hello = "HELO [127.0.0.1]\r\n";
  const std::string envelope = hello + "MAIL From:<from@example.com>\r\nRCPT To:<to@example.com>\r\nDATA\r\n";
  auto upToData = [] { return PlainEnvelope("from@example.com", {"to@example.com"}); };
  std::string longReply;
  while (longReply.size() < CSMTPReplyReader::kMaxReply) longReply += "250-" + std::string(500, 'x') + "\r\n";
  longReply += "221 bye\r\n";
  struct {
    const char* pName;
    std::vector<CStep> arrSteps;
    bool bAuthenticate;
    int nStatus;
    std::string strCode;
    std::string strTranscript;  // exact, or "*" when not checked
  } const cases[] = {
      {"221 to HELO", Envelope({CStep::Send("221 bye\r\n"), CStep::Pause(300)}), false, 6, "221", hello},
      {"code run on into text", Envelope({CStep::Send("2210 fake\r\n"), CStep::Pause(300)}), false, 6, "221", hello},
      {"220 to HELO loops no more", Envelope({CStep::Send("220 again\r\n"), CStep::Pause(300)}), false, 6, "220",
       hello + "QUIT\r\n"},
      {"221 to MAIL", Envelope({CStep::Send("250 hi\r\n"), CStep::Expect("MAIL From:<from@example.com>\r\n"),
                                CStep::Send("221 bye\r\n"), CStep::Pause(300)}),
       false, 6, "221", hello + "MAIL From:<from@example.com>\r\n"},
      {"250 to DATA sends no message",
       Then({CStep::Send("220 relay ready\r\n"), CStep::Expect(hello), CStep::Send("250 hello\r\n"),
             CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("250 ok\r\n"),
             CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("250 ok\r\n"), CStep::Expect("DATA\r\n"),
             CStep::Send("250 ok\r\n")},
            {CStep::Pause(300)}),
       false, 6, "250", envelope + "QUIT\r\n"},
      {"221 after the message", Then(upToData(), {CStep::Data(), CStep::Send("221 bye\r\n"), CStep::Pause(300)}),
       false, 6, "221", "*"},
      {"every reply sent before any command",
       {CStep::Send("220 a\r\n250 b\r\n250 c\r\n250 d\r\n354 e\r\n250 f\r\n221 g\r\n"), CStep::Pause(300)}, false, 6,
       "250", hello},
      {"codes differing between the lines of one reply",
       Envelope({CStep::Send("250 hi\r\n"), CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("250 ok\r\n"),
                 CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("250-ok\r\n550 no such user\r\n"),
                 CStep::Pause(300)}),
       false, 6, "250", hello + "MAIL From:<from@example.com>\r\nRCPT To:<to@example.com>\r\n"},
      {"reply longer than the reader takes", Envelope({CStep::Send(longReply), CStep::Pause(300)}), false, 6, "", hello},
      {"250 to AUTH LOGIN is not repeated",
       {CStep::Send("220 ready\r\n"), CStep::Expect("EHLO [127.0.0.1]\r\n"), CStep::Send("250 AUTH LOGIN\r\n"),
        CStep::Expect("AUTH LOGIN\r\n"), CStep::Send("250 ok\r\n"), CStep::Pause(300)},
       true, 6, "250", "EHLO [127.0.0.1]\r\nAUTH LOGIN\r\nQUIT\r\n"},
      {"251 accepts the recipient",
       Then({CStep::Send("220 relay ready\r\n"), CStep::Expect(hello), CStep::Send("250 hello\r\n"),
             CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("250 ok\r\n"),
             CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("251 will forward\r\n"),
             CStep::Expect("DATA\r\n"), CStep::Send("354 go\r\n"), CStep::Data(), CStep::Send("250 queued\r\n"),
             CStep::Expect("QUIT\r\n"), CStep::Send("221 bye\r\n")},
            {}),
       false, 0, "", "*"},
      {"QUIT answered otherwise after acceptance",
       Then(upToData(), {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"),
                         CStep::Send("250 whatever\r\n"), CStep::Pause(300)}),
       false, 0, "", "*"},
      {"closed before 221 after acceptance",
       Then(upToData(), {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"), CStep::Close()}),
       false, 0, "", "*"},
  };
  for (const auto& c : cases) {
    CScriptedRelay relay(c.arrSteps);
    CDelivery delivery(relay.Port());
    delivery.channel.m_bAuthenticate = c.bAuthenticate;
    delivery.channel.m_strSMTPUsername = "me";
    // Signing in on a relay without STARTTLS: the call allows it with @tls=0.
    if (c.bAuthenticate) delivery.channel.m_nTlsMode = TlsMode::Never;
    delivery.channel.m_nTimeout = 2000;
    delivery.channel.Initialise();
    EXPECT_EQ(delivery.channel.m_nStatus, c.nStatus) << c.pName;
    EXPECT_EQ(delivery.channel.m_strSMTPErrorNumber, c.strCode) << c.pName;
    if (c.strTranscript != "*") {
      EXPECT_EQ(relay.Transcript(), c.strTranscript) << c.pName;
    }
    EXPECT_TRUE(relay.Failures().empty()) << c.pName << ": " << relay.Failures().front();
  }
}

TEST(SMTPDeliveryTest, TlsAndSignInChoicesBeforeAnyHandshake) {
  const std::string ehlo = "EHLO [127.0.0.1]\r\n";
  char attachment[] = "/tmp/varnel-size-XXXXXX";
  int fd = ::mkstemp(attachment);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, std::string(5000, 'x').data(), 5000), 5000);
  ::close(fd);
  struct {
    const char* pName;
    std::vector<CStep> arrSteps;
    std::function<void(CSMTPChannel&)> fnSetUp;
    int nStatus;
    std::string strTranscript;
  } const cases[] = {
      {"STARTTLS required but not offered",
       {CStep::Send("220 ready\r\n"), CStep::Expect(ehlo), CStep::Send("250-relay\r\n250 AUTH LOGIN\r\n"),
        CStep::Pause(300)},
       [](CSMTPChannel& c) { c.m_nTlsMode = TlsMode::Required; }, 15, ehlo + "QUIT\r\n"},
      {"data injected after the STARTTLS reply",
       {CStep::Send("220 ready\r\n"), CStep::Expect(ehlo), CStep::Send("250-relay\r\n250 STARTTLS\r\n"),
        CStep::Expect("STARTTLS\r\n"), CStep::Send("220 go ahead\r\n250 injected\r\n"), CStep::Pause(300)},
       [](CSMTPChannel& c) { c.m_nTlsMode = TlsMode::Opportunistic; }, 15, ehlo + "STARTTLS\r\n"},
      {"STARTTLS refused while credentials wait",
       {CStep::Send("220 ready\r\n"), CStep::Expect(ehlo), CStep::Send("250-relay\r\n250 STARTTLS\r\n"),
        CStep::Expect("STARTTLS\r\n"), CStep::Send("454 TLS not available\r\n"), CStep::Pause(300)},
       [](CSMTPChannel& c) {
         c.m_bAuthenticate = true;
         c.m_strSMTPPassword = "secret";
       },
       15, ehlo + "STARTTLS\r\nQUIT\r\n"},
      {"STARTTLS refused without credentials: plain mail",
       Then({CStep::Send("220 ready\r\n"), CStep::Expect(ehlo), CStep::Send("250-relay\r\n250 STARTTLS\r\n"),
             CStep::Expect("STARTTLS\r\n"), CStep::Send("454 TLS not available\r\n"),
             CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("250 ok\r\n"),
             CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("250 ok\r\n"), CStep::Expect("DATA\r\n"),
             CStep::Send("354 go\r\n"), CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"),
             CStep::Send("221 bye\r\n")},
            {}),
       [](CSMTPChannel& c) { c.m_nTlsMode = TlsMode::Opportunistic; }, 0, "*"},
      {"attachments past the relay's SIZE",
       {CStep::Send("220 ready\r\n"), CStep::Expect(ehlo), CStep::Send("250-relay\r\n250 SIZE 1000\r\n"),
        CStep::Pause(300)},
       [&attachment](CSMTPChannel& c) {
         c.m_nTlsMode = TlsMode::Opportunistic;
         c.m_strAttachments = attachment;
       },
       6, ehlo + "QUIT\r\n"},
      {"PLAIN chosen from the list",
       {CStep::Send("220 ready\r\n"), CStep::Expect(ehlo), CStep::Send("250-relay\r\n250 AUTH PLAIN CRAM-MD5\r\n"),
        CStep::Expect("AUTH PLAIN " + Base64EncodeText(std::string("\0me\0pw", 6)) + "\r\n"),
        CStep::Send("535 no\r\n"), CStep::Pause(300)},
       [](CSMTPChannel& c) {
         c.m_bAuthenticate = true;
         c.m_nTlsMode = TlsMode::Never;
         c.m_strSMTPUsername = "me";
         c.m_strSMTPPassword = "pw";
       },
       6, "*"},
      {"refused token: empty answer to the error, then 535",
       {CStep::Send("220 ready\r\n"), CStep::Expect(ehlo), CStep::Send("250-relay\r\n250 AUTH XOAUTH2\r\n"),
        CStep::Expect("AUTH XOAUTH2 " + Base64EncodeText("user=me\x01" "auth=Bearer tok\x01\x01") + "\r\n"),
        CStep::Send("334 eyJzdGF0dXMiOiI0MDEifQ==\r\n"), CStep::Expect("\r\n"), CStep::Send("535 5.7.3 no\r\n"),
        CStep::Pause(300)},
       [](CSMTPChannel& c) {
         c.m_bAuthenticate = true;
         c.m_nTlsMode = TlsMode::Never;
         c.m_strSMTPUsername = "me";
         c.m_strSMTPOAuthToken = "tok";
       },
       6, "*"},
  };
  for (const auto& c : cases) {
    CScriptedRelay relay(c.arrSteps);
    CDelivery delivery(relay.Port());
    delivery.channel.m_nTimeout = 2000;
    c.fnSetUp(delivery.channel);
    delivery.channel.Initialise();
    EXPECT_EQ(delivery.channel.m_nStatus, c.nStatus) << c.pName;
    if (c.strTranscript != "*") {
      EXPECT_EQ(relay.Transcript(), c.strTranscript) << c.pName;
    }
    EXPECT_TRUE(relay.Failures().empty()) << c.pName << ": " << relay.Failures().front();
    if (c.nStatus == 15) {
      EXPECT_NE(delivery.channel.GetErrorMessage().find("TLS could not be established: "), std::string::npos);
    }
  }
  ::unlink(attachment);
}

TEST(SMTPDeliveryTest, HeloNameSettingGivesTheGreetingName) {
  CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("HELO db01.example.com\r\n"),
                        CStep::Send("554 no\r\n"), CStep::Pause(200)});
  CDelivery delivery(relay.Port());
  delivery.platform.settings.m_mapValues["HeloName"] = "db01.example.com";
  delivery.channel.Initialise();
  EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();
  EXPECT_EQ(delivery.channel.m_settings.strHeloName, "db01.example.com");
}

TEST(SMTPDeliveryTest, ReplyDrippedByteByByteIsBoundedByTheTimeOut) {
  std::vector<CStep> steps;
  for (char c : std::string("220 slowly but surely, one byte at a time, for as long as it pleases\r\n")) {
    steps.push_back(CStep::Send(std::string(1, c)));
    steps.push_back(CStep::Pause(500));
  }
  CScriptedRelay relay(steps);
  CDelivery delivery(relay.Port());
  delivery.channel.m_nTimeout = 2000;
  double seconds = SecondsOf([&] { delivery.channel.Initialise(); });
  EXPECT_EQ(delivery.channel.m_nStatus, 8);
  EXPECT_LT(seconds, 4.0);
}

TEST(SMTPDeliveryTest, AuthLoginAnswersBothPromptsAndNeverLogsTheCredentials) {
  std::string user(50, 'u');  // longer than 42 bytes: sent whole
  std::string password = "p\xE9ss word";
  CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("EHLO [127.0.0.1]\r\n"),
                        CStep::Send("250-relay\r\n250-SIZE 1000\r\n250 AUTH LOGIN PLAIN\r\n"),
                        CStep::Expect("AUTH LOGIN\r\n"), CStep::Send("334 VXNlcm5hbWU6\r\n"),
                        CStep::Expect(Base64EncodeText(user) + "\r\n"), CStep::Send("334 UGFzc3dvcmQ6\r\n"),
                        CStep::Expect(Base64EncodeText(password) + "\r\n"),
                        CStep::Send("235 2.7.0 Authentication successful\r\n"),
                        CStep::ExpectStart("MAIL From:<from@example.com> SIZE="), CStep::Send("250 ok\r\n"),
                        CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("250 ok\r\n"),
                        CStep::Expect("DATA\r\n"), CStep::Send("354 go\r\n"), CStep::Data(),
                        CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"), CStep::Send("221 bye\r\n")});
  CDelivery delivery(relay.Port());
  delivery.channel.m_bAuthenticate = true;
  delivery.channel.m_nTlsMode = TlsMode::Never;
  delivery.channel.m_strSMTPUsername = user;
  delivery.channel.m_strSMTPPassword = password;
  CTempLog log;
  delivery.channel.m_nDebug = 1;
  delivery.channel.m_strLogFileName = log.strName;
  delivery.channel.Initialise();
  EXPECT_EQ(delivery.channel.m_nStatus, 0);
  ASSERT_TRUE(relay.Failures().empty()) << relay.Failures().front();
  std::string text = ReadFile(log.strName);
  EXPECT_EQ(text.find(Base64EncodeText(user)), std::string::npos);
  EXPECT_EQ(text.find(Base64EncodeText(password)), std::string::npos);
  EXPECT_NE(text.find(" - ********\n"), std::string::npos);
}

TEST(SMTPDeliveryTest, UnknownLoginPromptEndsWithStatusFourteen) {
  // The exchange is cancelled with "*" (RFC 4954 section 4), then the relay gets QUIT.
  CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("EHLO [127.0.0.1]\r\n"),
                        CStep::Send("250 AUTH LOGIN\r\n"), CStep::Expect("AUTH LOGIN\r\n"),
                        CStep::Send("334 Q2hhbGxlbmdl\r\n"), CStep::Expect("*\r\n"),
                        CStep::Send("501 5.7.0 cancelled\r\n"), CStep::Expect("QUIT\r\n"),
                        CStep::Send("221 bye\r\n")});
  CDelivery delivery(relay.Port());
  delivery.channel.m_bAuthenticate = true;
  delivery.channel.m_nTlsMode = TlsMode::Never;
  delivery.channel.Initialise();
  EXPECT_EQ(delivery.channel.m_nStatus, 14);
  EXPECT_EQ(delivery.channel.m_strSMTPReply, "334 Q2hhbGxlbmdl");
  EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();
}

TEST(SMTPDeliveryTest, RefusedEhloAndRefusedPasswordAreStatusSix) {
  {
    // Without TLS required, a relay that does not know EHLO is greeted with HELO, and a
    // refusal of that ends the send.
    CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("EHLO [127.0.0.1]\r\n"),
                          CStep::Send("502 5.5.1 EHLO not implemented\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n"),
                          CStep::Send("554 no\r\n"), CStep::Pause(200)});
    CDelivery delivery(relay.Port());
    delivery.channel.m_bAuthenticate = true;
    delivery.channel.Initialise();
    EXPECT_EQ(delivery.channel.m_nStatus, 6);
    EXPECT_EQ(relay.Transcript(), "EHLO [127.0.0.1]\r\nHELO [127.0.0.1]\r\nQUIT\r\n");
  }
  {
    CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("EHLO [127.0.0.1]\r\n"),
                          CStep::Send("250 AUTH LOGIN\r\n"), CStep::Expect("AUTH LOGIN\r\n"),
                          CStep::Send("334 VXNlcm5hbWU6\r\n"), CStep::Expect(Base64EncodeText("me") + "\r\n"),
                          CStep::Send("334 UGFzc3dvcmQ6\r\n"), CStep::Expect(Base64EncodeText("bad") + "\r\n"),
                          CStep::Send("535 5.7.8 Authentication credentials invalid\r\n"), CStep::Pause(200)});
    CDelivery delivery(relay.Port());
    delivery.channel.m_bAuthenticate = true;
    delivery.channel.m_nTlsMode = TlsMode::Never;
    delivery.channel.m_strSMTPUsername = "me";
    delivery.channel.m_strSMTPPassword = "bad";
    delivery.channel.Initialise();
    EXPECT_EQ(delivery.channel.m_nStatus, 6);
    EXPECT_EQ(delivery.channel.m_strSMTPErrorNumber, "535");
  }
}

TEST(SMTPDeliveryTest, RepliesSplitOverReadsOrJoinedInOneReadCountOnce) {
  // The greeting arrives in three pieces, the multi-line HELO reply in two, and two
  // replies arrive in one read: each complete reply advances the dialogue exactly once.
  CScriptedRelay relay({CStep::Send("2"), CStep::Pause(50), CStep::Send("20 rea"), CStep::Pause(50),
                        CStep::Send("dy\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n"),
                        CStep::Send("250-first\r\n"), CStep::Pause(50), CStep::Send("250 last\r\n"),
                        CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("250 ok\r\n"),
                        CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("250 ok\r\n"),
                        CStep::Expect("DATA\r\n"), CStep::Send("354 go\r\n"), CStep::Data(),
                        CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"), CStep::Send("221 bye\r\n")});
  CDelivery delivery(relay.Port());
  delivery.channel.Initialise();
  EXPECT_EQ(delivery.channel.m_nStatus, 0);
  EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();
}

TEST(SMTPDeliveryTest, SilentRelayTimesOutWithStatusEight) {
  CScriptedRelay relay({CStep::Pause(3000)});
  CDelivery delivery(relay.Port());
  delivery.channel.m_nTimeout = 500;
  double seconds = SecondsOf([&] { delivery.channel.Initialise(); });
  EXPECT_EQ(delivery.channel.m_nStatus, 8);
  EXPECT_LT(seconds, 2.5);
}

TEST(SMTPDeliveryTest, ClosedConnectionEndsAtOnceWithStatusEight) {
  CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n"), CStep::Close()});
  CDelivery delivery(relay.Port());
  delivery.channel.m_nTimeout = 20000;
  double seconds = SecondsOf([&] { delivery.channel.Initialise(); });
  EXPECT_EQ(delivery.channel.m_nStatus, 8);
  EXPECT_LT(seconds, 5.0);
}

TEST(SMTPDeliveryTest, ReplyWithoutLineEndIsNotActedOnUntilItEnds) {
  // "250" without CR LF, then the connection closes: nothing is lost or misread, the
  // send ends because the relay went away.
  CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n"), CStep::Send("250"),
                        CStep::Pause(300), CStep::Close()});
  CDelivery delivery(relay.Port());
  delivery.channel.Initialise();
  EXPECT_EQ(delivery.channel.m_nStatus, 8);
  EXPECT_EQ(relay.Transcript(), "HELO [127.0.0.1]\r\n");
}

TEST(SMTPDeliveryTest, LastReplyWithoutLineEndBeforeCloseStillCounts) {
  CScriptedRelay relay(Then(PlainEnvelope("from@example.com", {"to@example.com"}),
                            {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"),
                             CStep::Send("221 bye"), CStep::Close()}));
  CDelivery delivery(relay.Port());
  EXPECT_TRUE(delivery.channel.Initialise());
  EXPECT_EQ(delivery.channel.m_nStatus, 0);
}

TEST(SMTPDeliveryTest, RelayThatStopsReadingDuringDataCannotHoldTheSendPastTheTimeOut) {
  CScriptedRelay relay(Then(PlainEnvelope("from@example.com", {"to@example.com"}), {CStep::StopReading()}));
  CDelivery delivery(relay.Port());
  delivery.channel.m_nTimeout = 1000;
  delivery.channel.SetBody(std::string(64 * 1024 * 1024, 'x'));
  double seconds = SecondsOf([&] { delivery.channel.Initialise(); });
  EXPECT_EQ(delivery.channel.m_nStatus, 8);
  EXPECT_LT(seconds, 10.0);
}

TEST(SMTPDeliveryTest, RefusedConnectionIsStatusThree) {
  int port;
  {
    CScriptedRelay closed({});
    port = closed.Port();
  }
  CDelivery delivery(port);
  EXPECT_FALSE(delivery.channel.Initialise());
  EXPECT_EQ(delivery.channel.m_nStatus, 3);
}

TEST(SMTPDeliveryTest, EmptyRelayOrRecipientsIsStatusFive) {
  struct {
    const char* pAddress;
    const char* pRecipients;
  } const cases[] = {{"", "to@example.com"}, {"127.0.0.1", ""}, {"127.0.0.1", ",;,"}};
  for (const auto& c : cases) {
    CDelivery delivery(1, c.pRecipients);
    delivery.channel.m_strAddress = c.pAddress;
    EXPECT_FALSE(delivery.channel.Initialise());
    EXPECT_EQ(delivery.channel.m_nStatus, 5) << c.pAddress << " / " << c.pRecipients;
    EXPECT_EQ(delivery.platform.network.m_strLastBind, "(none)") << "no socket may be made";
  }
}

TEST(SMTPDeliveryTest, TerminationTwoAppliesToTheTextButCommandsEndWithCrLf) {
  CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Pause(300), CStep::Send("250 hello\r\n"),
                        CStep::Pause(300), CStep::Send("250 ok\r\n"), CStep::Pause(300), CStep::Send("250 ok\r\n"),
                        CStep::Pause(300), CStep::Send("354 go\r\n"), CStep::Pause(300),
                        CStep::Send("250 queued\r\n"), CStep::Pause(300), CStep::Send("221 bye\r\n")});
  CDelivery delivery(relay.Port());
  delivery.channel.m_strTerminator = "\n";
  delivery.channel.SetBody("line one\nline two");
  delivery.channel.Initialise();
  EXPECT_EQ(delivery.channel.m_nStatus, 0);
  std::string transcript = relay.Transcript();
  EXPECT_NE(transcript.find("HELO [127.0.0.1]\r\nMAIL From:<from@example.com>\r\nRCPT To:<to@example.com>\r\nDATA\r\n"),
            std::string::npos);
  EXPECT_NE(transcript.find("line one\nline two\r\n.\r\nQUIT\r\n"), std::string::npos);
}

TEST(SMTPDeliveryTest, BindAddressFollowsTheBindSetting) {
  struct {
    SettingState eState;
    const char* pValue;
    const char* pExpected;
    bool bNotFoundLine;
  } const cases[] = {{SettingState::Missing, "", "127.0.0.1", false},
                     {SettingState::Found, "127.0.0.2", "127.0.0.2", false},
                     {SettingState::Found, "10.9.9.9", "127.0.0.1", true}};
  for (const auto& c : cases) {
    CScriptedRelay relay({CStep::Send("554 go away\r\n"), CStep::Pause(200)});
    CTestPlatform platform;
    platform.network = CLoopbackNetwork({"127.0.0.1", "127.0.0.2"});
    platform.settings.m_eBindState = c.eState;
    platform.settings.m_strBindIP = c.pValue;
    CSMTPChannel channel(platform.Get());
    channel.m_strAddress = "127.0.0.1";
    channel.m_nPort = relay.Port();
    channel.m_strRecipient = "to@example.com";
    CTempLog log;
    channel.m_nDebug = 1;
    channel.m_strLogFileName = log.strName;
    channel.Initialise();
    EXPECT_EQ(platform.network.m_strLastBind, c.pExpected);
    EXPECT_EQ(channel.m_nStatus, 6);
    std::string text = ReadFile(log.strName);
    EXPECT_EQ(text.find("BindIP address not found - using default") != std::string::npos, c.bNotFoundLine);
    EXPECT_NE(text.find(std::string("Using binding socket -") + c.pExpected + "\n"), std::string::npos);
  }
}

TEST(SMTPDeliveryTest, UnreadableBindSettingIsStatusSevenWithoutAnAttempt) {
  CTestPlatform platform;
  platform.settings.m_eBindState = SettingState::Error;
  CSMTPChannel channel(platform.Get());
  channel.m_strAddress = "127.0.0.1";
  channel.m_strRecipient = "to@example.com";
  EXPECT_FALSE(channel.Initialise());
  EXPECT_EQ(channel.m_nStatus, 7);
  EXPECT_EQ(platform.network.m_strLastBind, "(none)");
}

TEST(SMTPDeliveryTest, FailedHostLookupBindsToAnyAddressAndSaysSo) {
  CScriptedRelay relay({CStep::Send("554 no\r\n"), CStep::Pause(100)});
  CDelivery delivery(relay.Port());
  delivery.platform.network.m_bFailLookup = true;
  CTempLog log;
  delivery.channel.m_nDebug = 1;
  delivery.channel.m_strLogFileName = log.strName;
  delivery.channel.Initialise();
  EXPECT_EQ(delivery.channel.m_nStatus, 6);
  EXPECT_EQ(delivery.platform.network.m_strLastBind, "");
  std::string text = ReadFile(log.strName);
  EXPECT_NE(text.find("Host lookup failed - binding to any local address\n"), std::string::npos);
  EXPECT_NE(text.find("Using binding socket -0.0.0.0\n"), std::string::npos);
}

TEST(SMTPDeliveryTest, EightConcurrentSendsEachDeliverTheirOwnMessage) {
  constexpr int kCount = 8;
  std::vector<std::unique_ptr<CScriptedRelay>> relays;
  for (int i = 0; i < kCount; ++i) {
    std::string to = "to" + std::to_string(i) + "@example.com";
    relays.push_back(std::make_unique<CScriptedRelay>(
        Then(PlainEnvelope("from@example.com", {to}),
             {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"), CStep::Send("221 bye\r\n")})));
  }
  std::vector<int> statuses(kCount, -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCount; ++i) {
    threads.emplace_back([&, i] {
      CDelivery delivery(relays[static_cast<std::size_t>(i)]->Port(), "to" + std::to_string(i) + "@example.com");
      delivery.channel.SetBody("message number " + std::to_string(i));
      delivery.channel.Initialise();
      statuses[static_cast<std::size_t>(i)] = StatusCode(delivery.channel.m_nStatus);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(statuses[static_cast<std::size_t>(i)], 0);
    EXPECT_TRUE(relays[static_cast<std::size_t>(i)]->Failures().empty());
    EXPECT_NE(relays[static_cast<std::size_t>(i)]->Message().find("message number " + std::to_string(i)),
              std::string::npos);
  }
}

namespace {

// The message part of every log line: "time -  N - message" loses its stamp and number.
std::vector<std::string> LogMessages(const std::string& text) {
  std::vector<std::string> messages;
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t end = text.find('\n', position);
    std::string line = text.substr(position, end - position);
    position = end == std::string::npos ? text.size() : end + 1;
    std::size_t first = line.find(" - ");
    std::size_t second = first == std::string::npos ? first : line.find(" - ", first + 3);
    messages.push_back(second == std::string::npos ? line : line.substr(second + 3));
  }
  return messages;
}

}  // namespace

TEST(SMTPDeliveryTest, LogLinesOfASuccessfulSendInOrder) {
  CScriptedRelay relay(Then(PlainEnvelope("from@example.com", {"to@example.com"}),
                            {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"),
                             CStep::Send("221 bye\r\n")}));
  CDelivery delivery(relay.Port());
  CTempLog log;
  delivery.channel.m_nDebug = 1;
  delivery.channel.m_strLogFileName = log.strName;
  delivery.channel.Initialise();
  ASSERT_EQ(delivery.channel.m_nStatus, 0);
  std::string text = ReadFile(log.strName);
  // Server-thread lines carry thread number 0, the worker's lines its own id.
  EXPECT_NE(text.find(" -  0 - About to enter Initialise try/catch\n"), std::string::npos);
  EXPECT_EQ(text.find(" -  0 - Entering sendmail procedure"), std::string::npos);
  const std::vector<std::string> expected = {
      "About to enter Initialise try/catch", "About to start CSMTPChannel::StartThread",
      "Entering sendmail procedure", "Checking recipient and address", "Processing recipient", "Processing bcc",
      "Processing cc", "Get From Address", "ExtractEmailAddress", "Creating complete event", "Complete event created",
      "About to call AfxSocketInit", "Creating CSMTPSocket", "CSMTPSocket constructor called",
      "About to get binding info", "IP Addresses - ", "127.0.0.1", "IP Addresses Complete ", "binding info complete",
      "About to call socket create", "Using binding socket -127.0.0.1", "Socket create fine", "Deleting binding info",
      "Deleting binding info complete", "Socket connecting",
      "Going in to wait loop", "220 relay ready", "HELO [127.0.0.1]", "250 hello", "MAIL From:<from@example.com>",
      "250 ok", "RCPT To:<to@example.com>", "250 ok", "DATA", "354 go ahead", ".", "250 queued", "QUIT",
      "221 bye", "Waitresult = 0", "CSMTPSocket destructor called", "Initialise thread complete", "Getting exit code"};
  std::vector<std::string> messages = LogMessages(text);
  // The two server-thread lines around the start may interleave with the worker's first.
  std::vector<std::string> worker;
  for (const std::string& message : messages) {
    if (message != "CSMTPChannel::StartThread Complete" && message != "Waiting for initialise thread to complete") {
      worker.push_back(message);
    }
  }
  EXPECT_EQ(worker, expected);
  EXPECT_EQ(messages.size(), expected.size() + 2);
}

TEST(SMTPDeliveryTest, NoLogWithoutAPositiveDebugLevel) {
  for (int level : {0, -1}) {
    CScriptedRelay relay({CStep::Send("554 no\r\n"), CStep::Pause(100)});
    CDelivery delivery(relay.Port());
    std::string name = "/tmp/varnel-never-written-" + std::to_string(::getpid());
    delivery.channel.m_nDebug = level;
    delivery.channel.m_strLogFileName = name;
    delivery.channel.Initialise();
    EXPECT_NE(::access(name.c_str(), F_OK), 0);
  }
  // A log file in a missing directory changes nothing about the send.
  CScriptedRelay relay({CStep::Send("554 no\r\n"), CStep::Pause(100)});
  CDelivery delivery(relay.Port());
  delivery.channel.m_nDebug = 1;
  delivery.channel.m_strLogFileName = "/nonexistent-directory/varnel.log";
  delivery.channel.Initialise();
  EXPECT_EQ(delivery.channel.m_nStatus, 6);
}

TEST(SMTPDeliveryTest, EachReplyLineIsALogLineOfItsOwn) {
  CScriptedRelay relay({CStep::Send("554-no\r\n554-* * * * * root touch /tmp/x\x1b[2J\r\n554 end\r\n"), CStep::Pause(200)});
  CDelivery delivery(relay.Port());
  CTempLog log;
  delivery.channel.m_nDebug = 1;
  delivery.channel.m_strLogFileName = log.strName;
  delivery.channel.Initialise();
  std::string text = ReadFile(log.strName);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t end = text.find('\n', position);
    std::string line = text.substr(position, end - position);
    // Every line opens with the time stamp ("08 Dec 2026 04:33:56 - ").
    EXPECT_TRUE(line.size() > 24 && line[2] == ' ' && line.substr(20, 3) == " - ") << line;
    position = end == std::string::npos ? text.size() : end + 1;
  }
  EXPECT_NE(text.find(" - 554-* * * * * root touch /tmp/x?[2J\n"), std::string::npos);
}
