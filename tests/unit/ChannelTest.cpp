#include <gtest/gtest.h>

#include "smtp/SMTPChannel.h"
#include "smtp/AddressList.h"
#include "tests/unit/TestRelay.h"

using namespace varnel;

TEST(ChannelTest, StatusTextsAreTheFixedTexts) {
  const std::pair<int, const char*> cases[] = {{0, "Success"},
                                               {1, "Socket inialisation error"},
                                               {2, "Error returned from Socket Control Create"},
                                               {3, "Unable to Connect to SMTP Server"},
                                               {4, "Error creating complete event"},
                                               {5, "Destination address or recipient cannot be null"},
                                               {6, "Destination returned error : See log"},
                                               {7, "Error accessing the registry"},
                                               {8, "Timeout exceeded"},
                                               {9, "Unknown return value from message loop"},
                                               {10, "Exception caught"},
                                               {11, "Servername buffer exceeded"},
                                               {12, "Username buffer exceeded"},
                                               {13, "Password buffer exceeded"},
                                               {14, "Error while logging on"},
                                               {15, "TLS could not be established"},
                                               {16, "OAuth token could not be obtained"},
                                               {17, "Attachment not allowed"},
                                               {18, "Unknown: the relay may have accepted the message"},
                                               {19, "Sent to some recipients only"},
                                               {20, "Unknown error"},
                                               {-1, "Unknown error"}};
  for (const auto& [code, text] : cases) EXPECT_STREQ(CSMTPChannel::GetStatusText(code), text) << code;
}

TEST(ChannelTest, BodyDetectionAndCodePages) {
  varnel::test::CTestPlatform platform;
  CSMTPChannel channel(platform.Get());
  EXPECT_EQ(channel.m_strContentType, "text/plain");
  channel.SetBody("<html><body>only opening</body>");
  EXPECT_FALSE(channel.m_bHTML);
  channel.SetBody("<html><body>x</body></html>");
  EXPECT_TRUE(channel.m_bHTML);
  EXPECT_EQ(channel.m_strContentType, "text/html");
  EXPECT_EQ(channel.m_strBody, "<html><body>x</body></html>");
  channel.SetBody("plain again");  // detection never switches back
  EXPECT_TRUE(channel.m_bHTML);

  // Text is stored as given: transparency is applied on the wire.
  channel.SetBody("line\n.");
  EXPECT_EQ(channel.m_strBody, "line\n.");

  const std::pair<unsigned, int> pages[] = {{1250, 2}, {1251, 5}, {1252, 1}, {1253, 7}, {1254, 9},
                                            {1255, 8}, {1256, 6}, {1257, 13}, {0, 1},   {65001, 65001}};
  for (const auto& [page, charset] : pages) {
    channel.SetCharsetFromCodePage(page);
    EXPECT_EQ(channel.m_nCharset, charset) << page;
  }
}

TEST(ChannelTest, SMTPErrorMessageDropsTheCode) {
  varnel::test::CTestPlatform platform;
  CSMTPChannel channel(platform.Get());
  channel.m_strSMTPReply = "550 No such user\r\n";
  EXPECT_EQ(channel.GetSMTPErrorMessage(), "No such user\r\n");
  channel.m_strSMTPReply = "550 x";
  EXPECT_EQ(channel.GetSMTPErrorMessage(), "");
  channel.m_strSMTPReply = "550-first\r\n550 second";
  EXPECT_EQ(channel.GetSMTPErrorMessage(), "first\r\n550 second");
}

TEST(AddressListTest, ListsBecomeEnvelopeAddresses) {
  struct {
    const char* pList;
    std::vector<std::string> arrExpected;
    const char* pAfter;
  } const cases[] = {
      {"a@x.com;b@x.com", {"a@x.com", "b@x.com"}, "a@x.com,b@x.com"},
      {"a@x.com,,b@x.com,", {"a@x.com", "b@x.com"}, "a@x.com,,b@x.com,"},
      {"a@x.com, ,b@x.com", {"a@x.com", "", "b@x.com"}, "a@x.com, ,b@x.com"},
      {" \r\n a@x.com \t", {"a@x.com"}, " \r\n a@x.com \t"},
      {"Jane Doe <jane@x.com>", {"jane@x.com"}, "Jane Doe <jane@x.com>"},
      {"", {}, ""},
      {",;", {}, ",,"},
  };
  for (const auto& c : cases) {
    std::string list = c.pList;
    std::vector<std::string> target;
    std::string refusal;
    EXPECT_TRUE(ParseAddressList(list, target, refusal)) << refusal;
    EXPECT_EQ(target, c.arrExpected) << c.pList;
    EXPECT_EQ(list, c.pAfter);
  }
}

TEST(AddressListTest, SenderIsTrimmedAndDefaultsToTheHostDomain) {
  std::string from = "  Ops <ops@x.com>  ";
  std::string fault;
  EXPECT_EQ(ExtractEmailAddress(from, fault), "ops@x.com");
  EXPECT_EQ(fault, "");
  EXPECT_EQ(from, "Ops <ops@x.com>");
  varnel::test::CTestPlatform platform;
  CSMTPChannel channel(platform.Get());
  EXPECT_EQ(channel.GetEffectiveFrom(), "sqlserver@localhost");
  channel.m_strFrom = "me@x.com";
  EXPECT_EQ(channel.GetEffectiveFrom(), "me@x.com");
}
