// The DATA phase byte stream: buffers the message (64 KiB per send) and applies the
// transparency of RFC 5321 section 4.5.2 to every line. With CR LF as the terminator it
// also turns bare CR and bare LF into CR LF (section 2.3.8). A failed or timed-out send
// is remembered; later writes are dropped and the owner reports the failure.
// Before each send the owner may look for a reply that arrived meanwhile: a relay that
// answers before the end of data ends the message there, and the end-of-data line is
// then never sent.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
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
  // Ends the message and sends everything buffered: the end-of-data line CR LF "." CR LF,
  // whose first CR LF ends the last line of the text, so a text that already ends with
  // CR LF is followed by "." CR LF alone (RFC 5321 section 4.1.1.4).
  IoResult Finish();
  IoResult Result() const { return m_result; }
  bool Failed() const override { return m_result != IoResult::Ok || m_bInterrupted; }
  // Asked before every send: true stops the stream (nothing more is sent).
  std::function<bool()> m_fnInterrupt;
  // No send starts after this point and none waits past it: the stream then fails as a
  // send that timed out.
  std::chrono::steady_clock::time_point m_tDeadline = std::chrono::steady_clock::time_point::max();
  bool Interrupted() const { return m_bInterrupted; }
  // The message's size as RFC 1870 counts it: the octets sent up to the end-of-data
  // line, its leading CR LF included, the dots added for transparency not. Known once
  // Finish has run.
  std::uint64_t MessageOctets() const { return m_nMessageOctets; }

 private:
  void Emit(const char* data, std::size_t size);
  void Flush();
  // One send, each wait bounded by the time-out and the deadline.
  IoResult Send(const char* data, std::size_t size);

  IConnection& m_connection;
  std::chrono::milliseconds m_timeout;
  bool m_bNormalise;
  bool m_bLineStart = true;
  bool m_bPendingCR = false;
  bool m_bInterrupted = false;
  IoResult m_result = IoResult::Ok;
  std::unique_ptr<char[]> m_pBuffer;
  std::size_t m_nBuffered = 0;
  // The last two bytes emitted ('\0' before any), whether the text ends with CR LF.
  char m_cBeforeLast = '\0';
  char m_cLast = '\0';
  std::uint64_t m_nEmitted = 0;
  std::uint64_t m_nStuffed = 0;
  std::uint64_t m_nMessageOctets = 0;
};

}  // namespace varnel
