// Header fields as written: RFC 2047 words, folding, RFC 2231 parameters, charset names.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "MimeTestSupport.h"
#include "mime/HeaderFieldWriter.h"
#include "mime/MessageCharset.h"

using namespace varnel;

namespace {

constexpr std::int32_t kLatin1 = 1;
constexpr std::int32_t kUtf8 = kUtf8Charset;

// A folded field joined again (RFC 5322 section 2.2.3: a CR LF before white space goes).
std::string Unfold(const std::string& field) {
  std::string result;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field.compare(i, 2, "\r\n") == 0 && i + 2 < field.size() && (field[i + 2] == ' ' || field[i + 2] == '\t')) {
      ++i;
      continue;
    }
    result += field[i];
  }
  return result;
}

void ExpectLegalLines(const std::string& field, std::size_t limit, const std::string& context) {
  std::vector<std::string> lines = test::SplitCrLf(field);
  ASSERT_FALSE(lines.empty());
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const std::string& line = lines[n];
    if (n + 1 == lines.size()) {
      EXPECT_TRUE(line.empty()) << context;  // the field ends with its CR LF
      continue;
    }
    // A line holding an encoded word stays within 76 (RFC 2047 section 2).
    std::size_t lineLimit = line.find("=?") != std::string::npos ? std::min(limit, std::size_t{76}) : limit;
    EXPECT_LE(line.size(), lineLimit) << context << " line " << n;
    if (n > 0) {
      ASSERT_FALSE(line.empty()) << context;
      EXPECT_TRUE(line[0] == ' ' || line[0] == '\t') << context << " line " << n;
      EXPECT_NE(line.find_first_not_of(" \t"), std::string::npos) << context << " white space only";
    }
  }
}

}  // namespace

TEST(HeaderFieldWriterTest, CharsetNames) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {1, "iso-8859-1"}, {2, "iso-8859-2"}, {11, "iso-8859-11"}, {13, "iso-8859-13"}, {16, "iso-8859-16"},
      {65001, "utf-8"},  {12, "iso-8859-1"}, {0, "iso-8859-1"},   {99, "iso-8859-1"},  {-1, "iso-8859-1"},
      {1250, "windows-1250"}, {1258, "windows-1258"}, {874, "windows-874"}, {936, "GBK"}, {932, "Shift_JIS"}};
  for (const auto& [charset, name] : cases) EXPECT_EQ(CharsetName(charset), name) << charset;
  for (std::int32_t charset : {1, 5, 11, 13, 16, 65001}) EXPECT_TRUE(IsMessageCharset(charset)) << charset;
  for (std::int32_t charset : {0, 12, 17, 99, 1252, 65000, -1}) EXPECT_FALSE(IsMessageCharset(charset)) << charset;
}

// Without @codepage the label fits the bytes the text holds: the paired ISO-8859 part
// while each of them means the same character there, else the code page's own name.
TEST(HeaderFieldWriterTest, ChosenCharsetFitsTheBytes) {
  struct Case {
    int nCodePage;
    std::string text;
    std::int32_t nCharset;
  } const cases[] = {
      {1252, "plain", 1},
      {1252, "Gr\xF6\xDF" "e", 1},
      {1252, "\x80 5", 1252},                // euro sign: a C1 control in ISO-8859-1
      {1250, "\xA3\xF3" "dka", 2},            // Lodka: the same bytes in ISO-8859-2
      {1250, "ja\x9F\xF1", 1250},             // z acute is 0x9F only in 1250
      {1251, "\xCE\xF2\xF7\xB8\xF2", 1251},  // Cyrillic lies elsewhere in ISO-8859-5
      {1257, "\xC0\xFE", 13},
      {874, "\xC3\xD2", 11},                 // Thai letters: ISO-8859-11
      {874, "\xC3\x93", 874},                // and a typographic quote
      {1258, "\xE1", 1},
      {1258, "\xD2", 1258},                   // a combining tone mark
      {936, "\xD6\xD0", 936},
      {65001, "\xC3\xB6", 65001},
  };
  for (const Case& c : cases) {
    CByteSet present{};
    AddBytes(present, c.text);
    int textCodePage = c.nCodePage;
    EXPECT_EQ(ChooseCharset(textCodePage, PairedIsoParts(c.nCodePage), present), c.nCharset) << c.nCodePage << " " << c.text;
  }
  // Text of 932, 949 and 950 goes UTF-8: ISO-8859-1 only while it is ASCII.
  CByteSet ascii{};
  AddBytes(ascii, "ok");
  EXPECT_EQ(ChooseCharset(65001, PairedIsoParts(932), ascii), 1);
  CByteSet eight = ascii;
  AddBytes(eight, "\xE2\x91\xA0");
  EXPECT_EQ(ChooseCharset(65001, PairedIsoParts(932), eight), 65001);
}

