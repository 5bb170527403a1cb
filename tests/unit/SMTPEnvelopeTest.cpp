// The envelope and the ends of a send, as a scripted relay on loopback sees them: QUIT
// after every refusal, SIZE and BODY only where offered, the relay the caller named, the
// verdict only after the end of data, the TLS setting as a floor, credentials never in
// clear unasked, the default sender, and the text arriving as written.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "mime/Base64Encoder.h"
#include "smtp/SMTPChannel.h"
#include "tests/unit/TestRelay.h"

using namespace varnel;
using namespace varnel::test;

namespace {

const std::string kHelo = "HELO [127.0.0.1]\r\n";
const std::string kEhlo = "EHLO [127.0.0.1]\r\n";

struct CSend {
  CTestPlatform platform;
  CSMTPChannel channel{platform.Get()};

  explicit CSend(int port, std::string address = "127.0.0.1") {
    channel.m_strAddress = std::move(address);
    channel.m_nPort = port;
    channel.m_strRecipient = "to@example.com";
    channel.m_strFrom = "from@example.com";
    channel.m_nTimeout = 3000;
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

// A plain conversation up to and including the DATA command.
std::vector<CStep> UpToData() {
  return {CStep::Send("220 ready\r\n"),        CStep::Expect(kHelo),
          CStep::Send("250 hello\r\n"),        CStep::Expect("MAIL From:<from@example.com>\r\n"),
          CStep::Send("250 ok\r\n"),           CStep::Expect("RCPT To:<to@example.com>\r\n"),
          CStep::Send("250 ok\r\n"),           CStep::Expect("DATA\r\n")};
}

// After the message: accepted, QUIT, 221.
const std::vector<CStep> kAccepted = {CStep::Data(), CStep::Send("250 queued\r\n"), CStep::Expect("QUIT\r\n"),
                                      CStep::Send("221 bye\r\n")};

// A greeting answered by EHLO and the relay's EHLO reply (lines joined by CR LF).
std::vector<CStep> Ehlo(const std::string& reply) {
  return {CStep::Send("220 ready\r\n"), CStep::Expect(kEhlo), CStep::Send(reply + "\r\n")};
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

struct CTempFile {
  std::string strName;
  explicit CTempFile(const std::string& content) {
    char name[] = "/tmp/varnel-envelope-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd >= 0) {
      EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
      ::close(fd);
    }
    strName = name;
  }
  ~CTempFile() { ::unlink(strName.c_str()); }
  std::string Read() const {
    std::string text;
    if (std::FILE* file = std::fopen(strName.c_str(), "rb")) {
      char buffer[4096];
      std::size_t count;
      while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
      std::fclose(file);
    }
    return text;
  }
};

// Bare LFs become CR LF, as the DATA stream sends them.
std::string CrLf(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) result += '\r';
    result += text[i];
  }
  return result;
}

}  // namespace

