#include <gtest/gtest.h>

#include "smtp/SMTPReplyReader.h"

using namespace varnel;

namespace {

std::vector<std::string> Read(const std::vector<std::string>& pieces) {
  CSMTPReplyReader reader;
  std::vector<std::string> replies;
  for (const std::string& piece : pieces) {
    reader.Feed(piece.data(), piece.size());
    std::string reply;
    while (reader.Next(reply)) replies.push_back(reply);
  }
  return replies;
}

}  // namespace

TEST(SMTPReplyReaderTest, AssemblesCompleteReplies) {
  struct {
    std::vector<std::string> arrPieces;
    std::vector<std::string> arrReplies;
  } const cases[] = {
      {{"220 ready\r\n"}, {"220 ready"}},
      {{"22", "0 rea", "dy\r", "\n"}, {"220 ready"}},
      {{"250-a\r\n250-b\r\n250 c\r\n"}, {"250-a\r\n250-b\r\n250 c"}},
      {{"250-a\r\n", "250 c\r\n"}, {"250-a\r\n250 c"}},
      {{"250 ok\r\n354 go\r\n"}, {"250 ok", "354 go"}},
      {{"250"}, {}},
      {{"250\r\n"}, {"250"}},
      {{"250 bare line feed\n"}, {"250 bare line feed"}},
      {{"550 a\x01" "b\x1b[31m\r\n"}, {"550 a?b?[31m"}},
      {{"550 cr\rinside\r\n"}, {"550 cr?inside"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(c.arrPieces), c.arrReplies) << c.arrPieces.front();
}

TEST(SMTPReplyReaderTest, ReplyPastTheLimitIsFlaggedNotCutIntoReplies) {
  // A multi-line reply whose 64 KiB cut would land on "221 bye" must not yield it.
  CSMTPReplyReader reader;
  std::string line = "250-" + std::string(996, 'x') + "\r\n";
  for (std::size_t sent = 0; sent < CSMTPReplyReader::kMaxReply; sent += line.size()) {
    reader.Feed(line.data(), line.size());
  }
  std::string tail = "221 bye\r\n";
  reader.Feed(tail.data(), tail.size());
  std::string reply;
  EXPECT_FALSE(reader.Next(reply));
  EXPECT_TRUE(reader.TooLong());
}
