#include "query/SMTPRowStore.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnel {
namespace {

// A value's length is written as 7 bits a byte, low bits first, the high bit set on every
// byte but the last: 1 byte up to 127, 5 at most for 32 bits.
constexpr std::size_t kMaxLengthBytes = 5;
// The first chunk of a store; later ones double up to kChunkSize, so that small results
// stay small.
constexpr std::size_t kFirstChunk = 64 * 1024;

std::size_t LengthBytes(std::size_t length) {
  std::size_t bytes = 1;
  for (; length >= 0x80; length >>= 7) ++bytes;
  return bytes;
}

// Copies text up to its first zero byte, at most length bytes, to out in one pass;
// returns the bytes copied and sets high when one of them is above 0x7F. Sixteen bytes
// go at a time, the last ones in a load that overlaps those before; nothing is read
// outside the text, while out may take bytes after the copy's end (up to length).
std::size_t CopyText(char* out, const char* text, std::size_t length, bool& high) {
#if defined(__SSE2__)
  if (length >= 16) {
    const __m128i zero = _mm_setzero_si128();
    __m128i seen = zero;
    std::size_t at = 0;
    for (;;) {
      // All lanes are new, but for the last load, whose first lanes were copied already.
      unsigned fresh = 0xFFFFu;
      if (at + 16 > length) {
        fresh = (0xFFFFu << (at + 16 - length)) & 0xFFFFu;
        at = length - 16;
      }
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), bytes);
      unsigned zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero))) & fresh;
      if (zeros != 0) {
        unsigned first = static_cast<unsigned>(std::countr_zero(zeros));
        unsigned before = fresh & ((1u << first) - 1);
        if (_mm_movemask_epi8(seen) != 0 || (static_cast<unsigned>(_mm_movemask_epi8(bytes)) & before) != 0) {
          high = true;
        }
        return at + first;
      }
      seen = _mm_or_si128(seen, bytes);
      at += 16;
      if (at == length) break;
    }
    if (_mm_movemask_epi8(seen) != 0) high = true;
    return length;
  }
#endif
  unsigned char seen = 0;
  std::size_t at = 0;
  for (; at < length && text[at] != '\0'; ++at) {
    out[at] = text[at];
    seen |= static_cast<unsigned char>(text[at]);
  }
  if ((seen & 0x80) != 0) high = true;
  return at;
}

char* WriteLength(char* out, std::uint32_t length) {
  while (length >= 0x80) {
    *out++ = static_cast<char>(length | 0x80);
    length >>= 7;
  }
  *out++ = static_cast<char>(length);
  return out;
}

std::uint32_t ReadLength(const unsigned char*& in) {
  std::uint32_t length = *in++;
  if (length < 0x80) return length;
  length &= 0x7F;
  for (unsigned shift = 7; shift < 35; shift += 7) {
    std::uint32_t byte = *in++;
    length |= (byte & 0x7F) << shift;
    if (byte < 0x80) break;
  }
  return length;
}

}  // namespace

CSMTPRowStore::CSMTPRowStore()
    : CSMTPRowStore(kDefaultMemoryBudget, [] {
        std::string folder = SystemTemporaryFolder();
        std::string error;
        std::unique_ptr<ITemporaryFile> file = CreateTemporaryFile(folder, error);
        if (!file) throw CRowStoreError("no temporary file in " + folder + ": " + error);
        return file;
      }) {}

CSMTPRowStore::CSMTPRowStore(std::size_t memoryBudget, COpenFile openFile)
    : m_nMemoryBudget(memoryBudget), m_fnOpenFile(std::move(openFile)) {}

// Writes sealed chunks to the file as they come, on the capturing thread. (A writer thread
// of its own gains nothing: the writes go to the page cache, and a second thread makes every
// lock the driver and its database library take for each row an atomic one for the rest of
// the process, which costs more than the writes.) The first failure is kept and reported
// by every later Write and by Flush.
class CSMTPRowStore::CFileWriter {
 public:
  explicit CFileWriter(ITemporaryFile& file) : m_file(file) {}
  CFileWriter(const CFileWriter&) = delete;
  CFileWriter& operator=(const CFileWriter&) = delete;