TEST(SMTPEnvelopeTest, EveryRefusalAfterTheGreetingIsFollowedByQuit) {
  // RFC 5321 section 4.1.1.10: the client ends with QUIT, so the relay logs an orderly
  // end instead of "lost connection". A relay that says it closes (421) is simply left.
  CTempFile big(std::string(5000, 'x'));
  auto ehloMode = [](CSMTPChannel& c) { c.m_nTlsMode = TlsMode::Opportunistic; };
  struct {
    const char* pName;
    std::vector<CStep> arrSteps;
    std::function<void(CSMTPChannel&)> fnSetUp;
    int nStatus;
    std::string strCode;
    std::string strTranscript;  // exact, or "*": only its last line is checked
    bool bQuit;
  } const cases[] = {
      {"greeting refused", {CStep::Send("554 5.3.2 not now\r\n"), CStep::Pause(200)}, {}, 6, "554", "QUIT\r\n", true},
      {"recipient refused",
       {CStep::Send("220 ready\r\n"), CStep::Expect(kHelo), CStep::Send("250 hello\r\n"),
        CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("250 ok\r\n"),
        CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("550 5.1.1 no such user\r\n"), CStep::Pause(200)},
       {}, 6, "550", "*", true},
      {"refusal with a stray reply behind it: the refusal stands",
       {CStep::Send("220 ready\r\n"), CStep::Expect(kHelo), CStep::Send("250 hello\r\n"),
        CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("553 5.1.8 bad sender\r\n250 stray\r\n"),
        CStep::Pause(200)},
       {}, 6, "553", kHelo + "MAIL From:<from@example.com>\r\nQUIT\r\n", true},
      {"declared size refused by MAIL",
       Then(Ehlo("250-relay\r\n250 SIZE"),
            {CStep::ExpectStart("MAIL From:<from@example.com> SIZE="), CStep::Send("552 5.3.4 too big\r\n"),
             CStep::Pause(200)}),
       ehloMode, 6, "552", "*", true},
      {"message past the relay's SIZE limit", Then(Ehlo("250-relay\r\n250 SIZE 1000"), {CStep::Pause(200)}),
       [&big](CSMTPChannel& c) {
         c.m_nTlsMode = TlsMode::Opportunistic;
         c.m_strAttachments = big.strName;
       },
       6, "552", kEhlo + "QUIT\r\n", true},
      {"bare line ends refused at the end of data",
       Then(UpToData(), {CStep::Send("354 go\r\n"), CStep::Data(),
                         CStep::Send("550 5.5.2 bare <LF> received\r\n"), CStep::Pause(200)}),
       {}, 6, "550", "*", true},
      {"message too big at the end of data",
       Then(UpToData(), {CStep::Send("354 go\r\n"), CStep::Data(),
                         CStep::Send("552 5.3.4 message size exceeds fixed limit\r\n"), CStep::Pause(200)}),
       {}, 6, "552", "*", true},
      {"password refused",
       Then(Ehlo("250-relay\r\n250 AUTH PLAIN"),
            {CStep::Expect("AUTH PLAIN " + Base64EncodeText(std::string("\0me\0pw", 6)) + "\r\n"),
             CStep::Send("535 5.7.8 no\r\n"), CStep::Pause(200)}),
       [](CSMTPChannel& c) {
         c.m_bAuthenticate = true;
         c.m_nTlsMode = TlsMode::Never;
         c.m_strSMTPUsername = "me";
         c.m_strSMTPPassword = "pw";
       },
       6, "535", "*", true},
      {"STARTTLS refused while credentials wait",
       Then(Ehlo("250-relay\r\n250 STARTTLS"),
            {CStep::Expect("STARTTLS\r\n"), CStep::Send("454 4.7.0 TLS not available\r\n"), CStep::Pause(200)}),
       [](CSMTPChannel& c) {
         c.m_bAuthenticate = true;
         c.m_strSMTPPassword = "pw";
       },
       15, "454", kEhlo + "STARTTLS\r\nQUIT\r\n", true},
      {"relay closing with 421",
       {CStep::Send("220 ready\r\n"), CStep::Expect(kHelo), CStep::Send("250 hello\r\n"),
        CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("421 4.3.2 shutting down\r\n"),
        CStep::Pause(200)},
       {}, 6, "421", kHelo + "MAIL From:<from@example.com>\r\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pName);
    CScriptedRelay relay(c.arrSteps);
    CSend send(relay.Port());
    if (c.fnSetUp) c.fnSetUp(send.channel);
    EXPECT_EQ(send.Run(), c.nStatus);
    EXPECT_EQ(send.channel.m_strSMTPErrorNumber, c.strCode);
    std::string transcript = relay.Transcript();
    if (c.strTranscript != "*") {
      EXPECT_EQ(transcript, c.strTranscript);
    }
    EXPECT_EQ(EndsWith(transcript, "\r\nQUIT\r\n") || transcript == "QUIT\r\n", c.bQuit) << transcript;
    EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();
  }
}

TEST(SMTPEnvelopeTest, AnUnansweredQuitIsBoundedByTheTimeOutAndKeepsTheRefusal) {
  CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect(kHelo), CStep::Send("250 hello\r\n"),
                        CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("550 5.7.1 no\r\n"),
                        CStep::Expect("QUIT\r\n"), CStep::Pause(4000)});
  CSend send(relay.Port());
  send.channel.m_nTimeout = 500;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(send.Run(), 6);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.5);
  EXPECT_EQ(send.channel.m_strSMTPErrorNumber, "550");
}

