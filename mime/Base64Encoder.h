// Base64 body of an attachment part (RFC 2045 section 6.8): 76-character lines ending in
// CR LF, the line position carried across read blocks. Reads stop at the first empty
// read (end of file or read error, not told apart); nothing here reports failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "mime/ByteSink.h"

namespace varnel {

// Standard base64 (RFC 4648 section 4, padded, no line breaks) of a short text: SASL
// exchanges and encoded words.
std::string Base64EncodeText(std::string_view text);
// Decodes base64 text, ignoring padding and line breaks; empty when it holds anything else.
std::string Base64DecodeText(std::string_view text);

class CBase64Encoder {
 public:
  // Bytes read from a file at a time; a multiple of 57, so a full block always ends a line.
  static constexpr std::size_t kReadBlock = 57000;

  explicit CBase64Encoder(IByteSink& sink);
  CBase64Encoder(const CBase64Encoder&) = delete;
  CBase64Encoder& operator=(const CBase64Encoder&) = delete;

  // Encodes the rest of an open file (binary mode), at most limit bytes of it, and
  // finishes the body.
  void EncodeFile(std::FILE* file, std::uint64_t limit = UINT64_MAX);

  // Streaming form: any split of the input into calls gives the same output. Each call
  // hands its output to the sink in one write per 57,000 input bytes.
  void Encode(const unsigned char* data, std::size_t size);
  // Sends the padded final group, if bytes are left over, followed by CR LF.
  void Finish();

 private:
  void EncodeSlice(const unsigned char* data, std::size_t size);

  IByteSink* m_pSink;
  std::unique_ptr<char[]> m_pOutput;
  std::unique_ptr<unsigned char[]> m_pReadBlock;
  unsigned char m_arrPending[2] = {0, 0};
  std::size_t m_nPending = 0;    // bytes waiting for a complete group (0 to 2)
  std::size_t m_nLineGroups = 0; // groups already on the current output line (0 to 18)
};

}  // namespace varnel
