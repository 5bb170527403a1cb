#include "mime/Base64Encoder.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "mime/InputFile.h"

namespace varnel {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kGroupsPerLine = 19;  // 76 characters, the RFC 2045 limit
constexpr std::size_t kBytesPerLine = kGroupsPerLine * 3;

// Two output characters for every 12-bit value: a group of three bytes is two lookups.
struct CPairTable {
  std::array<char, 4096 * 2> arrPairs{};
  constexpr CPairTable() {
    for (std::size_t value = 0; value < 4096; ++value) {
      arrPairs[value * 2] = kAlphabet[value >> 6];
      arrPairs[value * 2 + 1] = kAlphabet[value & 0x3F];
    }
  }
};
constexpr CPairTable kPairs;

inline char* PutGroup(char* out, const unsigned char* in) {
  std::uint32_t bits = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
  std::memcpy(out, &kPairs.arrPairs[(bits >> 12) * 2], 2);
  std::memcpy(out + 2, &kPairs.arrPairs[(bits & 0xFFF) * 2], 2);
  return out + 4;
}

// Largest output of one slice: kReadBlock bytes plus two pending ones make at most
// 19,001 groups and 1,001 line ends.
constexpr std::size_t kOutputSize = (CBase64Encoder::kReadBlock / 3 + 1) * 4 +
                                    (CBase64Encoder::kReadBlock / kBytesPerLine + 1) * 2 + 8;

}  // namespace

std::string Base64EncodeText(std::string_view text) {
  std::string result;
  result.reserve((text.size() + 2) / 3 * 4);
  auto byte = [&](std::size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(text[at])); };
  std::size_t i = 0;
  for (; i + 3 <= text.size(); i += 3) {
    unsigned value = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    for (int shift = 18; shift >= 0; shift -= 6) result += kAlphabet[(value >> shift) & 63];
  }
  std::size_t rest = text.size() - i;
  if (rest > 0) {
    unsigned value = (byte(i) << 16) | (rest == 2 ? byte(i + 1) << 8 : 0);
    result += kAlphabet[(value >> 18) & 63];
    result += kAlphabet[(value >> 12) & 63];
    result += rest == 2 ? kAlphabet[(value >> 6) & 63] : '=';
    result += '=';
  }
  return result;
}

std::string Base64DecodeText(std::string_view text) {
  std::string result;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    int digit;
    if (c >= 'A' && c <= 'Z') digit = c - 'A';
    else if (c >= 'a' && c <= 'z') digit = c - 'a' + 26;
    else if (c >= '0' && c <= '9') digit = c - '0' + 52;
    else if (c == '+') digit = 62;
    else if (c == '/') digit = 63;
    else if (c == '=' || c == ' ' || c == '\r' || c == '\n') continue;
    else return {};
    value = (value << 6) | static_cast<unsigned>(digit);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      result += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return result;
}

CBase64Encoder::CBase64Encoder(IByteSink& sink)
    : m_pSink(&sink), m_pOutput(std::make_unique<char[]>(kOutputSize)) {}

void CBase64Encoder::EncodeFile(std::FILE* file, std::uint64_t limit) {
  if (!m_pReadBlock) m_pReadBlock = std::make_unique<unsigned char[]>(kReadBlock);
  for (;;) {
    std::size_t count = ReadWithin(file, m_pReadBlock.get(), kReadBlock, limit);
    if (count == 0 || m_pSink->Failed()) break;
    Encode(m_pReadBlock.get(), count);
  }
  Finish();
}

void CBase64Encoder::Encode(const unsigned char* data, std::size_t size) {
  while (size > 0) {
    std::size_t slice = size < kReadBlock ? size : kReadBlock;
    EncodeSlice(data, slice);
    data += slice;
    size -= slice;
  }
}

void CBase64Encoder::EncodeSlice(const unsigned char* data, std::size_t size) {
  char* out = m_pOutput.get();
  const unsigned char* end = data + size;

  auto endGroup = [&]() {
    if (++m_nLineGroups == kGroupsPerLine) {
      *out++ = '\r';
      *out++ = '\n';
      m_nLineGroups = 0;
    }
  };

  // Complete the group left open by the previous call.
  if (m_nPending > 0) {
    unsigned char group[3] = {m_arrPending[0], m_arrPending[1], 0};
    while (m_nPending < 3 && data < end) group[m_nPending++] = *data++;
    if (m_nPending < 3) {
      std::memcpy(m_arrPending, group, 2);
      return;
    }
    out = PutGroup(out, group);
    m_nPending = 0;
    endGroup();
  }

  // Groups up to the end of the current line, then whole lines, then the last groups.
  while (m_nLineGroups != 0 && end - data >= 3) {
    out = PutGroup(out, data);
    data += 3;
    endGroup();
  }
  while (static_cast<std::size_t>(end - data) >= kBytesPerLine) {
    for (std::size_t group = 0; group < kGroupsPerLine; ++group) out = PutGroup(out, data + group * 3);
    data += kBytesPerLine;
    *out++ = '\r';
    *out++ = '\n';
  }
  while (end - data >= 3) {
    out = PutGroup(out, data);
    data += 3;
    endGroup();
  }

  m_nPending = static_cast<std::size_t>(end - data);
  for (std::size_t i = 0; i < m_nPending; ++i) m_arrPending[i] = data[i];

  std::size_t length = static_cast<std::size_t>(out - m_pOutput.get());
  if (length > 0) m_pSink->Write(m_pOutput.get(), length);
}

void CBase64Encoder::Finish() {
  if (m_nPending == 0) return;
  unsigned char b1 = m_arrPending[0];
  unsigned char b2 = m_nPending == 2 ? m_arrPending[1] : 0;
  char last[6];
  last[0] = kAlphabet[b1 >> 2];
  last[1] = kAlphabet[((b1 & 0x03) << 4) | (b2 >> 4)];
  last[2] = m_nPending == 2 ? kAlphabet[(b2 & 0x0F) << 2] : '=';
  last[3] = '=';
  last[4] = '\r';
  last[5] = '\n';
  m_pSink->Write(last, sizeof last);
  m_nPending = 0;
  m_nLineGroups = 0;
}

}  // namespace varnel
