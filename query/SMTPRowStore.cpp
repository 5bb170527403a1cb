#include "query/SMTPRowStore.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/System.h"

namespace varnel {
namespace {

constexpr std::size_t kFirstChunk = 4096;
constexpr std::size_t kLargestChunk = kBulkBlockSize;

// Grows a vector geometrically so that the next count elements fit without another
// allocation.
template <typename T, typename A>
void MakeRoom(std::vector<T, A>& items, std::size_t count) {
  if (items.capacity() - items.size() >= count) return;
  items.reserve(std::max(items.capacity() * 2, items.size() + count));
}

}  // namespace

template <typename T>
T* CBulkAllocator<T>::allocate(std::size_t count) {
  if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
  std::size_t bytes = count * sizeof(T);
  if (bytes < kBulkBlockSize) return static_cast<T*>(::operator new(bytes));
  void* block = AllocateBulk(bytes);
  if (block == nullptr) throw std::bad_alloc();
  return static_cast<T*>(block);
}

template <typename T>
void CBulkAllocator<T>::deallocate(T* items, std::size_t count) noexcept {
  if (count * sizeof(T) < kBulkBlockSize) {
    ::operator delete(items);
  } else {
    FreeBulk(items);
  }
}

template struct CBulkAllocator<std::uint64_t>;
template struct CBulkAllocator<std::uint32_t>;

void CSMTPRowStore::CChunkRelease::operator()(char* chunk) const noexcept {
  if (bBulk) {
    FreeBulk(chunk);
  } else {
    delete[] chunk;
  }
}

void CSMTPRowStore::BeginRow(std::size_t maxBytes, std::size_t valueCount) {
  if (m_bInRow) throw std::logic_error("CSMTPRowStore: row already started");
  // Value ends are kept as 32-bit offsets within their row.
  if (maxBytes > UINT32_MAX) throw std::length_error("CSMTPRowStore: row too long");
  MakeRoom(m_arrRows, 1);
  MakeRoom(m_arrValueEnds, valueCount);
  if (m_arrChunks.empty() || m_nChunkSize - m_nChunkUsed < maxBytes) {
    std::size_t size = m_nChunkSize == 0 ? kFirstChunk : std::min(m_nChunkSize * 2, kLargestChunk);
    size = std::max(size, maxBytes);
    if (m_arrChunks.size() >= (std::size_t{1} << (64 - kOffsetBits))) {
      throw std::length_error("CSMTPRowStore: too many chunks");
    }
    MakeRoom(m_arrChunks, 1);
    // Not initialised: only the bytes that values occupy are ever written or read.
    if (size >= kLargestChunk) {
      char* chunk = static_cast<char*>(AllocateBulk(size));
      if (chunk == nullptr) throw std::bad_alloc();
      m_arrChunks.push_back(CChunk(chunk, CChunkRelease{true}));
    } else {
      m_arrChunks.push_back(CChunk(new char[size], CChunkRelease{false}));
    }
    m_nChunkSize = size;
    m_nChunkUsed = 0;
    m_nReservedBytes += size;
  }
  m_nRowStart = m_nChunkUsed;
  m_nRowRoom = maxBytes;
  m_nRowValuesLeft = valueCount;
  m_bInRow = true;
  m_arrRows.push_back((static_cast<std::uint64_t>(m_arrChunks.size() - 1) << kOffsetBits) | m_nRowStart);
}

void CSMTPRowStore::AppendValue(const char* text, std::size_t length) noexcept {
  std::size_t used = m_nChunkUsed - m_nRowStart;
  // The caller promised the room in BeginRow; a value beyond it is cut rather than
  // written past the chunk.
  if (!m_bInRow || m_nRowValuesLeft == 0) return;
  length = std::min(length, m_nRowRoom - used);
  if (length != 0) std::memcpy(m_arrChunks.back().get() + m_nChunkUsed, text, length);
  m_nChunkUsed += length;
  m_arrValueEnds.push_back(static_cast<std::uint32_t>(used + length));
  --m_nRowValuesLeft;
}

void CSMTPRowStore::EndRow() noexcept {
  // A row always holds the number of values it was begun with.
  while (m_bInRow && m_nRowValuesLeft > 0) AppendValue(nullptr, 0);
  m_bInRow = false;
}

CSMTPRowStore::CRowView CSMTPRowStore::Row(std::size_t row, std::size_t columnCount) const {
  if (row >= m_arrRows.size() || (row + 1) * columnCount > m_arrValueEnds.size()) {
    throw std::out_of_range("CSMTPRowStore: no such row");
  }
  std::uint64_t place = m_arrRows[row];
  const char* start = m_arrChunks[place >> kOffsetBits].get() + (place & ((std::uint64_t{1} << kOffsetBits) - 1));
  return CRowView{start, m_arrValueEnds.data() + row * columnCount};
}

std::string_view CSMTPRowStore::Value(std::size_t row, std::size_t column, std::size_t columnCount) const {
  if (row >= m_arrRows.size() || column >= columnCount) throw std::out_of_range("CSMTPRowStore: no such value");
  std::size_t index = row * columnCount + column;
  if (index >= m_arrValueEnds.size()) throw std::out_of_range("CSMTPRowStore: no such value");
  std::uint64_t place = m_arrRows[row];
  const char* start = m_arrChunks[place >> kOffsetBits].get() + (place & ((std::uint64_t{1} << kOffsetBits) - 1));
  std::uint32_t begin = column == 0 ? 0 : m_arrValueEnds[index - 1];
  return std::string_view(start + begin, m_arrValueEnds[index] - begin);
}

}  // namespace varnel
