// The header block and body as composed, line by line.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <regex>
#include <set>

#include "mime/ByteSink.h"
#include "MimeTestSupport.h"
#include "smtp/SMTPChannel.h"
#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"
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
    CMessageComposer composer(channel, sink);
    composer.SetMessageId("<id@example.com>");
    return composer.FormatHeader(kSendTime);
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
            "Mime-Version: 1.0\r\nFrom: Ops <ops@example.com>\r\nDate: Thu, 05 Mar 2009 14:07:31 +0000\r\n"
            "Message-ID: <id@example.com>\r\nTo: a@example.com, b@example.com\r\nSubject: Nightly\r\n"
            "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n\r\n");
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
            "Date: Thu, 05 Mar 2009 14:07:31 +0000\nMessage-ID: <id@example.com>\n"
            "To: a@example.com, b@example.com\nSubject: Nightly\n"
            "Content-Type: multipart/mixed;\n boundary=\"_=_FirstPart___6811EDB8_BBDC_11D5_8A11_0020AF49FB55\"\n\n"
            "--_=_FirstPart___6811EDB8_BBDC_11D5_8A11_0020AF49FB55\n"
            "Content-Type: text/plain; charset=\"iso-8859-2\"\n\n");
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

TEST(MessageComposerTest, EmptySenderShowsTheDefaultInBothForms) {
  // RFC 5322 section 3.6.2: From needs a mailbox, in a multipart message as well.
  CComposition c;
  c.channel.m_strFrom = "";
  EXPECT_NE(c.Header().find("From: sqlserver@localhost\r\n"), std::string::npos);
  c.channel.m_strAttachments = "x";
  EXPECT_NE(c.Header().find("From: sqlserver@localhost\r\n"), std::string::npos);
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

  // A long line after a line break is folded as well, and the block keeps its one end.
  std::string words;
  for (int i = 0; i < 400; ++i) words += "ab ";
  c.channel.SetSubject("first\n" + words + "end");
  c.channel.m_strRecipient = "a@example.com";
  header = c.Header();
  EXPECT_EQ(header.find("\r\n\r\n"), header.size() - 4);
  std::string unfolded;
  for (const std::string& line : test::SplitCrLf(header)) {
    EXPECT_LE(line.size(), 998u);
    if (!line.empty() && line[0] == ' ' && !unfolded.empty()) {
      unfolded += line;
    } else {
      unfolded += (unfolded.empty() ? "" : "\n") + line;
    }
  }
  EXPECT_NE(unfolded.find("\nSubject: first " + words + "end\nContent-Type: text/plain;"), std::string::npos);
}

namespace {

// The body of a single-part message: everything after the header block.
std::string BodyOf(const std::string& message) { return message.substr(message.find("\r\n\r\n") + 4); }

bool EveryLineFitsSmtp(const std::string& text) {
  for (const std::string& line : test::SplitCrLf(text))
    if (line.size() > 998) return false;
  return true;
}

}  // namespace

TEST(MessageComposerTest, BodyLinesOverTheSmtpLimitGoOutQuotedPrintable) {
  const std::string fits = std::string(998, 'f');
  const std::string tooLong = std::string(999, 'g');
  {
    CComposition c;
    c.channel.SetBody("first\r\n" + fits + "\r\nlast");
    std::string message = c.Message();
    EXPECT_EQ(message.find("Content-Transfer-Encoding"), std::string::npos);
    EXPECT_EQ(BodyOf(message), "first\r\n" + fits + "\r\nlast");
  }
  {
    CComposition c;
    c.channel.SetBody("Caf\xE9 = open\r\n" + tooLong + "\nlast");
    std::string message = c.Message();
    EXPECT_NE(message.find("Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
                           "Content-Transfer-Encoding: quoted-printable\r\n\r\n"),
              std::string::npos);
    EXPECT_TRUE(EveryLineFitsSmtp(message));
    EXPECT_EQ(test::DecodeQuotedPrintable(BodyOf(message)), "Caf\xE9 = open\n" + tooLong + "\nlast");
  }
  {
    // Other line ends than CR LF were chosen on purpose: the body goes out as given.
    CComposition c;
    c.channel.m_strTerminator = "\n";
    c.channel.SetBody(tooLong);
    std::string message = c.Message();
    EXPECT_EQ(message.find("Content-Transfer-Encoding"), std::string::npos);
    EXPECT_EQ(message.substr(message.size() - tooLong.size()), tooLong);
  }
}