  // Writes size bytes of buffer (of capacity bytes); returns the buffer for the next
  // chunk when it has kChunkSize bytes, else null. A failure leaves buffer as it was.
  std::unique_ptr<char[]> Write(std::unique_ptr<char[]>& buffer, std::size_t size, std::size_t capacity) {
    if (m_strError.empty()) {
      std::string error;
      if (!m_file.Append(buffer.get(), size, error)) m_strError = error.empty() ? "not written" : error;
    }
    Flush();
    if (capacity != kChunkSize) return nullptr;
    return std::move(buffer);
  }

  void Flush() const {
    if (!m_strError.empty()) throw CRowStoreError("the rows could not be written to the temporary file: " + m_strError);
  }

 private:
  ITemporaryFile& m_file;
  std::string m_strError;
};

CSMTPRowStore::~CSMTPRowStore() = default;

void CSMTPRowStore::Finish() const {
  if (m_pWriter) m_pWriter->Flush();
}

void CSMTPRowStore::Seal() {
  m_arrChunks.reserve(m_arrChunks.size() + 1);
  CChunk chunk;
  chunk.nFirstRow = m_nTailFirstRow;
  chunk.nBytes = m_nTailUsed;
  if (!m_pFile && m_nMemoryBytes + m_nTailSize <= m_nMemoryBudget) {
    chunk.pMemory = std::move(m_pTail);
    m_nMemoryBytes += m_nTailSize;
    m_nTailSize = 0;
  } else {
    if (!m_pFile) {
      if (m_fnOpenFile) m_pFile = m_fnOpenFile();
      if (!m_pFile) throw CRowStoreError("no temporary file for the rows");
    }
    if (!m_pWriter) m_pWriter = std::make_unique<CFileWriter>(*m_pFile);
    std::unique_ptr<char[]> spare = m_pWriter->Write(m_pTail, m_nTailUsed, m_nTailSize);
    chunk.nFileOffset = m_nFileBytes;
    m_nFileBytes += m_nTailUsed;
    // The next chunk goes into a buffer written already, or into a new one.
    m_pTail = std::move(spare);
    m_nTailSize = m_pTail ? kChunkSize : 0;
  }
  m_arrChunks.push_back(std::move(chunk));
  m_nTailUsed = 0;
  m_nTailFirstRow = m_nRows;
}

void CSMTPRowStore::BeginRow(std::size_t maxBytes, std::size_t valueCount) {
  if (m_bInRow) throw std::logic_error("CSMTPRowStore: row already started");
  if (maxBytes > UINT32_MAX || valueCount > (SIZE_MAX - maxBytes) / (2 * kMaxLengthBytes)) {
    throw std::length_error("CSMTPRowStore: row too long");
  }
  // Everything the row needs now, so that the rest cannot fail.
  m_strRowText.clear();
  m_strRowText.reserve(maxBytes);
  m_arrRowLengths.clear();
  m_arrRowLengths.reserve(valueCount);
  m_arrRowViews.reserve(valueCount);
  MakeRoom(maxBytes + (valueCount + 1) * kMaxLengthBytes);
  m_nRowRoom = maxBytes;
  m_nRowValues = valueCount;
  m_bInRow = true;
}

void CSMTPRowStore::AppendValue(const char* text, std::size_t length) noexcept {
  if (!m_bInRow || m_arrRowLengths.size() == m_nRowValues) return;
  length = std::min(length, m_nRowRoom - m_strRowText.size());
  m_strRowText.append(text, length);
  m_arrRowLengths.push_back(length);
}

void CSMTPRowStore::EndRow() noexcept {
  if (!m_bInRow) return;
  // A row always holds the number of values it was begun with.
  m_arrRowLengths.resize(m_nRowValues, 0);
  m_arrRowViews.resize(m_nRowValues);
  std::size_t at = 0;
  for (std::size_t i = 0; i < m_nRowValues; ++i) {
    m_arrRowViews[i] = std::string_view(m_strRowText).substr(at, m_arrRowLengths[i]);
    at += m_arrRowLengths[i];
  }
  WriteRow(m_arrRowViews.data(), m_arrRowLengths.data(), m_nRowValues, at);
  m_bInRow = false;
}

void CSMTPRowStore::MakeRoom(std::size_t need) {
  if (m_nTailSize - m_nTailUsed < need) {
    std::size_t previous = m_nTailSize;
    if (m_nTailUsed > 0) Seal();
    if (m_nTailSize < need) {
      std::size_t size = std::max({kFirstChunk, std::min(previous * 2, kChunkSize), need});
      if (m_pFile) size = std::max(kChunkSize, need);
      m_pTail.reset();
      m_nTailSize = 0;
      // Not initialised: only the bytes that rows occupy are ever written or read.
      m_pTail.reset(new char[size]);
      m_nTailSize = size;
    }
  }
  // A reader of Value may point into a chunk that the new row changes.
  if (m_pValueReader) m_pValueReader.reset();
}

