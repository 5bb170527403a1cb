#include "smtp/SMTPDataStream.h"

#include <cstring>

namespace varnel {

CSMTPDataStream::CSMTPDataStream(IConnection& connection, std::chrono::milliseconds timeout,
                                 bool normaliseLineEnds)
    : m_connection(connection), m_timeout(timeout), m_bNormalise(normaliseLineEnds) {
  m_arrBuffer.reserve(kBufferSize);
}

void CSMTPDataStream::Flush() {
  if (m_arrBuffer.empty()) return;
  if (m_result == IoResult::Ok) m_result = m_connection.SendAll(m_arrBuffer.data(), m_arrBuffer.size(), m_timeout);
  m_arrBuffer.clear();
}

void CSMTPDataStream::Emit(const char* data, std::size_t size) {
  if (m_result != IoResult::Ok) return;
  while (size > 0) {
    std::size_t room = kBufferSize - m_arrBuffer.size();
    std::size_t take = size < room ? size : room;
    m_arrBuffer.insert(m_arrBuffer.end(), data, data + take);
    data += take;
    size -= take;
    if (m_arrBuffer.size() == kBufferSize) Flush();
  }
}

void CSMTPDataStream::Write(const char* data, std::size_t size) {
  if (m_result != IoResult::Ok) return;
  std::size_t i = 0;
  while (i < size) {
    if (m_bPendingCR) {
      // The CR was sent; a bare one gets its LF, a CR LF pair keeps its own.
      m_bPendingCR = false;
      m_bLineStart = true;
      Emit("\n", 1);
      if (data[i] == '\n') {
        ++i;
        continue;
      }
    }
    if (m_bLineStart) {
      m_bLineStart = false;
      if (data[i] == '.') Emit(".", 1);
    }
    std::size_t end = i;
    while (end < size && data[end] != '\n' && data[end] != '\r') ++end;
    if (end > i) Emit(data + i, end - i);
    i = end;
    if (i == size) break;
    char c = data[i++];
    if (!m_bNormalise) {
      // The caller chose CR or LF alone as the terminator: keep line ends as they are.
      Emit(&c, 1);
      m_bLineStart = true;
    } else if (c == '\n') {
      Emit("\r\n", 2);
      m_bLineStart = true;
    } else {
      Emit("\r", 1);
      m_bPendingCR = true;
    }
  }
}

IoResult CSMTPDataStream::Finish(const std::string& endOfData) {
  if (m_bPendingCR) {
    m_bPendingCR = false;
    Emit("\n", 1);
  }
  Emit(endOfData.data(), endOfData.size());
  Flush();
  return m_result;
}

}  // namespace varnel
