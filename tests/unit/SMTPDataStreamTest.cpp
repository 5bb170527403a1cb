// The DATA stream: RFC 5321 transparency on every line and line-end normalisation, across
// write boundaries, and the buffered sends.
#include <gtest/gtest.h>

#include "smtp/SMTPDataStream.h"

using namespace varnel;

namespace {

class CMemoryConnection final : public IConnection {
 public:
  std::string m_strSent;
  int m_nSends = 0;
  IoResult m_eResult = IoResult::Ok;
  IoResult SendAll(const char* data, std::size_t size, std::chrono::milliseconds) override {
    ++m_nSends;
    if (m_eResult == IoResult::Ok) m_strSent.append(data, size);
    return m_eResult;
  }
  IoResult Receive(char*, std::size_t, std::size_t& received, std::chrono::milliseconds) override {
    received = 0;
    return IoResult::Closed;
  }
};

std::string Stream(const std::vector<std::string>& pieces, bool normalise, const std::string& end = "\r\n.\r\n") {
  CMemoryConnection connection;
  CSMTPDataStream stream(connection, std::chrono::milliseconds(1000), normalise);
  for (const std::string& piece : pieces) stream.Write(piece);
  stream.Finish(end);
  return connection.m_strSent;
}

}  // namespace

TEST(SMTPDataStreamTest, TransparencyAndLineEnds) {
  struct {
    std::vector<std::string> arrPieces;
    bool bNormalise;
    std::string strExpected;
  } const cases[] = {
      {{".starts"}, true, "..starts\r\n.\r\n"},
      {{"a\r\n.\r\nb"}, true, "a\r\n..\r\nb\r\n.\r\n"},
      {{"a\n.\n.\n"}, true, "a\r\n..\r\n..\r\n\r\n.\r\n"},
      {{"a\r", "\n", ".b"}, true, "a\r\n..b\r\n.\r\n"},
      {{"bare\rcr"}, true, "bare\r\ncr\r\n.\r\n"},
      {{"ends with cr\r"}, true, "ends with cr\r\n\r\n.\r\n"},
      {{"x.y\r\n", "..z"}, true, "x.y\r\n...z\r\n.\r\n"},
      {{"a\n.b"}, false, "a\n..b\n.\n"},
  };
  for (const auto& c : cases) {
    std::string end = c.bNormalise ? "\r\n.\r\n" : "\n.\n";
    EXPECT_EQ(Stream(c.arrPieces, c.bNormalise, end), c.strExpected) << c.arrPieces.front();
  }
}

TEST(SMTPDataStreamTest, BuffersIntoLargeSendsAndStopsAfterAFailure) {
  CMemoryConnection connection;
  {
    CSMTPDataStream stream(connection, std::chrono::milliseconds(1000), true);
    std::string block(1000, 'x');
    for (int i = 0; i < 200; ++i) stream.Write(block);
    EXPECT_EQ(stream.Finish("\r\n.\r\n"), IoResult::Ok);
  }
  EXPECT_EQ(connection.m_nSends, 4);  // 200,005 bytes in 64 KiB sends
  EXPECT_EQ(connection.m_strSent.size(), 200005u);

  CMemoryConnection failing;
  failing.m_eResult = IoResult::Timeout;
  CSMTPDataStream stream(failing, std::chrono::milliseconds(1000), true);
  std::string block(100000, 'y');
  stream.Write(block);
  stream.Write(block);
  EXPECT_EQ(stream.Finish("\r\n.\r\n"), IoResult::Timeout);
  EXPECT_EQ(failing.m_nSends, 1);
}