std::size_t CSMTPRowStore::AppendRow(const std::string_view* values, std::size_t given, const std::size_t* limits,
                                     std::size_t count, bool& highBit) {
  if (m_bInRow) throw std::logic_error("CSMTPRowStore: row already started");
  given = std::min(given, count);
  // Room for the most the row can take; the row's own length, written first, takes the
  // bytes that this most needs (padded when the row comes out shorter).
  std::size_t most = 0;
  for (std::size_t i = 0; i < given; ++i) most += std::min(values[i].size(), limits[i]);
  if (most > UINT32_MAX || count > (SIZE_MAX - most) / (2 * kMaxLengthBytes)) {
    throw std::length_error("CSMTPRowStore: row too long");
  }
  most += count * kMaxLengthBytes;
  std::size_t header = LengthBytes(most);
  MakeRoom(header + most);
  char* start = m_pTail.get() + m_nTailUsed;
  char* out = start + header;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < given; ++i) {
    std::size_t length = std::min(values[i].size(), limits[i]);
    if (length < 0x80) {
      // The usual value: its length in one byte, whatever a zero byte in it cuts.
      length = CopyText(out + 1, values[i].data(), length, highBit);
      *out++ = static_cast<char>(length);
    } else {
      std::size_t prefix = LengthBytes(length);
      std::size_t copied = CopyText(out + prefix, values[i].data(), length, highBit);
      // A zero byte cut the value: its shorter length may take fewer bytes.
      if (LengthBytes(copied) != prefix) std::memmove(out + LengthBytes(copied), out + prefix, copied);
      length = copied;
      out = WriteLength(out, static_cast<std::uint32_t>(length));
    }
    out += length;
    kept += length;
  }
  for (std::size_t i = given; i < count; ++i) *out++ = 0;
  std::size_t bytes = static_cast<std::size_t>(out - start) - header;
  for (std::size_t i = 0; i < header; ++i, bytes >>= 7) {
    start[i] = static_cast<char>((bytes & 0x7F) | (i + 1 < header ? 0x80 : 0));
  }
  m_nTailUsed = static_cast<std::size_t>(out - m_pTail.get());
  ++m_nRows;
  return kept;
}

void CSMTPRowStore::WriteRow(const std::string_view* values, const std::size_t* lengths, std::size_t count,
                             std::size_t room) noexcept {
  // The row's length first: the values' lengths and their bytes.
  std::size_t bytes = room;
  for (std::size_t i = 0; i < count; ++i) bytes += lengths[i] < 0x80 ? 1 : LengthBytes(lengths[i]);
  char* out = WriteLength(m_pTail.get() + m_nTailUsed, static_cast<std::uint32_t>(bytes));
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t length = lengths[i];
    if (length < 0x80) {
      *out++ = static_cast<char>(length);
    } else {
      out = WriteLength(out, static_cast<std::uint32_t>(length));
    }
    if (length != 0) std::memcpy(out, values[i].data(), length);
    out += length;
  }
  m_nTailUsed = static_cast<std::size_t>(out - m_pTail.get());
  ++m_nRows;
}

std::uint64_t CSMTPRowStore::ChunkFirstRow(std::size_t chunk) const {
  return chunk < m_arrChunks.size() ? m_arrChunks[chunk].nFirstRow : m_nTailFirstRow;
}

std::uint64_t CSMTPRowStore::ChunkEndRow(std::size_t chunk) const {
  return chunk + 1 < ChunkCount() ? ChunkFirstRow(chunk + 1) : m_nRows;
}

std::size_t CSMTPRowStore::ChunkOf(std::uint64_t row) const {
  if (row >= m_nTailFirstRow) return m_arrChunks.size();
  // The last sealed chunk that starts at or before the row; sealed chunks never are empty.
  auto after = std::upper_bound(m_arrChunks.begin(), m_arrChunks.end(), row,
                                [](std::uint64_t value, const CChunk& chunk) { return value < chunk.nFirstRow; });
  return static_cast<std::size_t>(after - m_arrChunks.begin()) - 1;
}

