// Delivery across a list of relays and rounds of retries, as scripted relays on loopback
// see it: transient refusals move on, final ones end the call, a message whose end of
// data went out is never sent again, the call's bound holds, refused recipients are left
// out on request.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "mime/Base64Encoder.h"
#include "smtp/SMTPChannel.h"
#include "tests/unit/TestRelay.h"

using namespace varnel;
using namespace varnel::test;

namespace {

struct CSend {
  CTestPlatform platform;
  CSMTPChannel channel{platform.Get()};

  explicit CSend(std::vector<int> ports, std::string recipients = "to@example.com") {
    for (int port : ports) channel.m_arrRelays.push_back({"127.0.0.1", port});
    channel.m_strAddress = "127.0.0.1";
    channel.m_strRecipient = std::move(recipients);
    channel.m_strFrom = "from@example.com";
    channel.m_nTimeout = 3000;
    channel.SetBody("hello");
  }
  int Run() {
    channel.Initialise();
    return StatusCode(channel.m_nStatus);
  }
};

std::vector<CStep> Then(std::vector<CStep> steps, const std::vector<CStep>& more) {
  steps.insert(steps.end(), more.begin(), more.end());
  return steps;
}

// A whole plain send the relay accepts.
std::vector<CStep> Accepting(const std::vector<std::string>& recipients = {"to@example.com"}) {
  return Then(PlainEnvelope("from@example.com", recipients),
              {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"), CStep::Send("221 bye\r\n")});
}

// The conversation up to the stage named, where the relay answers reply.
std::vector<CStep> RefusingAt(const std::string& stage, const std::string& reply) {
  std::vector<CStep> steps = {CStep::Send(stage == "greeting" ? reply : "220 ready\r\n")};
  if (stage == "greeting") return steps;
  steps = Then(steps, {CStep::Expect("HELO [127.0.0.1]\r\n"), CStep::Send("250 hello\r\n"),
                       CStep::Expect("MAIL From:<from@example.com>\r\n")});
  if (stage == "MAIL") return Then(steps, {CStep::Send(reply)});
  steps = Then(steps, {CStep::Send("250 ok\r\n"), CStep::Expect("RCPT To:<to@example.com>\r\n")});
  if (stage == "RCPT") return Then(steps, {CStep::Send(reply)});
  steps = Then(steps, {CStep::Send("250 ok\r\n"), CStep::Expect("DATA\r\n")});
  if (stage == "DATA") return Then(steps, {CStep::Send(reply)});
  return Then(steps, {CStep::Send("354 go ahead\r\n"), CStep::Data(), CStep::Send(reply)});
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace

TEST(SMTPFallbackTest, RelayListsSplitAtCommasAndSemicolons) {
  struct Case {
    const char* pAddress;
    std::vector<std::string> expected;
  };
  const Case cases[] = {{"smtp.example.com", {"smtp.example.com"}},
                        {" a.example.com , b.example.com;c.example.com ", {"a.example.com", "b.example.com", "c.example.com"}},
                        {"a;;b,", {"a", "b"}},
                        {"::1", {"::1"}},
                        {" ; , ", {}}};
  for (const Case& c : cases) {
    std::vector<std::string> hosts;
    for (const CRelay& relay : SplitRelayList(c.pAddress)) hosts.push_back(relay.strHost);
    EXPECT_EQ(hosts, c.expected) << c.pAddress;
  }
}

TEST(SMTPFallbackTest, EachTransientReplyAtEachStageMovesOnToTheNextRelay) {
  for (const char* stage : {"greeting", "MAIL", "RCPT", "DATA", "end of data"}) {
    for (const char* code : {"421", "450", "451", "452", "454"}) {
      std::string reply = std::string(code) + " try later\r\n";
      CScriptedRelay first(RefusingAt(stage, reply));
      CScriptedRelay second(Accepting());
      CSend send({first.Port(), second.Port()});
      EXPECT_EQ(send.Run(), 0) << stage << " " << code;
      ASSERT_EQ(send.channel.m_arrAttempts.size(), 2u) << stage << " " << code;
      EXPECT_EQ(send.channel.m_arrAttempts[0].nStatus, Status::DestinationError);
      EXPECT_EQ(send.channel.m_arrAttempts[0].strReply, std::string(code) + " try later");
      EXPECT_EQ(send.channel.m_nAcceptedRelay, 1);
      EXPECT_TRUE(first.Failures().empty()) << stage << " " << code << ": " << first.Failures().front();
      EXPECT_TRUE(second.Failures().empty()) << stage << " " << code << ": " << second.Failures().front();
      EXPECT_NE(second.Message().find("\r\n\r\nhello"), std::string::npos);
    }
  }
}

TEST(SMTPFallbackTest, ThreeRelaysRefusedConnectionThen421ThenAccepted) {
  int closed = ClosedPort();
  CScriptedRelay busy({CStep::Send("421 busy, try later\r\n")});
  CScriptedRelay good(Accepting());
  CSend send({closed, busy.Port(), good.Port()});
  EXPECT_EQ(send.Run(), 0);
  ASSERT_EQ(send.channel.m_arrAttempts.size(), 3u);
  EXPECT_EQ(send.channel.m_arrAttempts[0].nStatus, Status::Connect);
  EXPECT_EQ(send.channel.m_arrAttempts[0].nPort, closed);
  EXPECT_EQ(send.channel.m_arrAttempts[1].strReply, "421 busy, try later");
  EXPECT_EQ(send.channel.m_arrAttempts[2].nStatus, Status::Success);
  EXPECT_EQ(send.channel.m_nAcceptedRelay, 2);
  EXPECT_EQ(busy.Transcript(), "");  // 421 closes: no QUIT, no MAIL
  EXPECT_TRUE(good.Failures().empty()) << good.Failures().front();
}

TEST(SMTPFallbackTest, AttemptWithoutAConnectionCarriesTheReason) {
  int closed = ClosedPort();
  CScriptedRelay good(Accepting());
  CSend send({closed, good.Port()});
  EXPECT_EQ(send.Run(), 0);
  ASSERT_EQ(send.channel.m_arrAttempts.size(), 2u);
  EXPECT_EQ(send.channel.m_arrAttempts[0].nStatus, Status::Connect);
  EXPECT_EQ(send.channel.m_arrAttempts[0].strReply, std::strerror(ECONNREFUSED));
  // The classic ErrorMessage of a call that could not connect stays the status text.
  CSend lone({closed});
  EXPECT_EQ(lone.Run(), Status::Connect);
  EXPECT_EQ(lone.channel.GetErrorMessage(), "Unable to Connect to SMTP Server");
  ASSERT_EQ(lone.channel.m_arrAttempts.size(), 1u);
  EXPECT_EQ(lone.channel.m_arrAttempts[0].strReply, std::strerror(ECONNREFUSED));
}

TEST(SMTPFallbackTest, RetrySettingsFollowTheRuleOfEverySetting) {
  // Cut at the first NUL like any other setting; set but empty is no number.
  CScriptedRelay relay({CStep::Send("421 restarting\r\n")}, {Accepting()});
  CSend send({relay.Port()});
  send.platform.settings.m_mapValues["Retries"] = std::string("1\0junk", 6);
  send.platform.settings.m_mapValues["RetryDelay"] = "0";
  EXPECT_EQ(send.Run(), 0);
  EXPECT_EQ(send.channel.m_arrAttempts.size(), 2u);
  CSend empty({relay.Port()});
  empty.platform.settings.m_mapValues["MaxSeconds"] = " \n";
  EXPECT_EQ(empty.Run(), Status::Registry);
  EXPECT_NE(empty.channel.GetErrorMessage().find("the MaxSeconds setting \" \\x0A\" (the installation's settings) is "
                                                 "not a whole number from 0 to 86400"),
            std::string::npos)
      << empty.channel.GetErrorMessage();
}

TEST(SMTPFallbackTest, FinalRefusalsEndTheCallWithoutTheNextRelayOrRound) {
  for (const char* stage : {"MAIL", "RCPT", "end of data"}) {
    CScriptedRelay first(Then(RefusingAt(stage, "550 no\r\n"), {CStep::Expect("QUIT\r\n"), CStep::Send("221 bye\r\n")}));
    CScriptedRelay second(Accepting());
    CSend send({first.Port(), second.Port()});
    send.channel.m_nRetries = 2;
    send.channel.m_nRetryDelayMs = 0;
    EXPECT_EQ(send.Run(), Status::DestinationError) << stage;
    EXPECT_EQ(send.channel.m_strSMTPErrorNumber, "550") << stage;
    EXPECT_EQ(send.channel.m_arrAttempts.size(), 1u) << stage;
    EXPECT_EQ(second.Connections(), 0) << stage;
  }
}

TEST(SMTPFallbackTest, RetriesComeBackAfterTheDelayAndSingleTryStaysTheDefault) {
  {
    CScriptedRelay relay({CStep::Send("421 restarting\r\n")}, {Accepting()});
    CSend send({relay.Port()});
    send.channel.m_nRetries = 1;
    send.channel.m_nRetryDelayMs = 200;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send.Run(), 0);
    auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(send.channel.m_arrAttempts.size(), 2u);
    EXPECT_GE(send.channel.m_arrAttempts[0].nDelayMs, 200);
    EXPECT_LE(send.channel.m_arrAttempts[0].nDelayMs, 250);  // a quarter of jitter at most
    EXPECT_GE(elapsed, std::chrono::milliseconds(200));
    EXPECT_EQ(send.channel.m_nAcceptedRelay, 0);
    EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();
  }
  {
    // No Retries setting: one try, as ever.
    CScriptedRelay relay({CStep::Send("421 restarting\r\n")});
    CSend send({relay.Port()});
    EXPECT_EQ(send.Run(), Status::DestinationError);
    EXPECT_EQ(send.channel.m_arrAttempts.size(), 1u);
    EXPECT_EQ(send.channel.m_strSMTPErrorNumber, "421");
  }
}

TEST(SMTPFallbackTest, RetrySettingsThatDoNotParseFailTheCallNamingThem) {
  struct Case {
    const char* pName;
    const char* pValue;
  };
  const Case cases[] = {{"Retries", "two"}, {"Retries", "-1"}, {"RetryDelay", "1.5"}, {"MaxSeconds", "1e3"},
                        {"MaxSeconds", "999999999"}};
  for (const Case& c : cases) {
    CScriptedRelay relay({});
    CSend send({relay.Port()});
    send.platform.settings.m_mapValues[c.pName] = c.pValue;
    EXPECT_EQ(send.Run(), Status::Registry) << c.pName << "=" << c.pValue;
    EXPECT_NE(send.channel.GetErrorMessage().find(std::string("the ") + c.pName + " setting"), std::string::npos)
        << send.channel.GetErrorMessage();
    EXPECT_EQ(relay.Connections(), 0);
  }
  CScriptedRelay relay({CStep::Send("421 restarting\r\n")}, {Accepting()});
  CSend send({relay.Port()});
  send.platform.settings.m_mapValues["Retries"] = " 1\n";
  send.platform.settings.m_mapValues["RetryDelay"] = "0";
  EXPECT_EQ(send.Run(), 0);
  EXPECT_EQ(send.channel.m_arrAttempts.size(), 2u);
}

TEST(SMTPFallbackTest, ConnectionEndingAfterTheEndOfDataIsUnknownAndNeverSentAgain) {
  // Closed before the verdict, or silent past the time-out: the relay may hold the message.
  for (bool close : {true, false}) {
    CScriptedRelay first(Then(PlainEnvelope("from@example.com", {"to@example.com"}),
                              {CStep::Data(), close ? CStep::Close() : CStep::Pause(1500)}));
    CScriptedRelay second(Accepting());
    CSend send({first.Port(), second.Port()});
    send.channel.m_nTimeout = 500;
    send.channel.m_nRetries = 2;
    send.channel.m_nRetryDelayMs = 0;
    EXPECT_EQ(send.Run(), Status::Unknown) << close;
    EXPECT_EQ(send.channel.GetErrorMessage(), "Unknown: the relay may have accepted the message");
    EXPECT_EQ(send.channel.m_arrAttempts.size(), 1u);
    EXPECT_EQ(Count(first.Transcript(), "DATA\r\n"), 1u);
    EXPECT_EQ(second.Connections(), 0);
  }
}

TEST(SMTPFallbackTest, MaxSecondsBoundsTheWholeCall) {
  {
    // A relay that never speaks, with a per-reply time-out far beyond the bound.
    CScriptedRelay silent({CStep::Pause(5000)});
    CSend send({silent.Port()});
    send.channel.m_nTimeout = 30000;
    send.channel.m_nMaxSeconds = 1;
    send.channel.m_nRetries = 5;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send.Run(), Status::Timeout);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
    EXPECT_NE(send.channel.GetErrorMessage().find("bound of 1 seconds"), std::string::npos)
        << send.channel.GetErrorMessage();
  }
  {
    // The delay before the next round is cut to the bound as well.
    CSend send({ClosedPort()});
    send.channel.m_nMaxSeconds = 1;
    send.channel.m_nRetries = 5;
    send.channel.m_nRetryDelayMs = 10000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send.Run(), Status::Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(send.channel.m_arrAttempts.size(), 1u);
    EXPECT_NE(send.channel.GetErrorMessage().find("after 1 attempt(s)"), std::string::npos)
        << send.channel.GetErrorMessage();
  }
  {
    // A relay that takes the message slowly, each wait well within the time-out.
    CScriptedRelay slow(Then(PlainEnvelope("from@example.com", {"to@example.com"}), {CStep::ReadSlowly(20)}));
    CSend send({slow.Port()});
    std::string line = std::string(76, 'x') + "\r\n";
    std::string body;
    while (body.size() < 24 * 1024 * 1024) body += line;
    send.channel.SetBody(body);
    send.channel.m_nMaxSeconds = 1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send.Run(), Status::Timeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_NE(send.channel.GetErrorMessage().find("bound of 1 seconds passed after 1 attempt(s): "), std::string::npos)
        << send.channel.GetErrorMessage();
  }
}

TEST(SMTPFallbackTest, ReplyToTheEndOfDataWithoutAReadableCodeIsUnknownAndNeverSentAgain) {
  // Neither an acceptance nor a refusal: the relay may hold the message.
  struct Case {
    const char* pName;
    std::vector<CStep> arrVerdict;
  };
  const Case cases[] = {
      {"piece of a code, then closed", {CStep::Send("25"), CStep::Close()}},
      {"first line of a multi-line reply, then closed", {CStep::Send("250-queued\r\n"), CStep::Close()}},
      {"continuation line without its end, then closed", {CStep::Send("250-queued"), CStep::Close()}},
      {"lines with different codes", {CStep::Send("250-queued\r\n451 try later\r\n"), CStep::Pause(300)}},
  };
  for (const Case& c : cases) {
    CScriptedRelay first(Then(Then(PlainEnvelope("from@example.com", {"to@example.com"}), {CStep::Data()}), c.arrVerdict));
    CScriptedRelay second(Accepting());
    CSend send({first.Port(), second.Port()});
    send.channel.m_nTimeout = 2000;
    send.channel.m_nRetries = 2;
    send.channel.m_nRetryDelayMs = 0;
    EXPECT_EQ(send.Run(), Status::Unknown) << c.pName;
    EXPECT_EQ(send.channel.m_arrAttempts.size(), 1u) << c.pName;
    EXPECT_EQ(second.Connections(), 0) << c.pName;
    EXPECT_EQ(Count(first.Transcript(), "DATA\r\n"), 1u) << c.pName;
  }
}

TEST(SMTPFallbackTest, PartialRecipientsLeaveTheRefusedOneOut) {
  std::vector<CStep> script = {CStep::Send("220 ready\r\n"),         CStep::Expect("HELO [127.0.0.1]\r\n"),
                               CStep::Send("250 hello\r\n"),         CStep::Expect("MAIL From:<from@example.com>\r\n"),
                               CStep::Send("250 ok\r\n"),            CStep::Expect("RCPT To:<a@example.com>\r\n"),
                               CStep::Send("250 ok\r\n"),            CStep::Expect("RCPT To:<b@example.com>\r\n"),
                               CStep::Send("550 5.1.1 no such user\r\n"), CStep::Expect("RCPT To:<c@example.com>\r\n"),
                               CStep::Send("250 ok\r\n"),            CStep::Expect("DATA\r\n"),
                               CStep::Send("354 go ahead\r\n"),      CStep::Data(),
                               CStep::Send("250 queued\r\n"),        CStep::Expect("QUIT\r\n"),
                               CStep::Send("221 bye\r\n")};
  CScriptedRelay relay(script);
  CSend send({relay.Port()}, "a@example.com, b@example.com, c@example.com");
  send.channel.m_bPartialRecipients = true;
  EXPECT_EQ(send.Run(), Status::Partial);
  ASSERT_EQ(send.channel.m_arrRefusedRecipients.size(), 1u);
  EXPECT_EQ(send.channel.m_arrRefusedRecipients[0].strAddress, "b@example.com");
  EXPECT_EQ(send.channel.m_arrRefusedRecipients[0].strReply, "550 5.1.1 no such user");
  EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();

  // Every recipient refused: nothing to send, the last refusal is the outcome.
  CScriptedRelay none({CStep::Send("220 ready\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n"), CStep::Send("250 hello\r\n"),
                       CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("250 ok\r\n"),
                       CStep::Expect("RCPT To:<a@example.com>\r\n"), CStep::Send("550 no\r\n"),
                       CStep::Expect("QUIT\r\n"), CStep::Send("221 bye\r\n")});
  CSend nobody({none.Port()}, "a@example.com");
  nobody.channel.m_bPartialRecipients = true;
  EXPECT_EQ(nobody.Run(), Status::DestinationError);
  EXPECT_EQ(nobody.channel.m_strSMTPErrorNumber, "550");
  EXPECT_EQ(Count(none.Transcript(), "DATA"), 0u);
}

TEST(SMTPFallbackTest, RefusedSignInLeavesThatRelayOutAndTheNextIsTried) {
  const std::vector<CStep> signIn = {CStep::Send("220 ready\r\n"), CStep::Expect("EHLO [127.0.0.1]\r\n"),
                                     CStep::Send("250-relay\r\n250 AUTH LOGIN\r\n"), CStep::Expect("AUTH LOGIN\r\n")};
  const std::vector<CStep> answered = Then(signIn, {CStep::Send("334 VXNlcm5hbWU6\r\n"), CStep::Expect(Base64EncodeText("me") + "\r\n"),
                                                    CStep::Send("334 UGFzc3dvcmQ6\r\n"), CStep::Expect(Base64EncodeText("pw") + "\r\n")});
  struct Case {
    const char* pName;
    std::vector<CStep> arrRefusal;
  };
  const Case cases[] = {
      {"password refused", Then(answered, {CStep::Send("535 5.7.8 authentication failed\r\n")})},
      {"mechanism refused", Then(signIn, {CStep::Send("504 5.5.4 unrecognised authentication type\r\n")})},
  };
  for (const Case& c : cases) {
    CScriptedRelay first(Then(c.arrRefusal, {CStep::Expect("QUIT\r\n"), CStep::Send("221 bye\r\n")}));
    CScriptedRelay second(Then(answered, {CStep::Send("235 ok\r\n"), CStep::Expect("MAIL From:<from@example.com>\r\n"),
                                          CStep::Send("250 ok\r\n"), CStep::Expect("RCPT To:<to@example.com>\r\n"),
                                          CStep::Send("250 ok\r\n"), CStep::Expect("DATA\r\n"),
                                          CStep::Send("354 go ahead\r\n"), CStep::Data(), CStep::Send("250 queued\r\n"),
                                          CStep::Expect("QUIT\r\n"), CStep::Send("221 bye\r\n")}));
    CSend send({first.Port(), second.Port()});
    send.channel.m_bAuthenticate = true;
    send.channel.m_nTlsMode = TlsMode::Never;
    send.channel.m_strSMTPUsername = "me";
    send.channel.m_strSMTPPassword = "pw";
    send.channel.m_nRetries = 1;
    send.channel.m_nRetryDelayMs = 0;
    EXPECT_EQ(send.Run(), 0) << c.pName;
    ASSERT_EQ(send.channel.m_arrAttempts.size(), 2u) << c.pName;
    EXPECT_EQ(send.channel.m_arrAttempts[0].nStatus, Status::DestinationError) << c.pName;
    EXPECT_EQ(send.channel.m_nAcceptedRelay, 1) << c.pName;
    EXPECT_TRUE(first.Failures().empty()) << c.pName << ": " << first.Failures().front();
    EXPECT_TRUE(second.Failures().empty()) << c.pName << ": " << second.Failures().front();
  }
}

TEST(SMTPFallbackTest, OutcomeOfTheLastAttemptStandsWhenTheCallsBoundPassesDuringIt) {
  // The bound passes while the verdict or the answer to QUIT is awaited: what the relay
  // said (or may have done) is the outcome, not the bound.
  struct Case {
    const char* pName;
    std::vector<CStep> arrAfterData;
    int nStatus;
    std::string strCode;
  };
  const Case cases[] = {
      {"no verdict on the message", {CStep::Pause(2500)}, 18, ""},
      {"message refused, QUIT unanswered", {CStep::Send("550 5.6.0 refused\r\n"), CStep::Expect("QUIT\r\n"), CStep::Pause(2500)},
       6, "550"},
  };
  for (const Case& c : cases) {
    CScriptedRelay first(Then(Then(PlainEnvelope("from@example.com", {"to@example.com"}), {CStep::Data()}), c.arrAfterData));
    CScriptedRelay second(Accepting());
    CSend send({first.Port(), second.Port()});
    send.channel.m_nTimeout = 10000;
    send.channel.m_nMaxSeconds = 1;
    send.channel.m_nRetries = 2;
    send.channel.m_nRetryDelayMs = 0;
    EXPECT_EQ(send.Run(), c.nStatus) << c.pName << ": " << send.channel.GetErrorMessage();
    EXPECT_EQ(send.channel.m_strSMTPErrorNumber, c.strCode) << c.pName;
    EXPECT_EQ(send.channel.GetErrorMessage().find("bound"), std::string::npos) << c.pName << ": " << send.channel.GetErrorMessage();
    EXPECT_EQ(send.channel.m_arrAttempts.size(), 1u) << c.pName;
    EXPECT_EQ(second.Connections(), 0) << c.pName;
  }
}
