// Reader of one HTTP/1.1 response (RFC 9112) as a token endpoint sends it: status line,
// header fields, and a body framed by Content-Length, chunked coding or the end of the
// connection. Bytes are fed as they arrive; sizes are bounded and every fault in the
// peer's bytes ends the reading with a text naming it, never an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace varnel {

class CHttpResponseReader {
 public:
  // A token reply is a few kilobytes; anything far larger is not one.
  static constexpr std::size_t kMaxHeader = 16 * 1024;
  static constexpr std::size_t kMaxBody = 64 * 1024;

  enum class State { Reading, Complete, Failed };

  // Takes the next bytes of the connection. Bytes after the end of the response are
  // ignored (the request asked for Connection: close).
  State Feed(const char* data, std::size_t size);
  // The peer closed the connection: completes a body that runs to the end of the
  // connection, and is a failure anywhere else.
  State Finish();

  State GetState() const { return m_eState; }
  const std::string& Error() const { return m_strError; }
  int StatusCode() const { return m_nStatus; }
  // Control characters of the peer's reason phrase are replaced by spaces.
  const std::string& Reason() const { return m_strReason; }
  // The value of the first header field of that name (case-insensitive); empty if none.
  std::string Header(const std::string& name) const;
  const std::string& Body() const { return m_strBody; }

 private:
  enum class Phase { StatusLine, Headers, FixedBody, ChunkSize, ChunkData, ChunkDataEnd, Trailers, CloseBody, Done };

  State Fail(std::string error);
  // Takes one complete line (without its line break) in the status/header/chunk phases.
  bool TakeLine(const std::string& line);
  bool TakeStatusLine(const std::string& line);
  bool TakeHeaderLine(const std::string& line);
  bool StartBody();
  bool TakeChunkSize(const std::string& line);
  bool AppendBody(const char* data, std::size_t size);

  State m_eState = State::Reading;
  Phase m_ePhase = Phase::StatusLine;
  std::string m_strError;
  std::string m_strLine;
  std::size_t m_nHeaderBytes = 0;
  int m_nStatus = 0;
  std::string m_strReason;
  std::vector<std::pair<std::string, std::string>> m_arrHeaders;
  std::string m_strBody;
  std::uint64_t m_nRemaining = 0;
};

}  // namespace varnel
