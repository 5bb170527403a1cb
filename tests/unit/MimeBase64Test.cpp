#include <gtest/gtest.h>

#include <cstdio>

#include "MimeTestSupport.h"
#include "mime/Base64Encoder.h"

namespace varnel {
namespace {

using test::CMemorySink;

// The whole input encoded in one piece, then cut into 76-character lines; the body ends
// with CR LF after a full last line or a padded group, else in mid-line.
std::string ReferenceEncoding(const std::string& data) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string plain;
  unsigned bits = 0;
  int held = 0;
  for (unsigned char c : data) {
    bits = (bits << 8) | c;
    held += 8;
    while (held >= 6) {
      held -= 6;
      plain += alphabet[(bits >> held) & 0x3F];
    }
  }
  if (held > 0) plain += alphabet[(bits << (6 - held)) & 0x3F];
  while (plain.size() % 4 != 0) plain += '=';
  std::string lines;
  for (std::size_t i = 0; i < plain.size(); i += 76) {
    if (i > 0) lines += "\r\n";
    lines += plain.substr(i, 76);
  }
  if (!plain.empty() && (plain.size() % 76 == 0 || plain.back() == '=')) lines += "\r\n";
  return lines;
}

std::string EncodeInPieces(const std::string& data, std::size_t piece) {
  CMemorySink sink;
  CBase64Encoder encoder(sink);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  for (std::size_t at = 0; at < data.size(); at += piece) {
    encoder.Encode(bytes + at, std::min(piece, data.size() - at));
  }
  encoder.Finish();
  return sink.m_strData;
}

std::string EncodeThroughFile(const std::string& data, std::size_t* writes = nullptr) {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return "tmpfile failed";
  std::fwrite(data.data(), 1, data.size(), file);
  std::rewind(file);
  CMemorySink sink;
  CBase64Encoder encoder(sink);
  encoder.EncodeFile(file);
  std::fclose(file);
  if (writes != nullptr) *writes = sink.m_nWrites;
  return sink.m_strData;
}

TEST(MimeBase64Test, KnownVectors) {
  // RFC 4648 section 10, with this body's line ends after padded groups.
  struct Case {
    const char* input;
    const char* expected;
  } cases[] = {
      {"", ""},
      {"f", "Zg==\r\n"},
      {"fo", "Zm8=\r\n"},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg==\r\n"},
      {"fooba", "Zm9vYmE=\r\n"},
      {"foobar", "Zm9vYmFy"},
      {"\xFB\xFF\xBF", "+/+/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeThroughFile(c.input), c.expected) << "input " << c.input;
  }
}

TEST(MimeBase64Test, LineShapeAtBoundarySizes) {
  struct Case {
    std::size_t size;
    std::size_t fullLines;    // lines of 76 characters with CR LF
    std::string lastLine;     // what follows them: "" or a shorter line's shape
  } cases[] = {
      {0, 0, ""},
      {1, 0, "XX==\r\n"},
      {2, 0, "XXX=\r\n"},
      {3, 0, "XXXX"},
      {56, 0, std::string(72, 'X') + "XXX=\r\n"},
      {57, 1, ""},
      {58, 1, "XX==\r\n"},
      {114, 2, ""},
      {57000, 1000, ""},
      {57001, 1000, "XX==\r\n"},
      {57002, 1000, "XXX=\r\n"},
      {57003, 1000, "XXXX"},
      {114000 + 60, 2001, "XXXX"},
  };
  for (const Case& c : cases) {
    std::string data = test::RandomBytes(c.size, static_cast<unsigned>(c.size));
    std::string encoded = EncodeThroughFile(data);
    std::string expected;
    for (std::size_t line = 0; line < c.fullLines; ++line) expected += std::string(76, 'X') + "\r\n";
    expected += c.lastLine;
    // Compare the shape: every alphabet character as X, padding and line ends as they are.
    std::string shape = encoded;
    for (char& ch : shape) {
      if (ch != '=' && ch != '\r' && ch != '\n') ch = 'X';
    }
    EXPECT_EQ(shape, expected) << "size " << c.size;
    EXPECT_EQ(encoded, ReferenceEncoding(data)) << "size " << c.size;
    EXPECT_EQ(test::DecodeBase64(encoded), data) << "size " << c.size;
  }
}

TEST(MimeBase64Test, AnySplitOfTheInputGivesTheOnePieceEncoding) {
  // Three and a half read blocks, so the line position and the left-over bytes cross
  // every kind of boundary.
  std::string data = test::RandomBytes(CBase64Encoder::kReadBlock * 3 + 28501, 7);
  std::string reference = ReferenceEncoding(data);
  for (std::size_t piece : {1u, 2u, 4u, 56u, 58u, 1000u, 56999u, 57000u, 57001u, 200000u}) {
    EXPECT_EQ(EncodeInPieces(data, piece), reference) << "pieces of " << piece;
  }
  EXPECT_EQ(EncodeThroughFile(data), reference);
  EXPECT_EQ(test::DecodeBase64(reference), data);
}

TEST(MimeBase64Test, WritesWholeBlocksNotGroups) {
  std::size_t writes = 0;
  std::string data = test::RandomBytes(CBase64Encoder::kReadBlock * 4 + 4, 3);
  std::string encoded = EncodeThroughFile(data, &writes);
  EXPECT_EQ(encoded, ReferenceEncoding(data));
  // One write per block read (the last one short) and one for the padded final group.
  EXPECT_EQ(writes, 6u);
}

}  // namespace
}  // namespace varnel