TEST(MessageComposerTest, LongResultRowsInAnHtmlBodyAreEncodedInTheMultipartBody) {
  CComposition c;
  CSMTPOLEDBQuery query("select", CPlatform{});
  query.m_bHTML = true;
  query.m_strTerminator = "\r\n";
  query.m_arrResultsets.push_back(std::make_unique<CSMTPQueryResultset>(query.RowStore(), query.RenderSettings()));
  CSMTPQueryResultset& resultset = *query.m_arrResultsets.back();
  resultset.AddColumn("note", 10000);
  const std::string wide(4000, 'w');
  std::vector<std::string_view> row{wide};
  resultset.AddRow(row);
  c.channel.m_pQuery = &query;
  c.channel.m_bHTML = true;
  c.channel.m_strContentType = "text/html";
  c.channel.SetBody("Report:<<query>>");
  c.channel.m_strAttachments = "no-such-file-anywhere.bin";

  std::string message = c.Message();
  EXPECT_TRUE(EveryLineFitsSmtp(message));
  const std::string partHeader = "Content-Type: text/html; charset=\"iso-8859-1\"\r\n"
                                 "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
  std::size_t start = message.find(partHeader);
  ASSERT_NE(start, std::string::npos) << message.substr(0, 600);
  start += partHeader.size();
  std::size_t end = message.find("\r\n--" + c.channel.m_strBoundary, start);
  ASSERT_NE(end, std::string::npos);
  std::string html = "<HTML><BODY>Report:" + resultset.FormatHeader() + resultset.FormatRow(0) + "\r\n</BODY></HTML>";
  std::string normalised;
  for (std::size_t i = 0; i < html.size(); ++i) {
    if (html[i] == '\r' && i + 1 < html.size() && html[i + 1] == '\n') continue;
    normalised += html[i];
  }
  EXPECT_EQ(test::DecodeQuotedPrintable(message.substr(start, end - start)), normalised);
}

TEST(MessageComposerTest, LongLinesAreFoundWhateverTheLineEnds) {
  std::mt19937 random(998);
  const char* ends[] = {"\r\n", "\r", "\n", "\n\r"};
  for (int round = 0; round < 300; ++round) {
    std::string body;
    std::size_t longest = 0;
    for (int line = 0; line < 4; ++line) {
      std::size_t length = 990 + random() % 12;
      body += std::string(length, 'x');
      longest = std::max(longest, length);
      body += ends[random() % 4];
    }
    CComposition c;
    c.channel.SetBody(body);
    CStringSink sink;
    EXPECT_EQ(CMessageComposer(c.channel, sink).BodyNeedsEncoding(), longest > 998) << round;
  }
}

TEST(MessageComposerTest, LongLinesAreFoundInAnyRowOfAResultSet) {
  struct Case {
    bool html;
    std::string rowSeparator;
    std::size_t rows;
    std::size_t wideRow;  // rows means none
    bool expected;
    std::size_t accentRow = 1000;  // a row with an 8-bit byte (none when past the rows)
  } const cases[] = {
      {true, "\n", 50, 50, false},  {true, "\n", 50, 25, true},   {true, "\n", 50, 0, true},
      {true, "\n", 50, 49, true},   {false, "\n", 50, 50, false}, {false, "\r\n", 50, 25, true},
      // Rows that do not end lines add up to one long line.
      {false, "|", 50, 50, true},   {false, "|", 3, 3, false},
      // An 8-bit byte in any row must be declared.
      {true, "\n", 50, 50, true, 25}, {false, "\n", 50, 50, true, 48},
  };
  for (const Case& test : cases) {
    CComposition c;
    CSMTPOLEDBQuery query("select", CPlatform{});
    query.m_bHTML = test.html;
    query.m_strTerminator = "\r\n";
    query.m_strRowSeparator = test.rowSeparator;
    query.m_arrResultsets.push_back(std::make_unique<CSMTPQueryResultset>(query.RowStore(), query.RenderSettings()));
    CSMTPQueryResultset& resultset = *query.m_arrResultsets.back();
    resultset.AddColumn("id", 50);
    resultset.AddColumn("note", 10000);
    for (std::size_t row = 0; row < test.rows; ++row) {
      std::string id = std::to_string(row);
      std::string note(row == test.wideRow ? 1000 : 20, 'n');
      if (row == test.accentRow) note = "caf\xE9";
      std::vector<std::string_view> values{id, note};
      resultset.AddRow(values);
    }
    c.channel.m_pQuery = &query;
    c.channel.m_bHTML = test.html;
    c.channel.SetBody("<<query>>");
    CStringSink sink;
    EXPECT_EQ(CMessageComposer(c.channel, sink).BodyNeedsEncoding(), test.expected)
        << test.html << " " << test.rowSeparator.size() << " " << test.wideRow;
  }
}

TEST(MessageComposerTest, DatesInRfc5322Form) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 +0000"},
      {kSendTime, "Thu, 05 Mar 2009 14:07:31 +0000"},
      {1796697193, "Tue, 08 Dec 2026 02:33:13 +0000"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 +0000"},
  };
  for (const auto& [time, text] : cases) EXPECT_EQ(FormatMailDate(time), text) << time;
}

