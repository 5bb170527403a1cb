#include "mime/TextPieceReader.h"

#include <cstring>

#include "mime/InputFile.h"

namespace varnel {

CTextPieceReader::CTextPieceReader(std::FILE* file, std::uint64_t limit)
    : m_pFile(file),
      m_nLeft(limit),
      m_pBlock(std::make_unique<char[]>(kBlockSize + 1)),
      m_pPiece(std::make_unique<char[]>(kMaxPiece)) {}

bool CTextPieceReader::Fill() {
  char* block = m_pBlock.get();
  std::size_t length = 0;
  while (length == 0) {
    std::size_t offset = 0;
    if (m_bCarriedCR) {
      block[0] = '\r';
      offset = 1;
      m_bCarriedCR = false;
    }
    std::size_t count = m_bEnd ? 0 : ReadWithin(m_pFile, block + offset, kBlockSize, m_nLeft);
    if (count == 0) m_bEnd = true;
    length = offset + count;
    if (length == 0) return false;
    // A final CR may be the first half of a CR LF pair: keep it for the next block.
    if (count > 0 && block[length - 1] == '\r') {
      m_bCarriedCR = true;
      --length;
    }
  }

  // CR LF becomes LF; a CR on its own stays.
  char* cr = static_cast<char*>(std::memchr(block, '\r', length));
  if (cr != nullptr) {
    std::size_t read = static_cast<std::size_t>(cr - block);
    std::size_t write = read;
    while (read < length) {
      char c = block[read++];
      if (c == '\r' && read < length && block[read] == '\n') continue;
      block[write++] = c;
    }
    length = write;
  }
  m_nStart = 0;
  m_nEnd = length;
  return true;
}

bool CTextPieceReader::Next(std::string_view& piece) {
  std::size_t collected = 0;
  for (;;) {
    if (m_nStart == m_nEnd && !Fill()) {
      if (collected == 0) return false;
      piece = std::string_view(m_pPiece.get(), collected);
      return true;
    }
    const char* begin = m_pBlock.get() + m_nStart;
    std::size_t wanted = kMaxPiece - collected;
    std::size_t available = m_nEnd - m_nStart;
    std::size_t scan = available < wanted ? available : wanted;
    const char* lineFeed = static_cast<const char*>(std::memchr(begin, '\n', scan));
    std::size_t take = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - begin) + 1 : scan;
    bool complete = lineFeed != nullptr || take == wanted;
    m_nStart += take;
    if (complete && collected == 0) {
      piece = std::string_view(begin, take);  // the usual case: no copy
      return true;
    }
    std::memcpy(m_pPiece.get() + collected, begin, take);
    collected += take;
    if (complete) {
      piece = std::string_view(m_pPiece.get(), collected);
      return true;
    }
  }
}

}  // namespace varnel
