// The DATA stream: RFC 5321 transparency on every line and line-end normalisation, across
// write boundaries, and the buffered sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "smtp/SMTPDataStream.h"

using namespace varnel;

namespace {

class CMemoryConnection final : public IConnection {
 public:
  std::string m_strSent;
  int m_nSends = 0;
  std::size_t m_nLargestSend = 0;
  IoResult m_eResult = IoResult::Ok;
  IoResult SendAll(const char* data, std::size_t size, std::chrono::milliseconds) override {
    ++m_nSends;
    m_nLargestSend = std::max(m_nLargestSend, size);
    if (m_eResult == IoResult::Ok) m_strSent.append(data, size);
    return m_eResult;
  }
  IoResult Receive(char*, std::size_t, std::size_t& received, std::chrono::milliseconds) override {
    received = 0;
    return IoResult::Closed;
  }
};

}  // namespace

TEST(SMTPDataStreamTest, TransparencyAndLineEnds) {
  // The end-of-data line's first CR LF ends the last line: a text that ends with a line
  // break gets no second one.
  struct {
    std::vector<std::string> arrPieces;
    bool bNormalise;
    std::string strExpected;
    std::uint64_t nOctets;  // RFC 1870 size: no stuffed dots, no ".\r\n"
  } const cases[] = {
      {{".starts"}, true, "..starts\r\n.\r\n", 9},
      {{"a\r\n.\r\nb"}, true, "a\r\n..\r\nb\r\n.\r\n", 9},
      {{"a\n.\n.\n"}, true, "a\r\n..\r\n..\r\n.\r\n", 9},
      {{"a\r", "\n", ".b"}, true, "a\r\n..b\r\n.\r\n", 7},
      {{"bare\rcr"}, true, "bare\r\ncr\r\n.\r\n", 10},
      {{"ends with cr\r"}, true, "ends with cr\r\n.\r\n", 14},
      {{"ends with lf\n"}, true, "ends with lf\r\n.\r\n", 14},
      {{"ends with crlf\r", "\n"}, true, "ends with crlf\r\n.\r\n", 16},
      {{"two breaks\r\n\r\n"}, true, "two breaks\r\n\r\n.\r\n", 14},
      {{"x.y\r\n", "..z"}, true, "x.y\r\n...z\r\n.\r\n", 10},
      {{"a\n.b"}, false, "a\n..b\r\n.\r\n", 6},
      // A bare LF never ends the data: "\n.\r\n" is no end-of-data line.
      {{"a\n"}, false, "a\n\r\n.\r\n", 4},
      {{}, true, ".\r\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arrPieces.empty() ? std::string("(empty)") : c.arrPieces.front());
    CMemoryConnection connection;
    CSMTPDataStream stream(connection, std::chrono::milliseconds(1000), c.bNormalise);
    for (const std::string& piece : c.arrPieces) stream.Write(piece);
    EXPECT_EQ(stream.Finish(), IoResult::Ok);
    EXPECT_EQ(connection.m_strSent, c.strExpected);
    EXPECT_EQ(stream.MessageOctets(), c.nOctets);
  }
}

TEST(SMTPDataStreamTest, AnInterruptionStopsTheStreamBeforeTheEndOfData) {
  // Asked before each send: once it says the relay spoke, nothing more goes out, the
  // end-of-data line least of all.
  for (int sendsAllowed : {0, 1, 3}) {
    CMemoryConnection connection;
    CSMTPDataStream stream(connection, std::chrono::milliseconds(1000), true);
    int asked = 0;
    stream.m_fnInterrupt = [&] { return asked++ >= sendsAllowed; };
    std::string block(CSMTPDataStream::kBufferSize, 'x');
    for (int i = 0; i < 5; ++i) stream.Write(block);
    EXPECT_EQ(stream.Finish(), IoResult::Ok);
    EXPECT_TRUE(stream.Interrupted());
    EXPECT_TRUE(stream.Failed());
    EXPECT_EQ(connection.m_nSends, sendsAllowed) << sendsAllowed;
    EXPECT_EQ(connection.m_strSent.find('.'), std::string::npos) << sendsAllowed;
  }
}

TEST(SMTPDataStreamTest, BuffersIntoLargeSendsAndStopsAfterAFailure) {
  CMemoryConnection connection;
  {
    CSMTPDataStream stream(connection, std::chrono::milliseconds(1000), true);
    std::string block(1000, 'x');
    for (int i = 0; i < 200; ++i) stream.Write(block);
    EXPECT_EQ(stream.Finish(), IoResult::Ok);
  }
  EXPECT_EQ(connection.m_nSends, 4);  // 200,005 bytes in 64 KiB sends
  EXPECT_EQ(connection.m_strSent.size(), 200005u);

  CMemoryConnection failing;
  failing.m_eResult = IoResult::Timeout;
  CSMTPDataStream stream(failing, std::chrono::milliseconds(1000), true);
  std::string block(100000, 'y');
  stream.Write(block);
  stream.Write(block);
  EXPECT_EQ(stream.Finish(), IoResult::Timeout);
  EXPECT_EQ(failing.m_nSends, 1);
}

namespace {

// The stream's rules applied byte by byte: every line break becomes CR LF, a dot opening
// a line is doubled, the text ends with CR LF and the end-of-data line.
std::string DataOnTheWire(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (lineStart && c == '.') out += '.';
    lineStart = c == '\r' || c == '\n';
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    out += lineStart ? std::string("\r\n") : std::string(1, c);
  }
  if (!out.empty() && out.compare(out.size() - std::min<std::size_t>(out.size(), 2), 2, "\r\n") != 0) out += "\r\n";
  return out + ".\r\n";
}

}  // namespace