TEST(SMTPEnvelopeTest, SizeAndBodyGoWithMailOnlyWhenTheRelayOffersThem) {
  CTempFile attachment("attached text\r\n.with a dot\r\n");
  struct {
    const char* pName;
    std::string strEhlo;
    std::string strBody;
    bool bAttachment;
    bool bSize;
    bool bBody;
  } const cases[] = {
      {"both offered, 8-bit body", "250-relay\r\n250-SIZE 10000000\r\n250 8BITMIME", "Gr\xF6\xDF" "e\r\n.dot\r\n", false,
       true, true},
      {"both offered, ASCII body", "250-relay\r\n250-SIZE 10000000\r\n250 8BITMIME", "plain\r\n.dot", false, true, false},
      {"SIZE without a limit, multipart", "250-relay\r\n250 SIZE", "text\n", true, true, false},
      {"8BITMIME alone", "250-relay\r\n250 8BITMIME", "Gr\xF6\xDF" "e", false, false, true},
      {"nothing offered, 8-bit body", "250 relay", "Gr\xF6\xDF" "e", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pName);
    CScriptedRelay relay(Then(Ehlo(c.strEhlo), {CStep::ExpectStart("MAIL From:<from@example.com>"),
                                                CStep::Send("250 ok\r\n"),
                                                CStep::Expect("RCPT To:<to@example.com>\r\n"),
                                                CStep::Send("250 ok\r\n"), CStep::Expect("DATA\r\n"),
                                                CStep::Send("354 go\r\n"), kAccepted[0], kAccepted[1],
                                                kAccepted[2], kAccepted[3]}));
    CSend send(relay.Port());
    send.channel.m_nTlsMode = TlsMode::Opportunistic;
    send.channel.SetBody(c.strBody);
    if (c.bAttachment) send.channel.m_strAttachments = attachment.strName;
    ASSERT_EQ(send.Run(), 0);
    ASSERT_TRUE(relay.Failures().empty()) << relay.Failures().front();
    // RFC 1870: every octet up to the end-of-data line, line ends included, the dots
    // doubled for transparency not.
    std::string received = relay.Message() + "\r\n";
    std::size_t stuffed = 0;
    for (std::size_t at = 0; (at = received.find("\r\n.", at)) != std::string::npos; at += 3) ++stuffed;
    std::string expected = "MAIL From:<from@example.com>";
    if (c.bSize) expected += " SIZE=" + std::to_string(received.size() - stuffed);
    if (c.bBody) expected += " BODY=8BITMIME";
    ASSERT_EQ(relay.Lines().size(), 1u);
    EXPECT_EQ(relay.Lines()[0], expected);
    EXPECT_EQ(received.find("Content-Transfer-Encoding: 8bit") != std::string::npos, c.bBody);
  }
}

TEST(SMTPEnvelopeTest, LoopbackNamedIsLoopbackUsedWhateverTheHostIsCalled) {
  // The host's own name resolves to no address here: the relay is still reached at the
  // loopback address the caller named.
  for (const char* address : {"127.0.0.1", "localhost", "LocalHost"}) {
    SCOPED_TRACE(address);
    CScriptedRelay relay(Then(UpToData(), {CStep::Send("354 go\r\n"), kAccepted[0], kAccepted[1], kAccepted[2],
                                           kAccepted[3]}));
    CSend send(relay.Port(), address);
    send.platform.network.m_strHostName = "unresolvable-host";
    send.platform.network.m_bFailLookup = true;
    EXPECT_EQ(send.Run(), 0) << send.channel.GetErrorMessage();
    EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();
  }
}

