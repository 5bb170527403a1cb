// Compact storage of captured rows: every value keeps only its own text. Rows are packed
// one after another into chunks that grow up to 2 MiB (bulk memory of the platform from
// then on), so memory follows the data and a value costs four bytes of bookkeeping, not a
// heap block. Allocation failure throws std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace varnel {

// Vector storage that takes bulk memory once it reaches a block, so that the per-value
// bookkeeping of large captures fills with few page faults too.
template <typename T>
struct CBulkAllocator {
  using value_type = T;
  CBulkAllocator() = default;
  template <typename U>
  CBulkAllocator(const CBulkAllocator<U>&) noexcept {}
  T* allocate(std::size_t count);
  void deallocate(T* items, std::size_t count) noexcept;
  template <typename U>
  bool operator==(const CBulkAllocator<U>&) const noexcept {
    return true;
  }
};

class CSMTPRowStore {
 public:
  CSMTPRowStore() = default;
  CSMTPRowStore(const CSMTPRowStore&) = delete;
  CSMTPRowStore& operator=(const CSMTPRowStore&) = delete;
  CSMTPRowStore(CSMTPRowStore&&) noexcept = default;
  CSMTPRowStore& operator=(CSMTPRowStore&&) noexcept = default;

  // Starts a row of valueCount values that together take at most maxBytes bytes. All
  // memory the row needs is taken here, so AppendValue and EndRow do not throw.
  void BeginRow(std::size_t maxBytes, std::size_t valueCount);
  // Appends the next value of the row being built; it must fit the room of BeginRow.
  void AppendValue(const char* text, std::size_t length) noexcept;
  void EndRow() noexcept;

  std::size_t RowCount() const { return m_arrRows.size(); }
  // One row's values for reading them in order: value i is the text from the end of value
  // i - 1 (or the start) to pEnds[i], counted from pText.
  struct CRowView {
    const char* pText;
    const std::uint32_t* pEnds;
  };
  // Every row holds columnCount values.
  CRowView Row(std::size_t row, std::size_t columnCount) const;
  // Every row holds columnCount values.
  std::string_view Value(std::size_t row, std::size_t column, std::size_t columnCount) const;
  // Bytes held for text, chunk tails included.
  std::size_t ReservedBytes() const { return m_nReservedBytes; }

 private:
  // A row's place: chunk index in the high 24 bits, offset in the low 40.
  static constexpr unsigned kOffsetBits = 40;

  // Small chunks come from the heap, full-size ones are bulk memory.
  struct CChunkRelease {
    bool bBulk = false;
    void operator()(char* chunk) const noexcept;
  };
  using CChunk = std::unique_ptr<char[], CChunkRelease>;

  std::vector<CChunk> m_arrChunks;
  std::size_t m_nChunkSize = 0;
  std::size_t m_nChunkUsed = 0;
  std::size_t m_nReservedBytes = 0;
  std::vector<std::uint64_t, CBulkAllocator<std::uint64_t>> m_arrRows;
  // End of each value, counted from the start of its row.
  std::vector<std::uint32_t, CBulkAllocator<std::uint32_t>> m_arrValueEnds;
  std::size_t m_nRowStart = 0;
  std::size_t m_nRowRoom = 0;
  std::size_t m_nRowValuesLeft = 0;
  bool m_bInRow = false;
};

}  // namespace varnel
