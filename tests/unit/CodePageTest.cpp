#include <gtest/gtest.h>

#include "platform/CodePage.h"
#include "platform/Unicode.h"

using varnel::CCodePage;

// Every byte a code page assigns converts to its character and back to the same byte;
// an unassigned byte reads as U+FFFD.
TEST(CodePageTest, EveryTableRoundTrips) {
  for (std::size_t t = 0; t < varnel::kCodePageTableCount; ++t) {
    int number = varnel::kCodePageTables[t].nCodePage;
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
  for (int number : {437, 850, 874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 28591, 28605, 65001}) {
    EXPECT_TRUE(CCodePage::Find(number).has_value()) << number;
  }
  for (int number : {0, -1, 1200, 932, 99999}) EXPECT_FALSE(CCodePage::Find(number).has_value()) << number;
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
