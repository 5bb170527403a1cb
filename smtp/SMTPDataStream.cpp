#include "smtp/SMTPDataStream.h"

#include <bit>
#include <cstring>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnel {

namespace {

// Position of the first CR or LF in data[from, size), or size: sixteen bytes compared at
// a time where the processor has SSE2, the rest one by one.
std::size_t FindLineBreak(const char* data, std::size_t from, std::size_t size) {
  std::size_t at = from;
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; at + 16 <= size; at += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    unsigned found = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf))));
    if (found != 0) return at + static_cast<std::size_t>(std::countr_zero(found));
  }
#endif
  for (; at < size; ++at) {
    if (data[at] == '\r' || data[at] == '\n') return at;
  }
  return size;
}

}  // namespace

CSMTPDataStream::CSMTPDataStream(IConnection& connection, std::chrono::milliseconds timeout,
                                 bool normaliseLineEnds)
    : m_connection(connection), m_timeout(timeout), m_bNormalise(normaliseLineEnds) {
  m_pBuffer = std::make_unique<char[]>(kBufferSize);
}

void CSMTPDataStream::Flush() {
  if (m_nBuffered == 0) return;
  if (!m_bInterrupted && m_fnInterrupt && m_fnInterrupt()) m_bInterrupted = true;
  if (m_result == IoResult::Ok && !m_bInterrupted) {
    m_result = Send(m_pBuffer.get(), m_nBuffered);
  }
  m_nBuffered = 0;
}

IoResult CSMTPDataStream::Send(const char* data, std::size_t size) {
  if (m_tDeadline == std::chrono::steady_clock::time_point::max()) return m_connection.SendAll(data, size, m_timeout);
  auto left = std::chrono::ceil<std::chrono::milliseconds>(m_tDeadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return IoResult::Timeout;
  if (left >= m_timeout) return m_connection.SendAll(data, size, m_timeout);
  IoResult result = m_connection.SendAll(data, size, left);
  // The network's waits count whole milliseconds and may end a little early: a send cut
  // short by the deadline ends when it has passed, so that the owner sees it passed.
  if (result == IoResult::Timeout) std::this_thread::sleep_until(m_tDeadline);
  return result;
}

void CSMTPDataStream::Emit(const char* data, std::size_t size) {
  if (Failed() || size == 0) return;
  m_nEmitted += size;
  m_cBeforeLast = size > 1 ? data[size - 2] : m_cLast;
  m_cLast = data[size - 1];
  while (size > 0) {
    if (m_nBuffered == 0 && size >= kBufferSize) {
      // A long run goes out from where it is, a buffer's worth at a time (each send with
      // its own time limit, as a buffered one), without a copy into the buffer.
      if (!m_bInterrupted && m_fnInterrupt && m_fnInterrupt()) m_bInterrupted = true;
      if (m_result == IoResult::Ok && !m_bInterrupted) m_result = Send(data, kBufferSize);
      data += kBufferSize;
      size -= kBufferSize;
      continue;
    }
    std::size_t room = kBufferSize - m_nBuffered;
    std::size_t take = size < room ? size : room;
    std::memcpy(m_pBuffer.get() + m_nBuffered, data, take);
    m_nBuffered += take;
    data += take;
    size -= take;
    if (m_nBuffered == kBufferSize) Flush();
  }
}

void CSMTPDataStream::Write(const char* data, std::size_t size) {
  if (Failed() || size == 0) return;
  std::size_t i = 0;
  if (m_bPendingCR) {
    // The CR was sent; a bare one gets its LF, a CR LF pair keeps its own.
    m_bPendingCR = false;
    m_bLineStart = true;
    Emit("\n", 1);
    if (data[0] == '\n') i = 1;
  }
  // The next CR or LF at or after a position, found in one pass over the bytes.
  auto nextBreak = [&](std::size_t from) { return FindLineBreak(data, from, size); };
  // Bytes go out in runs as long as possible: a run ends only where something must be
  // changed (a dot opening a line, a bare CR or LF) or at the end of the data.
  while (i < size) {
    if (m_bLineStart) {
      m_bLineStart = false;
      if (data[i] == '.') {
        Emit(".", 1);
        ++m_nStuffed;
      }
    }
    std::size_t end = i;
    for (;;) {
      end = end < size ? nextBreak(end) : size;
      if (end == size) {
        Emit(data + i, end - i);
        i = end;
        break;
      }
      if (m_bNormalise) {
        if (data[end] == '\r' && end + 1 < size && data[end + 1] == '\n') {
          end += 2;
        } else if (data[end] == '\r' && end + 1 == size) {
          // Whether this CR is bare shows only with the next write.
          Emit(data + i, end + 1 - i);
          m_bPendingCR = true;
          i = size;
          break;
        } else {
          Emit(data + i, end - i);
          Emit("\r\n", 2);
          i = end + 1;
          m_bLineStart = true;
          break;
        }
      } else {
        // The caller chose CR or LF alone as the terminator: line ends stay as they are.
        end += 1;
      }
      if (end == size || data[end] == '.') {
        Emit(data + i, end - i);
        i = end;
        m_bLineStart = true;
        break;
      }
    }
  }
}

IoResult CSMTPDataStream::Finish() {
  if (m_bPendingCR) {
    m_bPendingCR = false;
    Emit("\n", 1);
  }
  // A last line not ended by CR LF gets its CR LF here.
  if (m_nEmitted > 0 && (m_cBeforeLast != '\r' || m_cLast != '\n')) Emit("\r\n", 2);
  m_nMessageOctets = m_nEmitted - m_nStuffed;
  Emit(".\r\n", 3);
  Flush();
  return m_result;
}

}  // namespace varnel
