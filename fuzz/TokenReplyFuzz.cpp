// Fuzz target: arbitrary bytes from a token endpoint, cut into arbitrary reads, through
// the HTTP reply reader and then the token JSON reader. The body stays bounded, a granted
// token is visible ASCII, and no text meant for the log holds a control character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "oauth/HttpResponseReader.h"
#include "oauth/OAuthTokenReply.h"

namespace {

void RequirePrintable(const std::string& text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the read size and whether the peer closes at the end.
  std::size_t step = (data[0] % 31) + 1;
  bool close = (data[0] & 0x80) != 0;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  std::size_t length = size - 1;
  varnel::CHttpResponseReader reader;
  for (std::size_t at = 0; at < length; at += step) {
    std::size_t piece = length - at < step ? length - at : step;
    if (reader.Feed(bytes + at, piece) != varnel::CHttpResponseReader::State::Reading) break;
  }
  if (close) reader.Finish();
  if (reader.Body().size() > varnel::CHttpResponseReader::kMaxBody) std::abort();
  RequirePrintable(reader.Reason());
  if (reader.GetState() != varnel::CHttpResponseReader::State::Complete) return 0;

  varnel::COAuthTokenReply reply;
  std::string error;
  if (varnel::ReadOAuthTokenReply(reader.StatusCode(), reader.Reason(), reader.Body(), reply, error)) {
    if (reply.strAccessToken.empty() || reply.nExpiresIn < -1) std::abort();
    for (char c : reply.strAccessToken) {
      unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x20 || u > 0x7E) std::abort();
    }
  } else {
    if (error.empty() || error.size() > 600) std::abort();
    RequirePrintable(error);
  }
  return 0;
}