TEST(MessageComposerTest, MessageIdsAreUniqueAndNameTheSendersDomain) {
  struct Case {
    const char* address;
    const char* helo;
    const char* domain;
  } const cases[] = {
      {"ops@example.com", "relay-client", "example.com"},
      {"ops@[192.0.2.1]", "x", "[192.0.2.1]"},
      {"no-domain", "host.example.net", "host.example.net"},
      {"bad@exa mple.com", "[127.0.0.1]", "[127.0.0.1]"},
      {"", "", "localhost"},
      {"a@.example.com", "bad..name", "localhost"},
  };
  for (const Case& c : cases) EXPECT_EQ(MessageIdDomain(c.address, c.helo), c.domain) << c.address;

  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = NewMessageId("example.com");
    EXPECT_TRUE(std::regex_match(id, std::regex("<[0-9a-f]{16}\\.[0-9a-f]{16}@example\\.com>"))) << id;
    EXPECT_TRUE(seen.insert(id).second) << id;
  }
  // Every composed message carries one, made from the sender's domain.
  CComposition c;
  c.channel.m_strFromAddress = "ops@example.org";
  CStringSink sink;
  CMessageComposer composer(c.channel, sink);
  std::string header = composer.FormatHeader(kSendTime);
  EXPECT_NE(header.find("\r\nMessage-ID: " + composer.MessageId() + "\r\n"), std::string::npos);
  EXPECT_NE(composer.MessageId().find("@example.org>"), std::string::npos);
}

TEST(MessageComposerTest, CopiesHeaderOnlyWithAddresses) {
  const std::pair<const char*, bool> cases[] = {
      {"", false}, {" , ", false}, {"c@example.com", true}, {" c@example.com ,", true}};
  for (const auto& [copies, present] : cases) {
    CComposition c;
    c.channel.m_strCC = copies;
    EXPECT_EQ(c.Header().find("\r\nCc:") != std::string::npos, present) << copies;
  }
}

TEST(MessageComposerTest, EightBitBodiesAreAlwaysDeclared) {
  struct Case {
    std::string body;
    bool relay8Bit;
    std::string terminator;
    const char* encoding;  // empty: no Content-Transfer-Encoding field
  } const cases[] = {
      {"plain ASCII", false, "\r\n", ""},
      {"plain ASCII", true, "\r\n", ""},
      {"Caf\xE9", false, "\r\n", "quoted-printable"},
      {"Caf\xE9", true, "\r\n", "8bit"},
      {"Caf\xE9", false, "\n", "quoted-printable"},
      {"Caf\xE9", true, "\n", "8bit"},
      {std::string("nul\0byte", 8), true, "\r\n", "quoted-printable"},
      {"Caf\xE9 " + std::string(1000, 'x'), true, "\r\n", "quoted-printable"},
  };
  for (const Case& test : cases) {
    CComposition c;
    c.channel.m_bRelay8BitMime = test.relay8Bit;
    c.channel.m_strTerminator = test.terminator;
    c.channel.SetBody(test.body);
    std::string message = c.Message();
    std::string field = std::string("Content-Transfer-Encoding: ") + test.encoding + test.terminator;
    if (*test.encoding == '\0') {
      EXPECT_EQ(message.find("Content-Transfer-Encoding"), std::string::npos) << test.body.substr(0, 12);
    } else {
      EXPECT_NE(message.find(field), std::string::npos) << test.body.substr(0, 12);
    }
    if (std::string(test.encoding) == "quoted-printable") {
      for (char byte : BodyOf(message)) EXPECT_LT(static_cast<unsigned char>(byte), 0x80u);
    }
  }
}

TEST(MessageComposerTest, MultipartWithAnEightBitBodyIsLabelledEightBit) {
  CComposition c;
  c.channel.m_bRelay8BitMime = true;
  c.channel.SetBody("Caf\xE9");
  c.channel.m_strAttachments = "no-such-file-anywhere.bin";
  std::string message = c.Message();
  EXPECT_NE(message.find("Content-Type: multipart/mixed;\r\n boundary=\"" + c.channel.m_strBoundary +
                         "\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n--"),
            std::string::npos);
  EXPECT_NE(message.find("Content-Type: text/plain; charset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                         "Caf\xE9"),
            std::string::npos);
}

TEST(MessageComposerTest, Utf8MessagesEncodeHeadersInUtf8) {
  CComposition c;
  c.channel.m_nCharset = 65001;
  c.channel.m_strFrom = "J\xC3\xB6rg <j@example.com>";
  c.channel.SetSubject("\xE2\x9C\x93 done");
  std::string header = c.Header();
  EXPECT_NE(header.find("From: =?utf-8?Q?J=C3=B6rg?= <j@example.com>\r\n"), std::string::npos);
  EXPECT_NE(header.find("Subject: =?utf-8?Q?=E2=9C=93?= done\r\n"), std::string::npos);
  EXPECT_NE(header.find("Content-Type: text/plain; charset=\"utf-8\"\r\n"), std::string::npos);
}
