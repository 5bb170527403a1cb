#include <gtest/gtest.h>

#include <cctype>

#include "MimeTestSupport.h"
#include "mime/QuotedPrintableEncoder.h"

namespace varnel {
namespace {

using test::CMemorySink;

std::string Encode(std::string_view line) {
  CMemorySink sink;
  CQuotedPrintableEncoder encoder(sink);
  encoder.EncodeLine(line);
  encoder.Flush();
  return sink.m_strData;
}

std::string Repeat(char c, std::size_t count) { return std::string(count, c); }

TEST(MimeQuotedPrintableTest, ExactEncodings) {
  using namespace std::string_literals;
  struct Case {
    std::string input;
    std::string expected;
  } cases[] = {
      {"", "\r\n"},
      {"\r\n\r\r\n", "\r\n"},
      {"a = b.", "a=20=3D=20b=2E\r\n"},
      {"\t", "=09\r\n"},
      {"\xE9", "=E9\r\n"},
      {"\x7F", "=7F\r\n"},
      {"\x08\x01\x0C\x0B\x1F", "=08=01=0C=0B=1F\r\n"},
      {"\xFF\x80", "=FF=80\r\n"},
      {"a\0b"s, "a=00b\r\n"},  // a NUL byte is data, not the end of the line
      {"line\r\n", "line\r\n"},
      {"x.y\n", "x=2Ey\r\n"},
      {"!\"#$%&'()*+,-/09:;<>?@AZ[\\]^_`az{|}~", "!\"#$%&'()*+,-/09:;<>?@AZ[\\]^_`az{|}~\r\n"},
      // 76 characters fit on one line, 77 do not.
      {Repeat('x', 76), Repeat('x', 76) + "\r\n"},
      {Repeat('x', 77), Repeat('x', 75) + "=\r\n" + "xx\r\n"},
      // An escaped text of exactly 76 characters, ending in a triplet, stays one line.
      {Repeat('x', 73) + " ", Repeat('x', 73) + "=20\r\n"},
      // A triplet at position 74 or 73 moves whole to the next line; one at 72 fits.
      {Repeat('x', 74) + " " + Repeat('y', 10), Repeat('x', 74) + "=\r\n=20" + Repeat('y', 10) + "\r\n"},
      {Repeat('x', 73) + " " + Repeat('y', 10), Repeat('x', 73) + "=\r\n=20" + Repeat('y', 10) + "\r\n"},
      {Repeat('x', 72) + " " + Repeat('y', 10), Repeat('x', 72) + "=20=\r\n" + Repeat('y', 10) + "\r\n"},
      // Line ends inside the text are dropped before the text is cut.
      {Repeat('x', 40) + "\r\n" + Repeat('x', 36), Repeat('x', 76) + "\r\n"},
      // 150 characters: 75 + 75 without a last piece: the second piece is the rest.
      {Repeat('x', 150), Repeat('x', 75) + "=\r\n" + Repeat('x', 75) + "\r\n"},
      {Repeat('x', 151), Repeat('x', 75) + "=\r\n" + Repeat('x', 76) + "\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Encode(c.input), c.expected) << "input of " << c.input.size() << " bytes";
  }
}

TEST(MimeQuotedPrintableTest, EveryByteValueFallsInItsClass) {
  for (int value = 0; value < 256; ++value) {
    char c = static_cast<char>(value);
    std::string encoded = Encode(std::string_view(&c, 1));
    bool literal = (value >= 0x21 && value <= 0x2D) || (value >= 0x2F && value <= 0x3C) ||
                   (value >= 0x3E && value <= 0x7E);
    char triplet[8];
    std::snprintf(triplet, sizeof triplet, "=%02X\r\n", static_cast<unsigned>(value));
    if (value == '\r' || value == '\n') {
      EXPECT_EQ(encoded, "\r\n") << value;
    } else if (literal) {
      EXPECT_EQ(encoded, std::string(1, c) + "\r\n") << value;
    } else {
      EXPECT_EQ(encoded, triplet) << value;
    }
  }
}

// Properties of any output: lines of at most 76 characters, soft breaks never inside a
// triplet, no line ending in white space or starting with ".", and decoding gives the
// input without its CR and LF plus one line break.
TEST(MimeQuotedPrintableTest, RandomLinesKeepEveryRule) {
  std::mt19937 generator(11);
  for (int round = 0; round < 400; ++round) {
    std::size_t size = generator() % 600;
    std::string input = test::RandomBytes(size, static_cast<unsigned>(round));
    if (round % 2 == 0) {
      // Mostly text with some escapes: long literal runs between triplets.
      for (char& c : input) {
        unsigned pick = static_cast<unsigned char>(c);
        c = pick < 200 ? static_cast<char>('a' + pick % 26) : (pick < 230 ? ' ' : static_cast<char>(pick));
      }
    }
    std::string encoded = Encode(input);
    ASSERT_GE(encoded.size(), 2u);
    ASSERT_EQ(encoded.substr(encoded.size() - 2), "\r\n");
    std::vector<std::string> lines = test::SplitCrLf(encoded.substr(0, encoded.size() - 2));
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string& line = lines[i];
      EXPECT_LE(line.size(), 76u);
      bool soft = i + 1 < lines.size();
      if (!line.empty()) {
        EXPECT_NE(line.front(), '.');
        EXPECT_NE(line.back(), ' ');
        EXPECT_NE(line.back(), '\t');
      }
      // Every "=" starts a whole triplet, except the soft break at the end.
      for (std::size_t at = 0; at < line.size(); ++at) {
        if (line[at] != '=') continue;
        if (soft && at + 1 == line.size()) break;
        ASSERT_LT(at + 2, line.size()) << "triplet split in line " << i;
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(line[at + 1])) && std::isxdigit(static_cast<unsigned char>(line[at + 2])));
        at += 2;
      }
      if (soft) {
        EXPECT_EQ(line.back(), '=');
      }
    }
    std::string expected;
    for (char c : input) {
      if (c != '\r' && c != '\n') expected += c;
    }
    EXPECT_EQ(test::DecodeQuotedPrintable(encoded), expected + "\n") << "round " << round;
  }
}

