// Assembles complete SMTP replies from the bytes the relay sends (RFC 5321 section 4.2):
// lines end in CR LF, and a multi-line reply ends with the line whose fourth character
// is not "-". The relay is untrusted: control characters are censored, and a reply that
// grows past a fixed size is flagged instead of being cut into pieces that would each
// count as a reply.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace varnel {

class CSMTPReplyReader {
 public:
  // Largest reply taken; past it the reader keeps nothing more and reports TooLong.
  static constexpr std::size_t kMaxReply = 64 * 1024;

  // Takes the bytes of one read.
  void Feed(const char* data, std::size_t size);
  // Moves the next complete reply (without its final line end) into reply.
  bool Next(std::string& reply);
  // At the end of the stream: whatever was received but not ended, as one last reply.
  bool Finish(std::string& reply);
  // Bytes received that do not yet form a complete reply.
  bool HasPartial() const { return !m_strPending.empty() || !m_strReply.empty(); }
  // Anything received beyond the replies already taken: complete replies or a part.
  bool HasUnread() const { return HasPartial() || !m_arrReplies.empty(); }
  // A reply grew past kMaxReply; nothing is read after it.
  bool TooLong() const { return m_bTooLong; }

 private:
  void EndLine(std::string line);

  std::string m_strPending;  // bytes of the current, unfinished line
  std::string m_strReply;    // complete lines of the current reply, joined by CR LF
  std::deque<std::string> m_arrReplies;
  bool m_bTooLong = false;
};

}  // namespace varnel