TEST(SMTPEnvelopeTest, AReplyBeforeTheEndOfDataIsNeverTakenAsTheVerdict) {
  struct {
    const char* pName;
    std::vector<CStep> arrSteps;
    std::size_t nBodySize;
    int nStatus;
    std::string strCode;
    bool bEndOfDataSent;
  } const cases[] = {
      // The relay says "250" while it still reads the message, and would refuse it later.
      {"250 while the message is sent",
       Then(UpToData(), {CStep::Send("354 go\r\n"), CStep::Pause(20), CStep::Send("250 2.0.0 early\r\n")}),
       32u << 20, 6, "250", false},
      {"250 in the same read as 354", Then(UpToData(), {CStep::Send("354 go\r\n250 2.0.0 early\r\n"), CStep::Pause(300)}),
       100, 6, "250", false},
      {"the first reply after the end of data decides",
       Then(UpToData(), {CStep::Send("354 go\r\n"), CStep::Data(), CStep::Send("250 queued\r\n554 late\r\n"),
                         CStep::Pause(300)}),
       100, 0, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pName);
    CScriptedRelay relay(c.arrSteps);
    CSend send(relay.Port());
    send.channel.SetBody(std::string(c.nBodySize, 'x'));
    EXPECT_EQ(send.Run(), c.nStatus) << send.channel.GetErrorMessage();
    EXPECT_EQ(send.channel.m_strSMTPErrorNumber, c.strCode);
    std::string transcript = relay.Transcript();
    EXPECT_EQ(transcript.find("\r\n.\r\n") != std::string::npos, c.bEndOfDataSent);
    if (c.nStatus != 0) {
      EXPECT_EQ(transcript.find("QUIT"), std::string::npos);  // inside the message QUIT would be text
      EXPECT_NE(send.channel.GetErrorMessage().find("answered before the end of the message"), std::string::npos);
    }
  }
}

TEST(SMTPEnvelopeTest, TheTlsSettingIsAFloorAndCredentialsNeverGoInClearUnasked) {
  const std::string noStartTls = "250-relay\r\n250 AUTH PLAIN";
  const std::string plainAuth = "AUTH PLAIN " + Base64EncodeText(std::string("\0me\0pw", 6)) + "\r\n";
  // Signed in without TLS, then the mail goes.
  std::vector<CStep> signedInClear =
      Then(Ehlo(noStartTls), {CStep::Expect(plainAuth), CStep::Send("235 ok\r\n"),
                              CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("250 ok\r\n"),
                              CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("250 ok\r\n"),
                              CStep::Expect("DATA\r\n"), CStep::Send("354 go\r\n"), kAccepted[0], kAccepted[1],
                              kAccepted[2], kAccepted[3]});
  std::vector<CStep> refusedBeforeAuth = Then(Ehlo(noStartTls), {CStep::Pause(200)});
  enum Credentials { kNone, kPassword, kToken };
  struct {
    const char* pName;
    const char* pTlsMode;     // the TlsMode setting, or none
    const char* pPlainSignIn;  // the AllowPlainSignIn setting, or none
    int nCallTls;              // @tls, -1: not given
    Credentials eCredentials;
    std::vector<CStep> arrSteps;
    int nStatus;
    std::string strTranscript;  // exact, or "*"
  } const cases[] = {
      {"setting 2, @tls=0: TLS still required", "2", nullptr, 0, kNone, refusedBeforeAuth, 15, kEhlo + "QUIT\r\n"},
      {"setting 2, @tls=1: TLS still required", "2", nullptr, 1, kNone, refusedBeforeAuth, 15, kEhlo + "QUIT\r\n"},
      {"setting 1, @tls=0: STARTTLS still tried",
       "1", nullptr, 0, kNone,
       Then(Ehlo("250-relay\r\n250 STARTTLS"),
            {CStep::Expect("STARTTLS\r\n"), CStep::Send("454 4.7.0 not now\r\n"),
             CStep::Expect("MAIL From:<from@example.com>\r\n"), CStep::Send("250 ok\r\n"),
             CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("250 ok\r\n"), CStep::Expect("DATA\r\n"),
             CStep::Send("354 go\r\n"), kAccepted[0], kAccepted[1], kAccepted[2], kAccepted[3]}),
       0, "*"},
      {"setting 0, @tls=2: a call may ask for more", "0", nullptr, 2, kNone, refusedBeforeAuth, 15,
       kEhlo + "QUIT\r\n"},
      {"password, no @tls, no STARTTLS offered", nullptr, nullptr, -1, kPassword, refusedBeforeAuth, 15,
       kEhlo + "QUIT\r\n"},
      {"token, no @tls, no STARTTLS offered", nullptr, nullptr, -1, kToken, refusedBeforeAuth, 15, kEhlo + "QUIT\r\n"},
      {"password, @tls=1, no STARTTLS offered", nullptr, nullptr, 1, kPassword, refusedBeforeAuth, 15,
       kEhlo + "QUIT\r\n"},
      {"password, setting 0, no @tls", "0", nullptr, -1, kPassword, refusedBeforeAuth, 15, kEhlo + "QUIT\r\n"},
      {"password, @tls=0 given: the call allows it", nullptr, nullptr, 0, kPassword, signedInClear, 0, "*"},
      {"password, AllowPlainSignIn=1", nullptr, "1", -1, kPassword, signedInClear, 0, "*"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pName);
    CScriptedRelay relay(c.arrSteps);
    CSend send(relay.Port());
    if (c.pTlsMode != nullptr) send.platform.settings.m_mapValues["TlsMode"] = c.pTlsMode;
    if (c.pPlainSignIn != nullptr) send.platform.settings.m_mapValues["AllowPlainSignIn"] = c.pPlainSignIn;
    send.channel.m_nTlsMode = c.nCallTls;
    if (c.eCredentials != kNone) {
      send.channel.m_bAuthenticate = true;
      send.channel.m_strSMTPUsername = "me";
      (c.eCredentials == kPassword ? send.channel.m_strSMTPPassword : send.channel.m_strSMTPOAuthToken) = "pw";
    }
    EXPECT_EQ(send.Run(), c.nStatus) << send.channel.GetErrorMessage();
    std::string transcript = relay.Transcript();
    if (c.strTranscript != "*") {
      EXPECT_EQ(transcript, c.strTranscript);
    }
    EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();
    if (c.nStatus == 15) {
      EXPECT_EQ(transcript.find("AUTH"), std::string::npos);
      EXPECT_EQ(transcript.find("MAIL"), std::string::npos);
      EXPECT_NE(send.channel.GetErrorMessage().find("TLS could not be established: "), std::string::npos);
    }
  }
}

