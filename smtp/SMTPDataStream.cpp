#include "smtp/SMTPDataStream.h"

#include <cstring>

namespace varnel {

CSMTPDataStream::CSMTPDataStream(IConnection& connection, std::chrono::milliseconds timeout,
                                 bool normaliseLineEnds)
    : m_connection(connection), m_timeout(timeout), m_bNormalise(normaliseLineEnds) {
  m_pBuffer = std::make_unique<char[]>(kBufferSize);
}

void CSMTPDataStream::Flush() {
  if (m_nBuffered == 0) return;
  if (!m_bInterrupted && m_fnInterrupt && m_fnInterrupt()) m_bInterrupted = true;
  if (m_result == IoResult::Ok && !m_bInterrupted) {
    m_result = m_connection.SendAll(m_pBuffer.get(), m_nBuffered, m_timeout);
  }
  m_nBuffered = 0;
}

void CSMTPDataStream::Emit(const char* data, std::size_t size) {
  if (Failed() || size == 0) return;
  m_nEmitted += size;
  m_cBeforeLast = size > 1 ? data[size - 2] : m_cLast;
  m_cLast = data[size - 1];
  while (size > 0) {
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
  // The next CR and the next LF at or after a position, each searched for again only
  // once passed: memchr runs at memory speed where a byte loop would not.
  std::size_t nextCR = 0;
  std::size_t nextLF = 0;
  bool scanned = false;
  auto nextBreak = [&](std::size_t from) {
    if (!scanned || nextCR < from) {
      const void* found = std::memchr(data + from, '\r', size - from);
      nextCR = found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - data) : size;
    }
    if (!scanned || nextLF < from) {
      const void* found = std::memchr(data + from, '\n', size - from);
      nextLF = found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - data) : size;
    }
    scanned = true;
    return nextCR < nextLF ? nextCR : nextLF;
  };
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