TEST(SMTPDataStreamTest, LongTextsComeOutAsTheRulesSayInPiecesOfAnySize) {
  // Lines short and long, breaks of every kind, dots at line starts and inside, so that
  // breaks fall at every place of the blocks the stream scans, and runs longer than its
  // buffer go out whole.
  std::mt19937 random(21);
  const char* breaks[] = {"\r\n", "\n", "\r"};
  std::string text;
  while (text.size() < 3 * CSMTPDataStream::kBufferSize) {
    if (random() % 4 == 0) text += '.';
    std::size_t length = random() % 3 == 0 ? random() % 200 : random() % 20;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>(random() % 5 == 0 ? '.' : 'a' + random() % 26);
    text += random() % 50 == 0 ? std::string(CSMTPDataStream::kBufferSize + 7, 'L') : "";
    text += breaks[random() % 3];
  }
  const std::string expected = DataOnTheWire(text);
  for (std::size_t piece : {std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{17}, std::size_t{4096},
                            CSMTPDataStream::kBufferSize, 100000 * std::size_t{1}, text.size()}) {
    SCOPED_TRACE(piece);
    CMemoryConnection connection;
    CSMTPDataStream stream(connection, std::chrono::milliseconds(1000), true);
    for (std::size_t at = 0; at < text.size(); at += piece) stream.Write(text.substr(at, piece));
    EXPECT_EQ(stream.Finish(), IoResult::Ok);
    EXPECT_TRUE(connection.m_strSent == expected);
    // Each send has its own time limit: none is longer than the buffer.
    EXPECT_EQ(connection.m_nLargestSend, CSMTPDataStream::kBufferSize);
  }
}

TEST(SMTPDataStreamTest, NoSendStartsOrWaitsPastTheDeadline) {
  // A connection that takes every send after 50 ms (a relay that reads slowly but keeps
  // reading, so no single wait runs out) and notes the longest wait it was allowed.
  class CSlowConnection final : public IConnection {
   public:
    int m_nSends = 0;
    std::chrono::milliseconds m_longestWait{0};
    IoResult SendAll(const char*, std::size_t, std::chrono::milliseconds timeout) override {
      ++m_nSends;
      m_longestWait = std::max(m_longestWait, timeout);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return IoResult::Ok;
    }
    IoResult Receive(char*, std::size_t, std::size_t& received, std::chrono::milliseconds) override {
      received = 0;
      return IoResult::Timeout;
    }
  };
  CSlowConnection connection;
  CSMTPDataStream stream(connection, std::chrono::milliseconds(30000), true);
  stream.m_tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  std::string text(100 * CSMTPDataStream::kBufferSize, 'x');
  stream.Write(text.data(), text.size());
  EXPECT_EQ(stream.Finish(), IoResult::Timeout);
  EXPECT_GE(connection.m_nSends, 1);
  EXPECT_LE(connection.m_nSends, 5);
  EXPECT_LE(connection.m_longestWait, std::chrono::milliseconds(200));
}
