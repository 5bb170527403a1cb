// Fuzz target: arbitrary relay bytes, cut into arbitrary reads, through the reply reader.
// Every reply must come out bounded, with line breaks only as CR LF between lines and no
// other control characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "smtp/SMTPReplyReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  varnel::CSMTPReplyReader reader;
  // The first byte chooses the read size, as a relay's segments would.
  std::size_t step = (data[0] % 17) + 1;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  std::size_t length = size - 1;
  std::string reply;
  for (std::size_t at = 0; at < length; at += step) {
    std::size_t piece = length - at < step ? length - at : step;
    reader.Feed(bytes + at, piece);
    while (reader.Next(reply)) {
      if (reply.size() > varnel::CSMTPReplyReader::kMaxReply) std::abort();
      for (std::size_t i = 0; i < reply.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(reply[i]);
        if (c == '\r') {
          if (i + 1 >= reply.size() || reply[i + 1] != '\n') std::abort();
        } else if (c == '\n') {
          if (i == 0 || reply[i - 1] != '\r') std::abort();
        } else if (c < 0x20 && c != '\t') {
          std::abort();
        }
      }
    }
  }
  return 0;
}
