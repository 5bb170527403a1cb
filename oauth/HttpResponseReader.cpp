#include "oauth/HttpResponseReader.h"

#include "platform/AsciiCase.h"

namespace varnel {
namespace {

bool IsTokenChar(unsigned char c) {
  // RFC 9110 section 5.6.2: tchar.
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

std::string Trimmed(const std::string& text) {
  std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return {};
  std::size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

// The comma-separated elements of a field value (RFC 9110 section 5.6.1), empty ones dropped.
std::vector<std::string> ListElements(const std::string& value) {
  std::vector<std::string> elements;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = value.find(',', start);
    std::string element = Trimmed(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (!element.empty()) elements.push_back(element);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return elements;
}

}  // namespace

CHttpResponseReader::State CHttpResponseReader::Fail(std::string error) {
  m_eState = State::Failed;
  m_strError = std::move(error);
  return m_eState;
}

std::string CHttpResponseReader::Header(const std::string& name) const {
  std::string wanted = AsciiLower(name);
  for (const auto& field : m_arrHeaders) {
    if (field.first == wanted) return field.second;
  }
  return {};
}

CHttpResponseReader::State CHttpResponseReader::Feed(const char* data, std::size_t size) {
  std::size_t at = 0;
  while (at < size && m_eState == State::Reading) {
    switch (m_ePhase) {
      case Phase::FixedBody:
      case Phase::ChunkData: {
        std::size_t piece = size - at;
        if (piece > m_nRemaining) piece = static_cast<std::size_t>(m_nRemaining);
        if (!AppendBody(data + at, piece)) return m_eState;
        at += piece;
        m_nRemaining -= piece;
        if (m_nRemaining == 0) {
          m_ePhase = m_ePhase == Phase::FixedBody ? Phase::Done : Phase::ChunkDataEnd;
          if (m_ePhase == Phase::Done) m_eState = State::Complete;
        }
        break;
      }
      case Phase::CloseBody:
        if (!AppendBody(data + at, size - at)) return m_eState;
        at = size;
        break;
      case Phase::Done:
        m_eState = State::Complete;
        break;
      default: {
        // Line phases: a line ends at LF; a CR before it is dropped (RFC 9112 section 2.2
        // lets a recipient take a bare LF as the end of a line).
        char c = data[at++];
        if (m_ePhase == Phase::StatusLine || m_ePhase == Phase::Headers || m_ePhase == Phase::Trailers) {
          if (++m_nHeaderBytes > kMaxHeader) return Fail("reply header larger than " + std::to_string(kMaxHeader) + " bytes");
        }
        if (c != '\n') {
          if (m_strLine.size() >= kMaxHeader) return Fail("reply line too long");
          m_strLine += c;
          break;
        }
        if (!m_strLine.empty() && m_strLine.back() == '\r') m_strLine.pop_back();
        std::string line;
        line.swap(m_strLine);
        if (line.find('\r') != std::string::npos) return Fail("bare CR in the reply header");
        if (!TakeLine(line)) return m_eState;
        break;
      }
    }
  }
  return m_eState;
}

CHttpResponseReader::State CHttpResponseReader::Finish() {
  if (m_eState != State::Reading) return m_eState;
  if (m_ePhase == Phase::CloseBody || m_ePhase == Phase::Done) {
    m_ePhase = Phase::Done;
    m_eState = State::Complete;
    return m_eState;
  }
  if (m_ePhase == Phase::StatusLine && m_nHeaderBytes == 0) return Fail("connection closed without a reply");
  return Fail("connection closed before the end of the reply");
}

bool CHttpResponseReader::TakeLine(const std::string& line) {
  switch (m_ePhase) {
    case Phase::StatusLine:
      return TakeStatusLine(line);
    case Phase::Headers:
      return TakeHeaderLine(line);
    case Phase::ChunkSize:
      return TakeChunkSize(line);
    case Phase::ChunkDataEnd:
      if (!line.empty()) {
        Fail("chunk not followed by a line break");
        return false;
      }
      m_ePhase = Phase::ChunkSize;
      return true;
    case Phase::Trailers:
      // Trailer fields carry nothing a token reply needs (RFC 9112 section 7.1.2).
      if (line.empty()) {
        m_ePhase = Phase::Done;
        m_eState = State::Complete;
      }
      return true;
    default:
      return true;
  }
}

bool CHttpResponseReader::TakeStatusLine(const std::string& line) {
  // status-line = HTTP-version SP status-code SP [ reason-phrase ]  (RFC 9112 section 4)
  if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || line[7] < '0' || line[7] > '9' || line[8] != ' ') {
    Fail("not an HTTP/1.x reply");
    return false;
  }
  int status = 0;
  for (std::size_t i = 9; i < 12; ++i) {
    if (line[i] < '0' || line[i] > '9') {
      Fail("bad status code in the reply");
      return false;
    }
    status = status * 10 + (line[i] - '0');
  }
  if (status < 100 || (line.size() > 12 && line[12] != ' ')) {
    Fail("bad status code in the reply");
    return false;
  }
  if (status == 101) {
    Fail("the endpoint switched protocols");
    return false;
  }
  m_nStatus = status;
  m_strReason = line.size() > 13 ? line.substr(13) : std::string();
  for (char& c : m_strReason) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  m_arrHeaders.clear();
  m_ePhase = Phase::Headers;
  return true;
}

bool CHttpResponseReader::TakeHeaderLine(const std::string& line) {
  if (line.empty()) {
    // An interim reply (RFC 9110 section 15.2) is followed by the final one.
    if (m_nStatus < 200) {
      m_ePhase = Phase::StatusLine;
      return true;
    }
    return StartBody();
  }
  if (line[0] == ' ' || line[0] == '\t') {
    // RFC 9112 section 5.2: obsolete line folding may be rejected.
    Fail("folded header field in the reply");
    return false;
  }
  std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) {
    Fail("bad header field in the reply");
    return false;
  }
  for (std::size_t i = 0; i < colon; ++i) {
    if (!IsTokenChar(static_cast<unsigned char>(line[i]))) {
      Fail("bad header field name in the reply");
      return false;
    }
  }
  m_arrHeaders.emplace_back(AsciiLower(line.substr(0, colon)), Trimmed(line.substr(colon + 1)));
  return true;
}

bool CHttpResponseReader::StartBody() {
  // RFC 9112 section 6.3: the order in which the framing of a response is decided.
  if (m_nStatus == 204 || m_nStatus == 304) {
    m_ePhase = Phase::Done;
    m_eState = State::Complete;
    return true;
  }
  std::vector<std::string> codings;
  std::vector<std::string> lengths;
  bool hasTransferEncoding = false;
  for (const auto& field : m_arrHeaders) {
    if (field.first == "transfer-encoding") {
      hasTransferEncoding = true;
      for (std::string& coding : ListElements(field.second)) codings.push_back(AsciiLower(coding));
    } else if (field.first == "content-length") {
      for (std::string& length : ListElements(field.second)) lengths.push_back(length);
      if (ListElements(field.second).empty()) lengths.push_back(std::string());
    } else if (field.first == "content-encoding") {
      // Nothing was offered in Accept-Encoding, so only identity is acceptable.
      for (std::string& coding : ListElements(field.second)) {
        if (AsciiLower(coding) != "identity") {
          Fail("the reply is encoded (" + AsciiLower(coding).substr(0, 40) + ")");
          return false;
        }
      }
    }
  }
  if (hasTransferEncoding) {
    // Transfer-Encoding overrides Content-Length; without chunked last the body runs to
    // the end of the connection.
    m_ePhase = !codings.empty() && codings.back() == "chunked" ? Phase::ChunkSize : Phase::CloseBody;
    return true;
  }
  if (!lengths.empty()) {
    std::uint64_t length = 0;
    for (std::size_t n = 0; n < lengths.size(); ++n) {
      const std::string& text = lengths[n];
      if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos ||
          (n > 0 && text != lengths[0])) {
        Fail("bad Content-Length in the reply");
        return false;
      }
      if (n == 0) length = std::stoull(text);
    }
    if (length > kMaxBody) {
      Fail("reply body larger than " + std::to_string(kMaxBody) + " bytes");
      return false;
    }
    m_nRemaining = length;
    m_ePhase = length == 0 ? Phase::Done : Phase::FixedBody;
    if (length == 0) m_eState = State::Complete;
    return true;
  }
  m_ePhase = Phase::CloseBody;
  return true;
}

bool CHttpResponseReader::TakeChunkSize(const std::string& line) {
  // chunk = chunk-size [ chunk-ext ] CRLF chunk-data CRLF  (RFC 9112 section 7.1)
  std::uint64_t size = 0;
  std::size_t i = 0;
  for (; i < line.size(); ++i) {
    char c = line[i];
    int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (digit < 0) break;
    size = size * 16 + static_cast<std::uint64_t>(digit);
    if (size > kMaxBody) {
      Fail("reply body larger than " + std::to_string(kMaxBody) + " bytes");
      return false;
    }
  }
  std::string rest = Trimmed(line.substr(i));
  if (i == 0 || (!rest.empty() && rest[0] != ';')) {
    Fail("bad chunk size in the reply");
    return false;
  }
  if (size == 0) {
    m_nHeaderBytes = 0;
    m_ePhase = Phase::Trailers;
    return true;
  }
  m_nRemaining = size;
  m_ePhase = Phase::ChunkData;
  return true;
}

bool CHttpResponseReader::AppendBody(const char* data, std::size_t size) {
  if (m_strBody.size() + size > kMaxBody) {
    Fail("reply body larger than " + std::to_string(kMaxBody) + " bytes");
    return false;
  }
  m_strBody.append(data, size);
  return true;
}

}  // namespace varnel