TEST(SMTPEnvelopeTest, AnUnusableTlsSettingEndsTheCallBeforeAnyConnection) {
  // A typo must not weaken what the setting asks for: the call fails naming it. The port
  // is closed, so a call that tried to connect would end with 3 instead.
  const struct {
    const char* pName;
    const char* pValue;
  } cases[] = {{"TlsMode", "2x"}, {"TlsMode", "7"}, {"TlsMode", ""}, {"AllowPlainSignIn", "yes"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pName) + "=" + c.pValue);
    CSend send(ClosedPort());
    send.platform.settings.m_mapValues[c.pName] = c.pValue;
    EXPECT_EQ(send.Run(), 15);
    EXPECT_NE(send.channel.GetErrorMessage().find(std::string("the ") + c.pName + " setting"), std::string::npos)
        << send.channel.GetErrorMessage();
  }
  // Blanks around the digit are no typo.
  CScriptedRelay relay(Then(UpToData(), {CStep::Send("354 go\r\n"), kAccepted[0], kAccepted[1], kAccepted[2],
                                         kAccepted[3]}));
  CSend send(relay.Port());
  send.platform.settings.m_mapValues["TlsMode"] = " 0\n";
  EXPECT_EQ(send.Run(), 0) << send.channel.GetErrorMessage();
}

