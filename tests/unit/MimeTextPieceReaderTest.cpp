#include <gtest/gtest.h>

#include <cstdio>

#include "MimeTestSupport.h"
#include "mime/TextPieceReader.h"

namespace varnel {
namespace {

std::vector<std::string> ReadPieces(const std::string& content) {
  std::vector<std::string> pieces;
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return {"tmpfile failed"};
  std::fwrite(content.data(), 1, content.size(), file);
  std::rewind(file);
  CTextPieceReader reader(file);
  std::string_view piece;
  while (reader.Next(piece)) pieces.emplace_back(piece);
  std::fclose(file);
  return pieces;
}

using Pieces = std::vector<std::string>;

TEST(MimeTextPieceReaderTest, SplitsAsTextModeLineReadsDo) {
  using namespace std::string_literals;
  const std::size_t block = CTextPieceReader::kBlockSize;
  std::string x4998(4998, 'x');
  std::string x4999(4999, 'x');
  struct Case {
    const char* name;
    std::string content;
    Pieces expected;
  } cases[] = {
      {"empty file", "", {}},
      {"lines with LF", "one\ntwo\n", {"one\n", "two\n"}},
      {"last line without LF", "one\ntwo", {"one\n", "two"}},
      {"CR LF reads as LF", "one\r\ntwo\r\n", {"one\n", "two\n"}},
      {"lone CR stays", "a\rb\n\r", {"a\rb\n", "\r"}},
      {"CR CR LF keeps one CR", "a\r\r\nb", {"a\r\n", "b"}},
      {"empty lines", "\n\n", {"\n", "\n"}},
      {"NUL is data", "a\0b\n"s, {"a\0b\n"s}},
      {"12,000-byte line", std::string(11999, 'y') + "\n",
       {std::string(4999, 'y'), std::string(4999, 'y'), std::string(2001, 'y') + "\n"}},
      {"4,999 bytes then LF", x4999 + "\nz", {x4999, "\n", "z"}},
      {"4,998 bytes then LF", x4998 + "\n", {x4998 + "\n"}},
      // Text mode counts the pair as one byte, so this line fits in one piece.
      {"4,998 bytes then CR LF", x4998 + "\r\n", {x4998 + "\n"}},
      // The pair split across two reads is still one line feed.
      {"CR LF across a block boundary", std::string(block - 1, 'c') + "\r\nend\n",
       [&] {
         Pieces p;
         std::size_t left = block - 1;
         while (left >= 4999) {
           p.push_back(std::string(4999, 'c'));
           left -= 4999;
         }
         p.push_back(std::string(left, 'c') + "\n");
         p.push_back("end\n");
         return p;
       }()},
      {"CR at the very end after a full block", std::string(block - 1, '\n') + "\r",
       [&] {
         Pieces p(block - 1, "\n");
         p.push_back("\r");
         return p;
       }()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadPieces(c.content), c.expected) << c.name;
  }
}

TEST(MimeTextPieceReaderTest, PiecesStraddlingBlocksJoinUp) {
  // Lines of varied length over several blocks: the joined pieces are the file with
  // CR LF turned into LF, and no piece is longer than 4,999 bytes or holds an inner LF.
  std::mt19937 generator(3);
  std::string content;
  std::string expected;
  while (content.size() < 3 * CTextPieceReader::kBlockSize) {
    std::size_t length = generator() % 9000;
    std::string line(length, static_cast<char>('a' + generator() % 26));
    bool crlf = generator() % 2 == 0;
    content += line + (crlf ? "\r\n" : "\n");
    expected += line + "\n";
  }
  Pieces pieces = ReadPieces(content);
  std::string joined;
  for (const std::string& piece : pieces) {
    EXPECT_LE(piece.size(), CTextPieceReader::kMaxPiece);
    std::size_t lineFeed = piece.find('\n');
    EXPECT_TRUE(lineFeed == std::string::npos || lineFeed + 1 == piece.size());
    if (lineFeed == std::string::npos) {
      EXPECT_EQ(piece.size(), CTextPieceReader::kMaxPiece);
    }
    joined += piece;
  }
  EXPECT_EQ(joined, expected);
}

}  // namespace
}  // namespace varnel
