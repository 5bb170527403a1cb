#include "smtp/SMTPReplyReader.h"

namespace varnel {
namespace {

// Keeps tab, CR and LF; any other control character is replaced, so that a reply cannot
// smuggle terminal escapes or NUL bytes into the log or the caller's outcome row.
char Censor(unsigned char c) {
  if (c == '\t' || c >= 0x20) return static_cast<char>(c);
  return '?';
}

}  // namespace

void CSMTPReplyReader::Feed(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size && !m_bTooLong; ++i) {
    char c = data[i];
    if (c == '\n') {
      // A line ends at LF; the CR before it belongs to the line end, not the text.
      std::string line = std::move(m_strPending);
      m_strPending.clear();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      EndLine(std::move(line));
      continue;
    }
    if (c == '\r') {
      m_strPending += '\r';
    } else {
      if (!m_strPending.empty() && m_strPending.back() == '\r') m_strPending.back() = '?';
      m_strPending += Censor(static_cast<unsigned char>(c));
    }
    if (m_strPending.size() + m_strReply.size() >= kMaxReply) {
      m_bTooLong = true;
      m_strPending.clear();
      m_strReply.clear();
    }
  }
}

void CSMTPReplyReader::EndLine(std::string line) {
  for (char& c : line) {
    if (c == '\r') c = '?';
  }
  if (!m_strReply.empty()) m_strReply += "\r\n";
  m_strReply += line;
  bool continued = line.size() >= 4 && line[3] == '-';
  if (!continued) {
    m_arrReplies.push_back(std::move(m_strReply));
    m_strReply.clear();
  }
}

bool CSMTPReplyReader::Finish(std::string& reply) {
  if (Next(reply)) return true;
  if (m_strPending.empty() && m_strReply.empty()) return false;
  std::string line = std::move(m_strPending);
  m_strPending.clear();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  for (char& c : line) {
    if (c == '\r') c = '?';
  }
  if (!m_strReply.empty()) m_strReply += "\r\n";
  m_strReply += line;
  reply = std::move(m_strReply);
  m_strReply.clear();
  return true;
}

bool CSMTPReplyReader::Next(std::string& reply) {
  if (m_arrReplies.empty()) return false;
  reply = std::move(m_arrReplies.front());
  m_arrReplies.pop_front();
  return true;
}

}  // namespace varnel
