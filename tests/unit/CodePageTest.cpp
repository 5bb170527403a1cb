#include <gtest/gtest.h>

#include "platform/CodePage.h"
#include "platform/Unicode.h"

using varnel::CCodePage;

constexpr int kSingleByteCodePages[] = {437,   850,   874,   1250,  1251,  1252,  1253,  1254,  1255,  1256,
                                         1257,  1258,  28591, 28592, 28593, 28594, 28595, 28596, 28597, 28598,
                                         28599, 28600, 28601, 28603, 28604, 28605, 28606};

// Every byte a code page assigns converts to its character and back to the same byte;
// an unassigned byte reads as U+FFFD.
TEST(CodePageTest, EverySingleByteCodePageRoundTrips) {
  for (int number : kSingleByteCodePages) {
    std::optional<CCodePage> codePage = CCodePage::Find(number);
    ASSERT_TRUE(codePage.has_value()) << number;
    for (int byte = 1; byte < 256; ++byte) {
      std::string one(1, static_cast<char>(byte));
      std::u16string unicode = codePage->ToUtf16(one);
      ASSERT_EQ(unicode.size(), 1u);
      if (unicode[0] == 0xFFFD) continue;
      EXPECT_EQ(codePage->FromUtf16(unicode), one) << number << " byte " << byte;
      EXPECT_EQ(codePage->FromUtf8(codePage->ToUtf8(one)), one) << number << " byte " << byte;
    }
  }
}

TEST(CodePageTest, KnownAndUnknownCodePages) {
  for (int number : {437, 850, 874, 932, 936, 949, 950, 1250, 1258, 28591, 28605, 65001}) {
    EXPECT_TRUE(CCodePage::Find(number).has_value()) << number;
  }
  for (int number : {0, -1, 28602, 99999}) EXPECT_FALSE(CCodePage::Find(number).has_value()) << number;
}

// Double-byte code pages: characters of one and two bytes, the vendors' extensions
// included, and what the code page cannot hold.
TEST(CodePageTest, DoubleByteCodePages) {
  struct Case {
    int nCodePage;
    std::u16string text;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {932, u"\u8868\uFF5E\u2460", "\x95\x5C\x81\x60\x87\x40"},  // a trail byte of 0x5C; NEC's circled one
      {932, u"a\uFF71", "a\xB1"},                                // half-width katakana: one byte
      {936, u"\u4E2D\u6587\u20AC", "\xD6\xD0\xCE\xC4\x80"},
      {949, u"\uB620\uD55C", "\x8C\x63\xC7\xD1"},              // a Unified Hangul extension letter
      {950, u"\u7881\u20AC", "\xF9\xD6\xA3\xE1"},
  };
  for (const Case& c : cases) {
    CCodePage codePage = *CCodePage::Find(c.nCodePage);
    EXPECT_TRUE(codePage.IsDoubleByte()) << c.nCodePage;
    EXPECT_EQ(codePage.FromUtf16(c.text), c.bytes) << c.nCodePage;
    EXPECT_EQ(codePage.ToUtf16(c.bytes), c.text) << c.nCodePage;
    std::size_t characters = 0;
    for (std::size_t at = 0; at < c.bytes.size(); at += codePage.CharacterLength(c.bytes, at)) ++characters;
    EXPECT_EQ(characters, c.text.size()) << c.nCodePage;
  }
  CCodePage cp932 = *CCodePage::Find(932);
  EXPECT_EQ(cp932.FromUtf16(u"x\u0E01y"), "x?y");     // Thai is not in 932
  EXPECT_EQ(cp932.ToUtf16("ok\x95"), u"ok\uFFFD");   // a lead byte cut off at the end
  EXPECT_EQ(cp932.ConvertTo(*CCodePage::Find(65001), "\x95\x5C"), "\xE8\xA1\xA8");
  EXPECT_EQ(CCodePage::Find(1252)->ConvertTo(*CCodePage::Find(28592), "Gr\xF6\xDF" "e \x80"), "Gr\xF6\xDF" "e ?");
  EXPECT_FALSE(CCodePage::Find(1252)->IsDoubleByte());
}

TEST(CodePageTest, DecodingToUtf8) {
  CCodePage cp1252 = *CCodePage::Find(1252);
  EXPECT_EQ(cp1252.ToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(cp1252.ToUtf8("\x81"), "\xEF\xBF\xBD");  // unassigned in 1252
  CCodePage utf8 = *CCodePage::Find(65001);
  EXPECT_EQ(utf8.ToUtf8("ok\xC3"), "ok\xEF\xBF\xBD");
}

TEST(CodePageTest, Utf8Decoding) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const std::vector<Case> cases = {
      {"abc", u"abc"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},          // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xE2\x82", u"\uFFFD\uFFFD"},          // cut short
      {"\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(varnel::Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
  EXPECT_EQ(varnel::Utf16ToUtf8(u"\U0001F600x"), "\xF0\x9F\x98\x80x");
  EXPECT_EQ(varnel::Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}
