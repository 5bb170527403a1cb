// The header block and body as composed, line by line.
#include <gtest/gtest.h>

#include "mime/ByteSink.h"
#include "procedure/SMTPChannel.h"
#include "smtp/MessageComposer.h"
#include "tests/unit/TestRelay.h"

using namespace varnel;

namespace {

class CStringSink final : public IByteSink {
 public:
  std::string m_strText;
  using IByteSink::Write;
  void Write(const char* data, std::size_t size) override { m_strText.append(data, size); }
};

constexpr std::int64_t kSendTime = 1236262051;  // 05 Mar 2009 14:07:31 UTC

struct CComposition {
  test::CTestPlatform platform;
  CSMTPChannel channel{platform.Get()};
  CComposition() {
    channel.m_strFrom = "Ops <ops@example.com>";
    channel.m_strRecipient = "a@example.com, b@example.com";
    channel.SetSubject("Nightly");
  }
  std::string Header() {
    CStringSink sink;
    return CMessageComposer(channel, sink).FormatHeader(kSendTime);
  }
  std::string Message() {
    CStringSink sink;
    CMessageComposer(channel, sink).Compose();
    return sink.m_strText;
  }
};

}  // namespace

TEST(MessageComposerTest, SinglePartHeader) {
  CComposition c;
  EXPECT_EQ(c.Header(),
            "Mime-Version: 1.0\r\nFrom: Ops <ops@example.com>\r\nDate: 05 Mar 2009 14:07:31 GMT\r\n"
            "To: a@example.com, b@example.com\r\nCc: \r\nSubject: Nightly\r\n"
            "Content-Type: text/plain;\tcharset=\"iso-8859-1\"\r\n\r\n");
}

TEST(MessageComposerTest, MultipartHeaderWithImportanceBeforePriority) {
  CComposition c;
  c.channel.m_strAttachments = "a.txt";
  c.channel.m_nPriority = 3;
  c.channel.m_nImportance = 1;
  c.channel.m_nCharset = 2;
  c.channel.m_strTerminator = "\n";
  EXPECT_EQ(c.Header(),
            "Mime-Version: 1.0\nImportance: High\nX-Priority: 3\nFrom: Ops <ops@example.com>\n"
            "Date: 05 Mar 2009 14:07:31 GMT\nTo: a@example.com, b@example.com\nCc: \nSubject: Nightly\n"
            "Content-Type: multipart/mixed;\n\tboundary=\"_=_FirstPart___6811EDB8_BBDC_11D5_8A11_0020AF49FB55\"\n\n"
            "--_=_FirstPart___6811EDB8_BBDC_11D5_8A11_0020AF49FB55\n"
            "Content-Type: text/plain;\n\tcharset=\"iso-8859-2\"\n\n");
}

TEST(MessageComposerTest, PriorityAndImportanceValues) {
  struct {
    int nPriority, nImportance;
    const char* pExpected;
  } const cases[] = {{0, 0, ""}, {2, 2, ""}, {1, 3, "Importance: Low\r\nX-Priority: 1\r\n"}, {5, 7, ""}};
  for (const auto& test : cases) {
    CComposition c;
    c.channel.m_nPriority = test.nPriority;
    c.channel.m_nImportance = test.nImportance;
    std::string header = c.Header();
    std::size_t from = header.find("From: ");
    EXPECT_EQ(header.substr(19, from - 19), test.pExpected);
  }
}

TEST(MessageComposerTest, HeaderValuesWithLineBreaksAreFolded) {
  CComposition c;
  c.channel.SetSubject("Line one\r\nBcc: victim@example.com\n\nlast\r\n");
  c.channel.m_strCC = "c@example.com\nX-Injected: yes";
  std::string header = c.Header();
  EXPECT_NE(header.find("Subject: Line one\r\n Bcc: victim@example.com\r\n last\r\nContent-Type"), std::string::npos);
  EXPECT_NE(header.find("Cc: c@example.com\r\n X-Injected: yes\r\n"), std::string::npos);
  EXPECT_EQ(header.find("\r\nBcc:"), std::string::npos);
  EXPECT_EQ(header.find("\r\nX-Injected"), std::string::npos);
}

TEST(MessageComposerTest, HtmlWrapperWithAndWithoutStyleSheet) {
  CComposition c;
  c.channel.SetBody("<html><p>hi</p></html>");
  std::string message = c.Message();
  EXPECT_NE(message.find("\r\n\r\n<HTML><BODY><html><p>hi</p></html></BODY></HTML>"), std::string::npos);
  EXPECT_NE(message.find("Content-Type: text/html;"), std::string::npos);
  c.channel.m_strStyleSheet = "p {color: red}";
  message = c.Message();
  EXPECT_NE(message.find("<HTML><HEAD><STYLE TYPE=\"text/css\"><!--p {color: red}--></STYLE></HEAD><BODY>"),
            std::string::npos);
}

TEST(MessageComposerTest, EmptySenderShowsTheDefaultOnlyInSinglePart) {
  CComposition c;
  c.channel.m_strFrom = "";
  EXPECT_NE(c.Header().find("From: sqlserver@localhost.com\r\n"), std::string::npos);
  c.channel.m_strAttachments = "x";
  EXPECT_NE(c.Header().find("From: \r\n"), std::string::npos);
}

TEST(MessageComposerTest, LongHeaderValuesAreFoldedToLegalLines) {
  CComposition c;
  std::string subject = std::string(900, 'S') + " " + std::string(300, 'T');
  c.channel.SetSubject(subject);
  std::string recipients;
  for (int i = 0; i < 80; ++i) recipients += (i ? "," : "") + std::string("user") + std::to_string(100 + i) + "@example.com";
  c.channel.m_strRecipient = recipients;
  std::string header = c.Header();
  std::size_t position = 0;
  while (position < header.size()) {
    std::size_t end = header.find("\r\n", position);
    EXPECT_LE(end - position, 998u);
    position = end + 2;
  }
  // Unfolding (removing each CR LF before a blank) gives the subject back exactly.
  EXPECT_NE(header.find("Subject: " + std::string(900, 'S') + "\r\n " + std::string(300, 'T') + "\r\n"),
            std::string::npos);
  EXPECT_NE(header.find("@example.com,\r\n user"), std::string::npos);
}