TEST(SMTPEnvelopeTest, TheTextArrivesAsWrittenWithNoLineAddedAtItsEnd) {
  // Everything before the end-of-data line is the message; its first CR LF ends the
  // text's last line, so a text that ends with a line break gets no second one.
  CTempFile attachment("data\r\n");
  const struct {
    const char* pBody;
    bool bMultipart;
  } cases[] = {{"one\r\ntwo\r\n", false}, {"one\ntwo\n", false}, {"one\r\ntwo", false}, {"one\r\n\r\n", false},
               {"one\r\ntwo\r\n", true},  {"one\ntwo", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pBody) + (c.bMultipart ? " multipart" : ""));
    CScriptedRelay relay(Then(UpToData(), {CStep::Send("354 go\r\n"), kAccepted[0], kAccepted[1], kAccepted[2],
                                           kAccepted[3]}));
    CSend send(relay.Port());
    send.channel.SetBody(c.pBody);
    if (c.bMultipart) send.channel.m_strAttachments = attachment.strName;
    ASSERT_EQ(send.Run(), 0);
    std::string received = relay.Message() + "\r\n";
    std::string body = CrLf(c.pBody);
    if (c.bMultipart) {
      // The CR LF before a delimiter belongs to the delimiter (RFC 2046 section 5.1.1).
      EXPECT_NE(received.find("\r\n\r\n" + body + "\r\n--" + send.channel.m_strBoundary + "\r\n"), std::string::npos);
      EXPECT_TRUE(EndsWith(received, "\r\n--" + send.channel.m_strBoundary + "--\r\n"));
    } else {
      if (!EndsWith(body, "\r\n")) body += "\r\n";
      EXPECT_TRUE(EndsWith(received, "\r\n\r\n" + body)) << received;
    }
  }
}

TEST(SMTPEnvelopeTest, TheDefaultSenderIsTheGreetingsNameAndNoInventedDomain) {
  const struct {
    const char* pName;
    const char* pHeloSetting;
    const char* pHostName;
    const char* pQualifiedName;
    const char* pFrom;
    const char* pSender;
    bool bNoted;  // the log says that no fully qualified name exists
  } cases[] = {
      {"bare host name", nullptr, "vm", "", "", "sqlserver@vm", true},
      {"the system's fully qualified name", nullptr, "vm", "vm.example.org", "", "sqlserver@vm.example.org", false},
      {"a host name with a dot", nullptr, "db.example.net", "", "", "sqlserver@db.example.net", false},
      {"the HeloName setting", "mail01.example.com", "vm", "vm.example.org", "", "sqlserver@mail01.example.com",
       false},
      {"a sender of blanks alone", nullptr, "vm", "", "   ", "sqlserver@vm", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pName);
    CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::ExpectStart("HELO "), CStep::Send("250 hello\r\n"),
                          CStep::ExpectStart("MAIL From:"), CStep::Send("250 ok\r\n"),
                          CStep::Expect("RCPT To:<to@example.com>\r\n"), CStep::Send("250 ok\r\n"),
                          CStep::Expect("DATA\r\n"), CStep::Send("354 go\r\n"), kAccepted[0], kAccepted[1],
                          kAccepted[2], kAccepted[3]});
    CSend send(relay.Port());
    send.platform.network.m_strHostName = c.pHostName;
    send.platform.network.m_strQualifiedName = c.pQualifiedName;
    if (c.pHeloSetting != nullptr) send.platform.settings.m_mapValues["HeloName"] = c.pHeloSetting;
    send.channel.m_strFrom = c.pFrom;
    CTempFile log("");
    send.channel.m_nDebug = 1;
    send.channel.m_strLogFileName = log.strName;
    ASSERT_EQ(send.Run(), 0) << send.channel.GetErrorMessage();
    ASSERT_TRUE(relay.Failures().empty()) << relay.Failures().front();
    std::string sender = c.pSender;
    std::string domain = sender.substr(sender.find('@') + 1);
    ASSERT_EQ(relay.Lines().size(), 2u);
    EXPECT_EQ(relay.Lines()[1], "MAIL From:<" + sender + ">");
    std::string message = relay.Message();
    EXPECT_NE(message.find("\r\nFrom: " + sender + "\r\n"), std::string::npos);
    EXPECT_NE(message.find("@" + domain + ">\r\n"), std::string::npos);  // the Message-ID's right side
    EXPECT_EQ(log.Read().find("No fully qualified name for this host") != std::string::npos, c.bNoted);
  }
}