TEST(HeaderFieldWriterTest, DoubleByteEncodedWordsKeepTheirPairs) {
  // 32 GBK characters whose second byte is "=" or "_"-like ASCII must stay with their
  // first byte in one encoded word.
  std::string text;
  for (int i = 0; i < 32; ++i) text += "\xD6\xD0";
  text += "\x81\x40";
  CHeaderFieldWriter writer(936, "\r\n");
  for (const std::string& word : writer.EncodedWords(text, 40)) {
    ASSERT_EQ(word.rfind("=?GBK?Q?", 0), 0u) << word;
    std::string body = word.substr(8, word.size() - 10);
    EXPECT_EQ(body.size() % 6, 0u) << word;  // whole pairs of "=XX" escapes
  }
}

TEST(HeaderFieldWriterTest, EncodedWordsNeverSplitACharacter) {
  struct Case {
    std::int32_t nCharset;
    std::string text;
    std::size_t nMax;
    std::vector<std::string> expected;
  } const cases[] = {
      {kLatin1, "Caf\xE9", 75, {"=?iso-8859-1?Q?Caf=E9?="}},
      {kUtf8, "Gr\xC3\xBC\xC3\x9F" "e an alle", 75, {"=?utf-8?Q?Gr=C3=BC=C3=9Fe_an_alle?="}},
      // "=", "?", "_" and specials of a phrase are escaped; "!*+-/" stand for themselves.
      {kUtf8, "a=b?c_d\"e,f!*+-/", 75, {"=?utf-8?Q?a=3Db=3Fc=5Fd=22e=2Cf!*+-/?="}},
      // Room for two euro signs (nine characters each) per word of at most 30.
      {kUtf8, "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 30, {"=?utf-8?Q?=E2=82=AC=E2=82=AC?=", "=?utf-8?Q?=E2=82=AC?="}},
      {kLatin1, "\xE9\xE9\xE9", 24, {"=?iso-8859-1?Q?=E9=E9?=", "=?iso-8859-1?Q?=E9?="}},
      {kUtf8, "", 75, {"=?utf-8?Q?" "?="}},
  };
  for (const Case& c : cases) {
    CHeaderFieldWriter writer(c.nCharset, "\r\n");
    EXPECT_EQ(writer.EncodedWords(c.text, c.nMax), c.expected) << c.text;
  }
}

TEST(HeaderFieldWriterTest, UnstructuredFields) {
  struct Case {
    std::int32_t nCharset;
    std::string value;
    std::string expected;
  } const cases[] = {
      {kLatin1, "Nightly load", "Subject: Nightly load\r\n"},
      {kLatin1, "", "Subject: \r\n"},
      {kLatin1, "  padded  ", "Subject: padded\r\n"},
      {kLatin1, "Caf\xE9 au lait", "Subject: =?iso-8859-1?Q?Caf=E9?= au lait\r\n"},
      {kUtf8, "Prix: 5 \xE2\x82\xAC net", "Subject: Prix: 5 =?utf-8?Q?=E2=82=AC?= net\r\n"},
      // Neighbouring words outside ASCII are one run: the blank between them is kept.
      {kUtf8, "Gr\xC3\xBC\xC3\x9F" "e M\xC3\xBCller", "Subject: =?utf-8?Q?Gr=C3=BC=C3=9Fe_M=C3=BCller?=\r\n"},
      // Text that a reader would decode is encoded so that it reads as given.
      {kUtf8, "looks =?like?= encoded", "Subject: looks =?utf-8?Q?=3D=3Flike=3F=3D?= encoded\r\n"},
      // A line break folds; it can never start a field of its own.
      {kLatin1, "a\r\nBcc: x@example.com\n\nend\r\n", "Subject: a\r\n Bcc: x@example.com\r\n end\r\n"},
      {kLatin1, "tab\there", "Subject: tab\there\r\n"},
      {kLatin1, std::string("nul\0byte", 8), "Subject: =?iso-8859-1?Q?nul=00byte?=\r\n"},
  };
  for (const Case& c : cases) {
    CHeaderFieldWriter writer(c.nCharset, "\r\n");
    EXPECT_EQ(writer.Unstructured("Subject", c.value), c.expected) << c.value;
  }
}

TEST(HeaderFieldWriterTest, FoldingKeepsLinesShortAndUnfoldsToTheText) {
  std::mt19937 random(2047);
  const char* words[] = {"report", "a", "Nightly", "x", "load-complete", "\xC3\xA9t\xC3\xA9", "status:", "42"};
  for (int round = 0; round < 200; ++round) {
    std::string value;
    std::size_t count = 1 + random() % 60;
    bool ascii = true;
    for (std::size_t w = 0; w < count; ++w) {
      const char* word = words[random() % std::size(words)];
      if (static_cast<unsigned char>(word[0]) >= 0x80) ascii = false;
      if (w) value += ' ';
      value += word;
    }
    CHeaderFieldWriter writer(kUtf8, "\r\n");
    std::string field = writer.Unstructured("Subject", value);
    ExpectLegalLines(field, CHeaderFieldWriter::kFoldColumn, value);
    if (ascii) {
      EXPECT_EQ(Unfold(field), "Subject: " + value + "\r\n") << value;
    }
  }
}

TEST(HeaderFieldWriterTest, NoLineOver998WhateverTheValue) {
  struct Case {
    std::string value;
    std::size_t limit;
  } const cases[] = {
      // A word too long for any line becomes encoded words, which fold anywhere.
      {std::string(3000, 'w'), CHeaderFieldWriter::kFoldColumn},
      // A long word that fits a line of its own stays as it is.
      {"short " + std::string(900, 'w') + " tail", CHeaderFieldWriter::kMaxLine},
      {std::string(2000, ' ') + "x" + std::string(2000, '\t') + "y", CHeaderFieldWriter::kFoldColumn},
      {std::string(1500, '\xE9'), CHeaderFieldWriter::kFoldColumn},
  };
  for (const Case& c : cases) {
    CHeaderFieldWriter writer(kLatin1, "\r\n");
    ExpectLegalLines(writer.Unstructured("Subject", c.value), c.limit, c.value.substr(0, 20));
  }
}

TEST(HeaderFieldWriterTest, AddressListsEncodeNamesNeverAddresses) {
  struct Case {
    std::int32_t nCharset;
    std::string value;
    std::string expected;
  } const cases[] = {
      {kLatin1, "Ops <ops@example.com>", "From: Ops <ops@example.com>\r\n"},
      {kLatin1, "a@example.com, b@example.com", "From: a@example.com, b@example.com\r\n"},
      {kLatin1, "a@example.com,,b@example.com,", "From: a@example.com,b@example.com\r\n"},
      {kLatin1, "\"Smith, J\" <j@example.com>", "From: \"Smith, J\" <j@example.com>\r\n"},
      {kUtf8, "\"M\xC3\xBCller, Hans\" <h@example.de>, b@example.com",
       "From: =?utf-8?Q?M=C3=BCller=2C_Hans?= <h@example.de>, b@example.com\r\n"},
      {kLatin1, "J\xF6rg <j\xF6rg@example.de>", "From: =?iso-8859-1?Q?J=F6rg?= <j\xF6rg@example.de>\r\n"},
      {kLatin1, "c@example.com\nX-Injected: yes", "From: c@example.com\r\n X-Injected: yes\r\n"},
      {kLatin1, "J\xF6rg\r\nX-Injected: yes <j@example.de>", "From: =?iso-8859-1?Q?J=F6rg_X-Injected=3A_yes?= <j@example.de>\r\n"},
      {kLatin1, "", "From: \r\n"},
  };
  for (const Case& c : cases) {
    CHeaderFieldWriter writer(c.nCharset, "\r\n");
    EXPECT_EQ(writer.AddressList("From", c.value), c.expected) << c.value;
  }

  // Eighty addresses fold after their commas, every line within 78 characters.
  std::string list;
  for (int i = 0; i < 80; ++i) {
    if (i) list += ',';
    list += "user" + std::to_string(100 + i) + "@example.com";
  }
  std::string field = CHeaderFieldWriter(kLatin1, "\r\n").AddressList("To", list);
  ExpectLegalLines(field, CHeaderFieldWriter::kFoldColumn, "list");
  EXPECT_NE(field.find("@example.com,\r\n user"), std::string::npos);
}

// The address a header shows is the one delivery sends to: a "<" inside a comment starts
// none, whatever the comment holds.
TEST(HeaderFieldWriterTest, AnAngleBracketInACommentStartsNoAddress) {
  struct Case {
    std::string value;
    std::string expected;
  } const cases[] = {
      {"a@b.test (x\r\nRCPT TO:<e@x>)", "From: a@b.test (x\r\n RCPT TO:<e@x>)\r\n"},
      {"a@b.test (\xE9 <e@x>)", "From: a@b.test (\xE9 <e@x>)\r\n"},
      {"a@b.test (\\) <e@x>)", "From: a@b.test (\\) <e@x>)\r\n"},
      {"a@b.test (outer (inner) <e@x>)", "From: a@b.test (outer (inner) <e@x>)\r\n"},
      {"\xC9ric (boss) <a@b.test>", "From: =?iso-8859-1?Q?=C9ric_=28boss=29?= <a@b.test>\r\n"},
      {"\"x (y\" <a@b.test>", "From: \"x (y\" <a@b.test>\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CHeaderFieldWriter(kLatin1, "\r\n").AddressList("From", c.value), c.expected) << c.value;
  }
}

TEST(HeaderFieldWriterTest, ParametersQuotedOrInRfc2231Pieces) {
  struct Case {
    std::int32_t nCharset;
    std::string name;
    std::string expected;
  } const cases[] = {
      {kLatin1, "report.txt", "Content-Type: text/plain; charset=\"iso-8859-1\"; name=\"report.txt\"\r\n"},
      {kLatin1, "a \"b\" \\c.txt",
       "Content-Type: text/plain; charset=\"iso-8859-1\"; name=\"a \\\"b\\\" \\\\c.txt\"\r\n"},
      {kUtf8, "Bericht M\xC3\xA4rz.txt",
       "Content-Type: text/plain; charset=\"utf-8\";\r\n name*=utf-8''Bericht%20M%C3%A4rz.txt\r\n"},
      {kLatin1, "line\r\nbreak.txt",
       "Content-Type: text/plain; charset=\"iso-8859-1\"; name=\"line__break.txt\"\r\n"},
      {kLatin1, std::string(70, 'n') + ".txt",
       "Content-Type: text/plain; charset=\"iso-8859-1\";\r\n name*0=\"" + std::string(60, 'n') +
           "\";\r\n name*1=\"" + std::string(10, 'n') + ".txt\"\r\n"},
      // What looks like an encoded word goes in the extended form, which no reader decodes
      // again.
      {kLatin1, "=?utf-8?Q?x?=.txt",
       "Content-Type: text/plain; charset=\"iso-8859-1\";\r\n name*=iso-8859-1''%3D%3Futf-8%3FQ%3Fx%3F%3D.txt\r\n"},
      {kLatin1, "a =?b", "Content-Type: text/plain; charset=\"iso-8859-1\"; name*=iso-8859-1''a%20%3D%3Fb\r\n"},
      {kLatin1, "a=b ?c.txt", "Content-Type: text/plain; charset=\"iso-8859-1\"; name=\"a=b ?c.txt\"\r\n"},
      // Pieces of the extended form split between characters, never inside one.
      {kUtf8, std::string(30, 'x') + "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC",
       "Content-Type: text/plain; charset=\"utf-8\";\r\n name*0*=utf-8''" + std::string(30, 'x') +
           "%E2%82%AC%E2%82%AC;\r\n name*1*=%E2%82%AC\r\n"},
  };
  for (const Case& c : cases) {
    CHeaderFieldWriter writer(c.nCharset, "\r\n");
    EXPECT_EQ(writer.WithParameters("Content-Type", "text/plain", {{"charset", writer.Charset()}, {"name", c.name}}),
              c.expected)
        << c.name;
  }
}

TEST(HeaderFieldWriterTest, TheTerminatorEndsEveryLine) {
  CHeaderFieldWriter writer(kLatin1, "\n");
  std::string field = writer.WithParameters("Content-Type", "multipart/mixed", {{"boundary", std::string(60, 'b')}});
  EXPECT_EQ(field, "Content-Type: multipart/mixed;\n boundary=\"" + std::string(60, 'b') + "\"\n");
}
