// The HTTP reply reader: framing by length, chunks and close, interim replies, and the
// faults of a hostile peer, each fed whole and byte by byte.
#include <gtest/gtest.h>

#include "oauth/HttpResponseReader.h"

using namespace varnel;
using State = CHttpResponseReader::State;

namespace {

struct CCase {
  const char* pName;
  std::string strInput;
  bool bClose;           // the peer closes after the input
  State eState;
  int nStatus;
  std::string strBody;   // Complete: the body; Failed: a part of the error
};

const std::string kOk = "HTTP/1.1 200 OK\r\n";

const CCase kCases[] = {
    {"length", kOk + "Content-Length: 5\r\n\r\nhello", false, State::Complete, 200, "hello"},
    {"bytes after the body are ignored", kOk + "Content-Length: 2\r\n\r\nhello", false, State::Complete, 200, "he"},
    {"bare LF lines", "HTTP/1.0 200 OK\nContent-Length: 2\n\nhi", false, State::Complete, 200, "hi"},
    {"chunked with extension and trailer",
     kOk + "Transfer-Encoding: chunked\r\n\r\n4;x=y\r\nwiki\r\n5\r\npedia\r\n0\r\nX-T: 1\r\n\r\n", false,
     State::Complete, 200, "wikipedia"},
    {"chunked overrides length", kOk + "Content-Length: 99\r\nTransfer-Encoding: gzip, CHUNKED\r\n\r\n1\r\na\r\n0\r\n\r\n",
     false, State::Complete, 200, "a"},
    {"close-delimited", kOk + "Content-Type: application/json\r\n\r\n{\"a\":1}", true, State::Complete, 200, "{\"a\":1}"},
    {"close-delimited still open", kOk + "\r\n{}", false, State::Reading, 200, "{}"},
    {"interim reply skipped", "HTTP/1.1 100 Continue\r\n\r\n" + kOk + "Content-Length: 1\r\n\r\nx", false,
     State::Complete, 200, "x"},
    {"no content", "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", false, State::Complete, 204, ""},
    {"refusal", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 2\r\n\r\n{}", false, State::Complete, 401, "{}"},
    {"same length twice", kOk + "Content-Length: 3, 3\r\n\r\nabc", false, State::Complete, 200, "abc"},
    {"differing lengths", kOk + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", false, State::Failed, 200,
     "Content-Length"},
    {"negative length", kOk + "Content-Length: -1\r\n\r\n", false, State::Failed, 200, "Content-Length"},
    {"huge length", kOk + "Content-Length: 99999999999999999999999\r\n\r\n", false, State::Failed, 200,
     "Content-Length"},
    {"body over the limit", kOk + "Content-Length: 65537\r\n\r\n", false, State::Failed, 200, "larger than"},
    {"chunk over the limit", kOk + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n", false, State::Failed,
     200, "larger than"},
    {"bad chunk size", kOk + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", false, State::Failed, 200, "chunk size"},
    {"chunk without line break", kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\nab\r\n", false, State::Failed, 200,
     "line break"},
    {"cut short", kOk + "Content-Length: 10\r\n\r\nabc", true, State::Failed, 200, "before the end"},
    {"nothing at all", "", true, State::Failed, 0, "without a reply"},
    {"not HTTP", "220 smtp.example ESMTP\r\n", false, State::Failed, 0, "not an HTTP/1.x reply"},
    {"HTTP/2 text", "HTTP/2 200\r\n", false, State::Failed, 0, "not an HTTP/1.x reply"},
    {"bad status", "HTTP/1.1 2x0 OK\r\n", false, State::Failed, 0, "status code"},
    {"switching protocols", "HTTP/1.1 101 Switching\r\n\r\n", false, State::Failed, 0, "switched"},
    {"folded field", kOk + "X-A: 1\r\n  2\r\n\r\n", false, State::Failed, 200, "folded"},
    {"space before colon", kOk + "Content-Length : 1\r\n\r\nx", false, State::Failed, 200, "field name"},
    {"bare CR", kOk + "X-A: 1\r2\r\n\r\n", false, State::Failed, 200, "bare CR"},
    {"compressed", kOk + "Content-Encoding: gzip\r\nContent-Length: 1\r\n\r\nx", false, State::Failed, 200,
     "encoded (gzip)"},
    {"endless header", kOk + "X-A: " + std::string(20000, 'a'), false, State::Failed, 200, "larger than"},
};

void Check(const CCase& c, CHttpResponseReader& reader, const std::string& how) {
  if (c.bClose) reader.Finish();
  EXPECT_EQ(reader.GetState(), c.eState) << c.pName << how << " " << reader.Error();
  EXPECT_EQ(reader.StatusCode(), c.nStatus) << c.pName << how;
  if (c.eState == State::Failed) {
    EXPECT_NE(reader.Error().find(c.strBody), std::string::npos) << c.pName << how << ": " << reader.Error();
  } else {
    EXPECT_EQ(reader.Body(), c.strBody) << c.pName << how;
  }
}

}  // namespace

TEST(HttpResponseReaderTest, RepliesWholeAndByteByByte) {
  for (const CCase& c : kCases) {
    CHttpResponseReader whole;
    whole.Feed(c.strInput.data(), c.strInput.size());
    Check(c, whole, " (whole)");
    CHttpResponseReader bytes;
    for (char byte : c.strInput) bytes.Feed(&byte, 1);
    Check(c, bytes, " (byte by byte)");
  }
}

TEST(HttpResponseReaderTest, HeaderNamesAreCaseInsensitiveAndReasonIsPrintable) {
  std::string input = "HTTP/1.1 400 Bad\x01Request\r\nCONTENT-type:  application/json \r\nContent-Length: 0\r\n\r\n";
  CHttpResponseReader reader;
  reader.Feed(input.data(), input.size());
  ASSERT_EQ(reader.GetState(), State::Complete);
  EXPECT_EQ(reader.Header("Content-Type"), "application/json");
  EXPECT_EQ(reader.Header("X-Missing"), "");
  EXPECT_EQ(reader.Reason(), "Bad Request");
}
