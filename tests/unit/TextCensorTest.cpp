// Text from outside as it reaches the log and the outcome row: line by line, with C0, DEL
// and C1 censored by the line's encoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/TextCensor.h"

using namespace varnel;

TEST(TextCensorTest, LinesAreSplitAndControlCharactersCensoredByEncoding) {
  struct Case {
    const char* pName;
    std::string strText;
    std::vector<std::string> arrLines;
  } const cases[] = {
      {"plain", "250 ok", {"250 ok"}},
      {"empty", "", {""}},
      {"only line ends", "\r\n\r\n", {""}},
      {"CR LF, LF and lone CR end lines", "a\r\nb\nc\rd\r\n", {"a", "b", "c", "d"}},
      {"inner empty line stays", "a\n\nb", {"a", "", "b"}},
      {"tab kept, ESC BEL NUL DEL censored", std::string("x\t\x1b[31m\x07\0\x7fy", 11), {"x\t?[31m???y"}},
      // Single-byte text (not valid UTF-8): the C1 bytes themselves go, Latin-1 letters stay.
      {"C1 bytes in single-byte text", "caf\xe9 \x9b" "2J \x85 \xa0\xff", {"caf\xe9 ?2J ? \xa0\xff"}},
      // UTF-8 text: U+009B and U+0085 (C2 9B, C2 85) go; continuation bytes 0x80-0x9F of
      // other characters (U+0101 is C4 81, U+0440 is D1 80, U+20AC is E2 82 AC) stay.
      {"C1 characters in UTF-8", "\xc2\x9b" "2J \xc2\x85 \xc4\x81 \xd1\x80 \xe2\x82\xac", {"?2J ? \xc4\x81 \xd1\x80 \xe2\x82\xac"}},
      // An overlong form of U+009B is not UTF-8: the line is single-byte, its C1 bytes go.
      {"overlong form is single-byte", "\xe0\x82\x9b", {"\xe0??"}},
      {"a forged line stays behind the prefix", "250 ok\r\n05 Mar 2009 14:07:31 - forged", {"250 ok", "05 Mar 2009 14:07:31 - forged"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CensoredLines(c.strText), c.arrLines) << c.pName;
  }
  // One field: lines joined by the separator, or the line ends kept where they are.
  EXPECT_EQ(CensorText("invalid_client:\r\nbad\x1b[2J\x07", " "), "invalid_client: bad?[2J?");
  EXPECT_EQ(CensorKeepingLineEnds("first\x9b\r\n550 second\x7f\n"), "first?\r\n550 second?\n");
  EXPECT_TRUE(IsValidUtf8("\xef\xbf\xbd"));  // U+FFFD itself is a character
  EXPECT_FALSE(IsValidUtf8("\xed\xa0\x80"));  // a surrogate is not
}
