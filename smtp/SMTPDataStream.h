// The DATA phase byte stream: buffers the message (64 KiB per send) and applies the
// transparency of RFC 5321 section 4.5.2 to every line. With CR LF as the terminator it
// also turns bare CR and bare LF into CR LF (section 2.3.8). A failed or timed-out send
// is remembered; later writes are dropped and the owner reports the failure.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "mime/ByteSink.h"
#include "platform/Network.h"

namespace varnel {

class CSMTPDataStream final : public IByteSink {
 public:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  CSMTPDataStream(IConnection& connection, std::chrono::milliseconds timeout, bool normaliseLineEnds);

  using IByteSink::Write;
  void Write(const char* data, std::size_t size) override;
  // Ends the message: completes a pending line end, then the end-of-data line as given
  // (not subject to transparency), and sends everything buffered.
  IoResult Finish(const std::string& endOfData);
  IoResult Result() const { return m_result; }
  bool Failed() const override { return m_result != IoResult::Ok; }

 private:
  void Emit(const char* data, std::size_t size);
  void Flush();

  IConnection& m_connection;
  std::chrono::milliseconds m_timeout;
  bool m_bNormalise;
  bool m_bLineStart = true;
  bool m_bPendingCR = false;
  IoResult m_result = IoResult::Ok;
  std::unique_ptr<char[]> m_pBuffer;
  std::size_t m_nBuffered = 0;
};

}  // namespace varnel
