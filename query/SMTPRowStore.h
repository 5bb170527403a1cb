// Captured rows of one query run, in the order they were fetched. Every value keeps only
// its own text (a length and the bytes), every row its length in bytes, so that rows of
// any width can be passed over; rows are packed into chunks of 1 MiB, and once
// the chunks in memory reach a budget, further chunks go to a private temporary file, so
// memory stays bounded whatever the size of the result. Rows are read back in order
// through a CReader, or one value at a time. A file that cannot be created, written or
// read throws CRowStoreError with the reason; allocation failure throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/TemporaryFile.h"

namespace varnel {

class CRowStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CSMTPRowStore {
 public:
  static constexpr std::size_t kChunkSize = std::size_t{1} << 20;
  static constexpr std::size_t kDefaultMemoryBudget = std::size_t{8} << 20;
  // Creates the file that chunks beyond the budget go to, called once, on the first
  // chunk that does not fit; throws CRowStoreError when the file cannot be had.
  using COpenFile = std::function<std::unique_ptr<ITemporaryFile>()>;

  // The default budget; the file goes into the system's temporary folder.
  CSMTPRowStore();
  CSMTPRowStore(std::size_t memoryBudget, COpenFile openFile);
  ~CSMTPRowStore();
  CSMTPRowStore(const CSMTPRowStore&) = delete;
  CSMTPRowStore& operator=(const CSMTPRowStore&) = delete;

  // Starts a row of valueCount values that together take at most maxBytes bytes. All
  // memory the row needs is taken here, so AppendValue and EndRow do not throw.
  void BeginRow(std::size_t maxBytes, std::size_t valueCount);
  // Appends the next value of the row being built; it must fit the room of BeginRow
  // (a value beyond it is cut, one beyond the row's count dropped).
  void AppendValue(const char* text, std::size_t length) noexcept;
  // Values never appended read as empty.
  void EndRow() noexcept;
  // A whole row of count values at once: value i is values[i] (empty from given on), cut
  // to limits[i] bytes and at its first zero byte. Returns the bytes the values kept;
  // sets highBit when a kept byte is above 0x7F.
  std::size_t AppendRow(const std::string_view* values, std::size_t given, const std::size_t* limits,
                        std::size_t count, bool& highBit);

  std::uint64_t RowCount() const { return m_nRows; }
  // Bytes of row data held in memory (chunks kept and the one being filled).
  std::size_t MemoryBytes() const { return m_nMemoryBytes + m_nTailSize; }
  // Bytes given to the temporary file.
  std::uint64_t FileBytes() const { return m_nFileBytes; }
  // Throws CRowStoreError when a write to the file failed. Readers check it themselves; a
  // capture calls it at its end to learn of a failure before anything is sent.
  void Finish() const;

  // One value, every row holding columnCount values. Reading rows in ascending order is
  // cheap; any other order decodes the rows before the one asked for in its chunk. The
  // text is valid until the next call. Not for use by two threads at once.
  std::string_view Value(std::uint64_t row, std::size_t column, std::size_t columnCount) const;

  // Reads rows [firstRow, firstRow + rowCount) in order, each of columnCount values. A
  // reader holds at most one chunk of the file; several readers may exist at once.
  class CReader {
   public:
    CReader(const CSMTPRowStore& store, std::uint64_t firstRow, std::uint64_t rowCount, std::size_t columnCount);
    // The values of the next row, valid until the next call; nullptr after the last row.
    const std::string_view* Next();
    // Moves to the row at index (0-based within the range); the next Next returns it.
    void Seek(std::uint64_t index);
    // Index of the row that Next returns next.
    std::uint64_t Position() const { return m_nRow - m_nFirstRow; }
    // Rows are read as holding columnCount values from here on.
    void SetColumnCount(std::size_t columnCount);

   private:
    void Load(std::size_t chunk);
    void SkipRow();

    const CSMTPRowStore* m_pStore;
    std::uint64_t m_nFirstRow;
    std::uint64_t m_nEndRow;
    std::size_t m_nColumns;
    std::uint64_t m_nRow;                   // row at m_nOffset
    std::size_t m_nChunk = SIZE_MAX;        // chunk loaded, SIZE_MAX for none
    std::uint64_t m_nChunkEndRow = 0;       // first row after the loaded chunk
    const unsigned char* m_pData = nullptr;  // the loaded chunk's bytes
    std::size_t m_nOffset = 0;
    std::unique_ptr<IFileView> m_pView;  // a chunk of the file
    std::vector<std::string_view> m_arrValues;
  };

 private:
  struct CChunk {
    std::uint64_t nFirstRow = 0;
    std::size_t nBytes = 0;
    std::uint64_t nFileOffset = 0;  // where nMemory is null
    std::unique_ptr<char[]> pMemory;
  };

  void Seal();
  // Makes room for a row of need bytes in the tail.
  void MakeRoom(std::size_t need);
  // Writes a row into room already made.
  void WriteRow(const std::string_view* values, const std::size_t* lengths, std::size_t count, std::size_t room) noexcept;
  std::size_t ChunkCount() const { return m_arrChunks.size() + 1; }  // the tail last
  std::size_t ChunkOf(std::uint64_t row) const;
  std::uint64_t ChunkFirstRow(std::size_t chunk) const;
  std::uint64_t ChunkEndRow(std::size_t chunk) const;

  class CFileWriter;

  std::size_t m_nMemoryBudget;
  COpenFile m_fnOpenFile;
  std::unique_ptr<ITemporaryFile> m_pFile;
  // Declared after the file, so that it has written everything and ended first.
  std::unique_ptr<CFileWriter> m_pWriter;
  std::uint64_t m_nFileBytes = 0;
  std::vector<CChunk> m_arrChunks;  // sealed chunks, in row order
  std::size_t m_nMemoryBytes = 0;   // of sealed chunks kept in memory
  // The chunk being filled.
  std::unique_ptr<char[]> m_pTail;
  std::size_t m_nTailSize = 0;
  std::size_t m_nTailUsed = 0;
  std::uint64_t m_nTailFirstRow = 0;
  std::uint64_t m_nRows = 0;
  // The row being built value by value.
  std::size_t m_nRowRoom = 0;
  std::size_t m_nRowValues = 0;
  bool m_bInRow = false;
  std::string m_strRowText;
  std::vector<std::size_t> m_arrRowLengths;
  std::vector<std::string_view> m_arrRowViews;
  // Random access through Value.
  mutable std::unique_ptr<CReader> m_pValueReader;
};

}  // namespace varnel
