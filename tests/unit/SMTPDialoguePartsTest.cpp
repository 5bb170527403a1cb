// The small pure pieces of the dialogue: greeting name, bind address, EHLO capabilities,
// SASL choice and exchanges; and opening files that may be swapped for a FIFO.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mime/Base64Encoder.h"
#include "oauth/AccessTokenSource.h"
#include "platform/System.h"
#include "smtp/SASL.h"
#include "smtp/SMTPCapabilities.h"
#include "smtp/SMTPChannel.h"
#include "smtp/SMTPSocket.h"

using namespace varnel;

TEST(SMTPDialoguePartsTest, GreetingName) {
  struct {
    const char *pConfigured, *pHost, *pLiteral, *pExpected;
  } const cases[] = {
      {"", "db01.example.com", "[192.0.2.7]", "db01.example.com"},
      {"", "db01", "[192.0.2.7]", "[192.0.2.7]"},
      {"", "db01", "[IPv6:2001:db8::7]", "[IPv6:2001:db8::7]"},
      {"", "db01", "", "db01"},
      {"", "", "", "localhost"},
      {"mail.example.com", "db01", "[192.0.2.7]", "mail.example.com"},
      {"db01.com\r\nQUIT", "db01", "[192.0.2.7]", "db01.comQUIT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseGreetingName(c.pConfigured, c.pHost, c.pLiteral), c.pExpected) << c.pConfigured << c.pHost;
  }
}

TEST(SMTPDialoguePartsTest, BindAddress) {
  auto address = [](const char* text) {
    in_addr value{};
    ::inet_pton(AF_INET, text, &value);
    return value.s_addr;
  };
  const std::vector<std::uint32_t> two = {address("10.0.0.1"), address("10.0.0.2")};
  struct {
    std::vector<std::uint32_t> arrAddresses;
    const char* pBindIP;
    const char* pExpected;
    bool bFound;
  } const cases[] = {
      {two, "", "10.0.0.1", true},
      {two, "10.0.0.2", "10.0.0.2", true},
      {two, "10.0.0.9", "10.0.0.1", false},
      {{}, "10.0.0.2", "", true},
  };
  for (const auto& c : cases) {
    bool found = false;
    EXPECT_EQ(ChooseBindAddress(c.arrAddresses, c.pBindIP, found), c.pExpected) << c.pBindIP;
    EXPECT_EQ(found, c.bFound) << c.pBindIP;
  }
}

TEST(SMTPDialoguePartsTest, DefaultTlsMode) {
  EXPECT_EQ(DefaultTlsMode(465, false), TlsMode::Implicit);
  EXPECT_EQ(DefaultTlsMode(587, true), TlsMode::Opportunistic);
  EXPECT_EQ(DefaultTlsMode(25, false), TlsMode::Never);
}

TEST(SMTPDialoguePartsTest, Capabilities) {
  CSMTPCapabilities all = CSMTPCapabilities::Parse(
      "250-relay.example.com greets you\r\n250-SIZE 35882577\r\n250-8BITMIME\r\n250-starttls\r\n"
      "250-AUTH=LOGIN\r\n250 AUTH plain xoauth2 LOGIN");
  EXPECT_TRUE(all.bStartTls);
  EXPECT_TRUE(all.b8BitMime);
  EXPECT_EQ(all.nMaxSize, 35882577u);
  EXPECT_EQ(all.arrAuthMechanisms, (std::vector<std::string>{"LOGIN", "PLAIN", "XOAUTH2"}));
  // The relay's name on the first line is no extension; a bad SIZE is ignored.
  CSMTPCapabilities none = CSMTPCapabilities::Parse("250 STARTTLS\r\n250-SIZE 12x");
  EXPECT_FALSE(none.bStartTls);
  EXPECT_EQ(none.nMaxSize, 0u);
  EXPECT_FALSE(none.bAuthListed);
}

TEST(SMTPDialoguePartsTest, SASLChoiceAndExchanges) {
  CSMTPCapabilities plainOnly = CSMTPCapabilities::Parse("250-x\r\n250 AUTH PLAIN CRAM-MD5");
  CSMTPCapabilities both = CSMTPCapabilities::Parse("250-x\r\n250 AUTH PLAIN LOGIN");
  EXPECT_STREQ(ChooseSASLMechanism(&plainOnly, "u", "p", "").get()->Name(), "PLAIN");
  EXPECT_STREQ(ChooseSASLMechanism(&both, "u", "p", "").get()->Name(), "LOGIN");
  EXPECT_STREQ(ChooseSASLMechanism(nullptr, "u", "p", "").get()->Name(), "LOGIN");
  EXPECT_STREQ(ChooseSASLMechanism(&plainOnly, "u", "p", "tok").get()->Name(), "XOAUTH2");

  auto plain = ChooseSASLMechanism(&plainOnly, "user", "secret", "");
  EXPECT_EQ(plain->Command(), "AUTH PLAIN " + Base64EncodeText(std::string("\0user\0secret", 12)));
  EXPECT_EQ(plain->LogText().find(Base64EncodeText(std::string("\0user\0secret", 12))), std::string::npos);
  std::string response;
  EXPECT_FALSE(plain->Answer("", response));

  auto oauth = ChooseSASLMechanism(nullptr, "me@example.com", "", "tok");
  EXPECT_EQ(Base64DecodeText(oauth->Command().substr(13)), "user=me@example.com\x01" "auth=Bearer tok\x01\x01");
  EXPECT_TRUE(oauth->Answer("eyJzdGF0dXMiOiI0MDEifQ==", response));  // the error JSON: an empty answer
  EXPECT_EQ(response, "");
  EXPECT_FALSE(oauth->Answer("eyJzdGF0dXMiOiI0MDEifQ==", response));

  // LOGIN answers each prompt once, in order: a repeated prompt is not a loop.
  auto login = ChooseSASLMechanism(nullptr, "u", "p", "");
  EXPECT_FALSE(login->Answer("UGFzc3dvcmQ6", response));
  EXPECT_TRUE(login->Answer("VXNlcm5hbWU6", response));
  EXPECT_EQ(response, Base64EncodeText("u"));
  EXPECT_FALSE(login->Answer("VXNlcm5hbWU6", response));
  EXPECT_TRUE(login->Answer("UGFzc3dvcmQ6", response));
  EXPECT_FALSE(login->Answer("UGFzc3dvcmQ6", response));
}

namespace {

// Hands out the tokens of its list, one per call, and counts what it was asked.
class CListedTokens final : public IAccessTokenSource {
 public:
  explicit CListedTokens(std::vector<std::string> tokens) : m_arrTokens(std::move(tokens)) {}
  bool Get(bool fresh, std::string& token) override {
    ++(fresh ? m_nFresh : m_nHeld);
    if (m_nNext == m_arrTokens.size()) return false;
    token = m_arrTokens[m_nNext++];
    return true;
  }
  int m_nFresh = 0;
  int m_nHeld = 0;

 private:
  std::vector<std::string> m_arrTokens;
  std::size_t m_nNext = 0;
};

}  // namespace

TEST(SMTPDialoguePartsTest, AfterARefusalOnlyATokenWithASourceIsTriedAgainOnce) {
  struct {
    const char* pName;
    const char* pPassword;
    const char* pToken;
    bool bSource;
    std::vector<std::string> arrFresh;  // what the source hands out
    const char* pRetriedBearer;         // the token of the second AUTH; null: no second AUTH
    int nFreshAsked;
  } const cases[] = {
      {"password (LOGIN)", "p", "", true, {"new"}, nullptr, 0},
      {"given token, no source", "", "tok", false, {}, nullptr, 0},
      {"source without a token", "", "tok", true, {}, nullptr, 1},
      {"fresh token", "", "tok", true, {"new", "newer"}, "new", 1},
  };
  for (const auto& c : cases) {
    CListedTokens source(c.arrFresh);
    auto mechanism = ChooseSASLMechanism(nullptr, "me@example.com", c.pPassword, c.pToken, c.bSource ? &source : nullptr);
    std::string response;
    if (*c.pToken != '\0') {
      EXPECT_TRUE(mechanism->Answer("eyJzdGF0dXMiOiI0MDEifQ==", response)) << c.pName;
    }
    EXPECT_EQ(mechanism->RetryAfterRefusal(), c.pRetriedBearer != nullptr) << c.pName;
    if (c.pRetriedBearer != nullptr) {
      EXPECT_EQ(Base64DecodeText(mechanism->Command().substr(13)),
                std::string("user=me@example.com\x01" "auth=Bearer ") + c.pRetriedBearer + "\x01\x01")
          << c.pName;
      EXPECT_EQ(mechanism->LogText(), "AUTH XOAUTH2 ********") << c.pName;
      // The new exchange acknowledges the relay's error once more, as the first did.
      EXPECT_TRUE(mechanism->Answer("eyJzdGF0dXMiOiI0MDEifQ==", response)) << c.pName;
      EXPECT_FALSE(mechanism->Answer("eyJzdGF0dXMiOiI0MDEifQ==", response)) << c.pName;
    }
    // Never a second retry, whatever the source still holds.
    EXPECT_FALSE(mechanism->RetryAfterRefusal()) << c.pName;
    EXPECT_EQ(source.m_nFresh, c.nFreshAsked) << c.pName;
    EXPECT_EQ(source.m_nHeld, 0) << c.pName;
  }
}

TEST(SMTPDialoguePartsTest, OnlyRegularFilesOpenAndFifosNeverBlock) {
  std::string fifo = "/tmp/varnel-fifo-" + std::to_string(::getpid());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::uint64_t size = 0;
  EXPECT_EQ(OpenRegularFile(fifo, size), nullptr);  // returns at once: no writer needed
  EXPECT_EQ(OpenRegularFile("/tmp", size), nullptr);
  ::unlink(fifo.c_str());
}

TEST(SMTPDialoguePartsTest, DefaultLogIsPrivateAndNeverFollowsALink) {
  std::string target = "/tmp/varnel-log-target-" + std::to_string(::getpid());
  std::string link = "/tmp/varnel-log-link-" + std::to_string(::getpid());
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(AppendToFile(link, "x\n"));
  struct stat status {};
  EXPECT_NE(::lstat(target.c_str(), &status), 0) << "the link's target was created";
  ::unlink(link.c_str());
  ASSERT_TRUE(AppendToFile(target, "x\n"));
  ASSERT_EQ(::stat(target.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ::unlink(target.c_str());
}