std::string_view CSMTPRowStore::Value(std::uint64_t row, std::size_t column, std::size_t columnCount) const {
  if (row >= m_nRows || column >= columnCount || m_bInRow) throw std::out_of_range("CSMTPRowStore: no such value");
  if (!m_pValueReader) m_pValueReader = std::make_unique<CReader>(*this, 0, m_nRows, columnCount);
  m_pValueReader->SetColumnCount(columnCount);
  m_pValueReader->Seek(row);
  return m_pValueReader->Next()[column];
}

CSMTPRowStore::CReader::CReader(const CSMTPRowStore& store, std::uint64_t firstRow, std::uint64_t rowCount,
                                std::size_t columnCount)
    : m_pStore(&store),
      m_nFirstRow(firstRow),
      m_nEndRow(firstRow + rowCount),
      m_nColumns(columnCount),
      m_nRow(firstRow),
      // Never empty, so that a row without values still has an address.
      m_arrValues(std::max<std::size_t>(columnCount, 1)) {
  if (firstRow > store.m_nRows || rowCount > store.m_nRows - firstRow) {
    throw std::out_of_range("CSMTPRowStore: rows outside the store");
  }
}

void CSMTPRowStore::CReader::Load(std::size_t chunk) {
  const CSMTPRowStore& store = *m_pStore;
  if (chunk < store.m_arrChunks.size()) {
    const CChunk& sealed = store.m_arrChunks[chunk];
    if (sealed.pMemory) {
      m_pData = reinterpret_cast<const unsigned char*>(sealed.pMemory.get());
    } else {
      // The view before goes first: at most one chunk of the file is held.
      m_pView.reset();
      store.Finish();
      std::string error;
      m_pView = store.m_pFile->View(sealed.nFileOffset, sealed.nBytes, error);
      if (!m_pView) throw CRowStoreError("the rows could not be read back from the temporary file: " + error);
      m_pData = reinterpret_cast<const unsigned char*>(m_pView->Data());
    }
  } else {
    m_pData = reinterpret_cast<const unsigned char*>(store.m_pTail.get());
  }
  m_nChunk = chunk;
  m_nOffset = 0;
  m_nRow = store.ChunkFirstRow(chunk);
  m_nChunkEndRow = store.ChunkEndRow(chunk);
}

void CSMTPRowStore::CReader::SkipRow() {
  const unsigned char* in = m_pData + m_nOffset;
  std::uint32_t bytes = ReadLength(in);
  m_nOffset = static_cast<std::size_t>(in + bytes - m_pData);
  ++m_nRow;
}

void CSMTPRowStore::CReader::SetColumnCount(std::size_t columnCount) {
  m_nColumns = columnCount;
  m_arrValues.resize(std::max<std::size_t>(columnCount, 1));
}

void CSMTPRowStore::CReader::Seek(std::uint64_t index) {
  if (index > m_nEndRow - m_nFirstRow) throw std::out_of_range("CSMTPRowStore: no such row");
  std::uint64_t target = m_nFirstRow + index;
  if (target == m_nEndRow) {
    // Past the last row: nothing more to read, nothing to load.
    m_nChunk = SIZE_MAX;
    m_nRow = target;
    return;
  }
  if (m_nChunk == SIZE_MAX || target < m_nRow || target >= m_nChunkEndRow) Load(m_pStore->ChunkOf(target));
  while (m_nRow < target) SkipRow();
}

const std::string_view* CSMTPRowStore::CReader::Next() {
  if (m_nRow >= m_nEndRow) return nullptr;
  if (m_nChunk == SIZE_MAX) Seek(m_nRow - m_nFirstRow);
  while (m_nRow >= m_nChunkEndRow) Load(m_nChunk + 1);
  const unsigned char* in = m_pData + m_nOffset;
  std::uint32_t bytes = ReadLength(in);
  const unsigned char* end = in + bytes;
  m_nOffset = static_cast<std::size_t>(end - m_pData);
  ++m_nRow;
  // A row read as holding more values than it has gets empty ones.
  for (std::size_t i = 0; i < m_nColumns; ++i) {
    if (in >= end) {
      m_arrValues[i] = std::string_view();
      continue;
    }
    std::uint32_t length = ReadLength(in);
    m_arrValues[i] = std::string_view(reinterpret_cast<const char*>(in), length);
    in += length;
  }
  return m_arrValues.data();
}

}  // namespace varnel