TEST(MimeQuotedPrintableTest, OutputIsBufferedUntilFullOrFlushed) {
  CMemorySink sink;
  CQuotedPrintableEncoder encoder(sink);
  std::string line = "The quick brown fox jumps over the lazy dog.\n";
  encoder.EncodeLine(line);
  EXPECT_EQ(sink.m_nWrites, 0u);
  for (int i = 1; i < 10000; ++i) encoder.EncodeLine(line);
  encoder.Flush();
  std::string expected;
  for (int i = 0; i < 10000; ++i) expected += "The=20quick=20brown=20fox=20jumps=20over=20the=20lazy=20dog=2E\r\n";
  EXPECT_EQ(sink.m_strData, expected);
  EXPECT_LE(sink.m_nWrites, expected.size() / CQuotedPrintableEncoder::kBufferSize + 1);
  EXPECT_LE(sink.m_nLargestWrite, CQuotedPrintableEncoder::kBufferSize);
  encoder.Flush();  // nothing left: no empty write
  EXPECT_LE(sink.m_nWrites, expected.size() / CQuotedPrintableEncoder::kBufferSize + 1);
}

TEST(MimeQuotedPrintableTest, LongLineFlushesInTheMiddle) {
  // One line far larger than the buffer (a rendered row is not bounded).
  std::string input = test::RandomBytes(300000, 5);
  CMemorySink sink;
  CQuotedPrintableEncoder encoder(sink);
  encoder.EncodeLine(input);
  encoder.Flush();
  EXPECT_GT(sink.m_nWrites, 1u);
  std::string expected;
  for (char c : input) {
    if (c != '\r' && c != '\n') expected += c;
  }
  EXPECT_EQ(test::DecodeQuotedPrintable(sink.m_strData), expected + "\n");
}

}  // namespace
}  // namespace varnel
