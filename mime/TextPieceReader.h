// Reads a text file as the quoted-printable writer needs it: one line with its line feed
// per piece, or 4,999 bytes of a longer line, the rest following as further pieces.
// A CR LF pair reads as one line feed, as text mode does on Windows, on every platform.
// A read error ends the file like its end does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

namespace varnel {

class CTextPieceReader {
 public:
  static constexpr std::size_t kMaxPiece = 4999;
  static constexpr std::size_t kBlockSize = 64 * 1024;

  // Reads from file, at most limit bytes; the caller owns it and keeps it open while reading.
  explicit CTextPieceReader(std::FILE* file, std::uint64_t limit = UINT64_MAX);
  CTextPieceReader(const CTextPieceReader&) = delete;
  CTextPieceReader& operator=(const CTextPieceReader&) = delete;

  // The next piece; false at the end. The piece stays valid until the next call.
  bool Next(std::string_view& piece);

 private:
  bool Fill();

  std::FILE* m_pFile;
  std::uint64_t m_nLeft;
  std::unique_ptr<char[]> m_pBlock;  // kBlockSize bytes plus a carried carriage return
  std::size_t m_nStart = 0;
  std::size_t m_nEnd = 0;
  bool m_bCarriedCR = false;  // a block ended in CR: it may pair with the next block's LF
  bool m_bEnd = false;
  std::unique_ptr<char[]> m_pPiece;  // a piece that straddles two blocks
};

}  // namespace varnel
