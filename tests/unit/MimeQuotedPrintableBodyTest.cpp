// The quoted-printable body stream: exact encodings, and random bodies that must decode
// to the text as the DATA stream would have sent it, however the writes are cut.
#include <gtest/gtest.h>

#include <random>

#include "MimeTestSupport.h"
#include "mime/QuotedPrintableBodyStream.h"

namespace varnel {
namespace {

using test::CMemorySink;

std::string Encode(const std::vector<std::string>& writes) {
  CMemorySink sink;
  CQuotedPrintableBodyStream stream(sink);
  for (const std::string& piece : writes) stream.Write(piece);
  stream.Finish();
  return sink.m_strData;
}

std::string Encode(const std::string& body) { return Encode(std::vector<std::string>{body}); }

// Every line end as the decoder gives it: CR LF, bare CR and bare LF become LF.
std::string Normalised(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      result += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

TEST(MimeQuotedPrintableBodyTest, ExactEncodings) {
  using namespace std::string_literals;
  struct Case {
    std::string input;
    std::string expected;
  } cases[] = {
      {"", ""},
      {"a = b\r\n", "a =3D b\r\n"},
      // Line ends of every kind become CR LF; a last line without one ends in a soft break.
      {"a\rb\nc\r\nd", "a\r\nb\r\nc\r\nd=\r\n"},
      {"\r\r\n\n", "\r\n\r\n\r\n"},
      // Blanks stay readable inside a line and are escaped before a line end.
      {"one two \r\nx\ty\t\n", "one two=20\r\nx=09y=09\r\n"},
      {"end ", "end=20=\r\n"},
      {"\xE9t\xE9\x7F\x1B"s + "\0"s, "=E9t=E9=7F=1B=00=\r\n"},
      {".dot\r\n", ".dot\r\n"},
      // 75 characters and the "=" of a soft break make the longest line.
      {std::string(75, 'x') + "\r\n", std::string(75, 'x') + "\r\n"},
      {std::string(76, 'x') + "\r\n", std::string(75, 'x') + "=\r\nx\r\n"},
      // A triplet never splits across a soft break.
      {std::string(73, 'x') + "\xFF" + "y\r\n", std::string(73, 'x') + "=\r\n=FFy\r\n"},
  };
  for (const Case& test : cases) EXPECT_EQ(Encode(test.input), test.expected) << test.input;
}

TEST(MimeQuotedPrintableBodyTest, RandomBodiesDecodeToTheirTextWhateverTheWrites) {
  std::mt19937 random(20261207);
  const std::string alphabet = std::string("ab =.\t\r\n\xE9", 9);
  for (int round = 0; round < 200; ++round) {
    std::string body;
    std::size_t size = random() % 3000;
    for (std::size_t i = 0; i < size; ++i) {
      // Mostly letters, with long stretches between line ends.
      body += random() % 4 ? 'x' : alphabet[random() % alphabet.size()];
    }
    if (round % 3 == 0) body += std::string(5000, 'L');

    std::vector<std::string> writes;
    for (std::size_t at = 0; at < body.size();) {
      std::size_t piece = std::min<std::size_t>(body.size() - at, 1 + random() % 40);
      writes.push_back(body.substr(at, piece));
      at += piece;
    }
    std::string whole = Encode(body);
    ASSERT_EQ(Encode(writes), whole) << "the cut of the writes changed the output";

    std::optional<std::string> decoded = test::DecodeQuotedPrintable(whole);
    ASSERT_TRUE(decoded.has_value()) << whole;
    ASSERT_EQ(*decoded, Normalised(body));
    for (const std::string& line : test::SplitCrLf(whole)) {
      ASSERT_LE(line.size(), CQuotedPrintableBodyStream::kMaxLine);
      if (!line.empty()) {
        ASSERT_TRUE(line.back() != ' ' && line.back() != '\t') << line;
      }
    }
  }
}

TEST(MimeQuotedPrintableBodyTest, LargeBodiesGoOutInBufferedWrites) {
  CMemorySink sink;
  CQuotedPrintableBodyStream stream(sink);
  const std::string line = std::string(3000, 'r') + "\r\n";
  for (int i = 0; i < 1000; ++i) stream.Write(line);
  stream.Finish();
  EXPECT_LT(sink.m_nWrites, 60u);
  EXPECT_LE(sink.m_nLargestWrite, CQuotedPrintableBodyStream::kBufferSize + 128);
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected += std::string(3000, 'r') + "\n";
  EXPECT_EQ(test::DecodeQuotedPrintable(sink.m_strData), expected);
}

}  // namespace
}  // namespace varnel
