#include "mime/MimeSendFile.h"

#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"

#include <algorithm>
#include <array>

#include "mime/Base64Encoder.h"
#include "mime/InputFile.h"
#include "mime/QuotedPrintableEncoder.h"
#include "mime/TextPieceReader.h"

namespace varnel {
namespace {

// Bytes that may appear in a file sent as text: printable ASCII, backspace, tab, line
// feed and carriage return. Anything else (form feed, NUL, DEL, 8-bit bytes) sends the
// file base64.
struct CTextByteTable {
  std::array<bool, 256> arrText{};
  constexpr CTextByteTable() {
    for (int c = 0x20; c <= 0x7E; ++c) arrText[static_cast<std::size_t>(c)] = true;
    arrText[0x08] = arrText[0x09] = arrText[0x0A] = arrText[0x0D] = true;
  }
};
constexpr CTextByteTable kTextBytes;

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// A name or list as it stands in a note's text, byte for byte but for line ends: a CR or
// LF would let a file name start a line of its own (a boundary that ends the message
// early), and a NUL byte is not allowed in a message, so each of them becomes "_".
std::string PlainName(const std::string& name) {
  std::string result = name;
  for (char& c : result) {
    if (c == '\r' || c == '\n' || c == '\0') c = '_';
  }
  return result;
}

// A name inside a quoted-string parameter value (RFC 2045 section 5.1, RFC 822
// quoted-string): a double quote or backslash is preceded by a backslash.
std::string QuotedName(const std::string& name) {
  std::string result;
  result.reserve(name.size() + 2);
  for (char c : name) {
    if (IsControl(static_cast<unsigned char>(c))) {
      result += '_';
      continue;
    }
    if (c == '"' || c == '\\') result += '\\';
    result += c;
  }
  return result;
}

// The quoted name in numbered pieces of at most kPiece characters, never splitting an
// escape pair.
std::string ContinuedParameterLines(const char* parameter, const std::string& quoted) {
  constexpr std::size_t kPiece = 900;
  std::string lines;
  std::size_t start = 0;
  for (int number = 0; start < quoted.size() || number == 0; ++number) {
    std::size_t end = std::min(quoted.size(), start + kPiece);
    // A piece may not end inside "\x": count the backslashes before the cut.
    std::size_t backslashes = 0;
    while (end - backslashes > start && quoted[end - backslashes - 1] == '\\') ++backslashes;
    if (backslashes % 2 == 1) --end;
    lines += std::string("\t") + parameter + "*" + std::to_string(number) + "=\"";
    lines.append(quoted, start, end - start);
    lines += end < quoted.size() ? "\";\r\n" : "\"\r\n";
    start = end;
  }
  return lines;
}

// A parameter line of a part header ("\tname=\"...\""), folded before blanks of the
// quoted name so that no line exceeds 998 characters (RFC 5322 section 2.1.1; folding
// white space may stand inside a quoted-string, and unfolding restores it). A name with a
// stretch too long to fold goes out in numbered pieces instead (RFC 2231 section 3:
// name*0="...";, name*1="...", each on a line of its own), which parsers join again.
std::string ParameterLine(const char* parameter, const std::string& quoted) {
  constexpr std::size_t kMaxLine = 998;
  std::string line = std::string("\t") + parameter + "=\"";
  std::size_t column = line.size();
  std::size_t start = 0;
  while (quoted.size() - start + column + 1 > kMaxLine) {
    std::size_t room = kMaxLine - column;
    std::size_t cut = quoted.find_last_of(" \t", start + room);
    if (cut == std::string::npos || cut <= start) return ContinuedParameterLines(parameter, quoted);
    line.append(quoted, start, cut - start);
    line += "\r\n";
    column = 0;
    start = cut;
  }
  line.append(quoted, start, std::string::npos);
  line += "\"\r\n";
  return line;
}

std::string PartHeader(const std::string& name, const char* encoding) {
  std::string quoted = QuotedName(name);
  std::string header = "Content-Type: application/octet-stream;\r\n";
  header += ParameterLine("name", quoted);
  header += "Content-Transfer-Encoding: ";
  header += encoding;
  header += "\r\nContent-Disposition: attachment;\r\n";
  header += ParameterLine("filename", quoted);
  header += "\r\n";
  return header;
}

constexpr char kListSeparators[] = "\t \n\f\r";

}  // namespace

CMimeSendFile::CMimeSendFile(IByteSink& sink, std::string boundary, std::int32_t charset,
                             IFileSystem& files)
    : m_pSink(&sink), m_nCharset(charset), m_strBoundary(std::move(boundary)), m_pFileSystem(&files) {}

CMimeSendFile::~CMimeSendFile() = default;

void CMimeSendFile::AddFileList(const std::string& attachments) {
  std::string list = attachments;
  for (char& c : list) {
    if (c == ';') c = ',';
  }
  if (list.find(',') == std::string::npos) {
    // A lone item is used as given, blanks and all.
    AddMatchingFiles(list);
  } else {
    std::size_t start = 0;
    for (;;) {
      std::size_t comma = list.find(',', start);
      std::size_t end = comma == std::string::npos ? list.size() : comma;
      std::size_t first = list.find_first_not_of(kListSeparators, start);
      if (first != std::string::npos && first < end) {
        std::size_t last = list.find_last_not_of(kListSeparators, end - 1);
        AddMatchingFiles(list.substr(first, last - first + 1));
      }
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
}

std::uint64_t CMimeSendFile::TotalFileBytes() const {
  std::uint64_t total = 0;
  for (const std::string& path : m_arrFilePaths) {
    CInputFile file(path);
    if (file.IsOpen()) total += file.Size();
  }
  return total;
}

bool CMimeSendFile::SendAttachments(std::string attachments, bool closeMultipart) {
  AddFileList(attachments);

  if (m_arrFilePaths.empty()) {
    std::string note = "\r\n--" + m_strBoundary + "\r\n";
    note += "Content-Type: text/plain;\r\n\tcharset=\"iso-8859-" + std::to_string(m_nCharset) + "\"\r\n\r\n";
    note += "Unable to open files " + PlainName(attachments) + "\r\n\r\n";
    m_pSink->Write(note);
    if (closeMultipart) SendClosingDelimiter();
    return false;
  }

  for (std::size_t index = 0; index < m_arrFilePaths.size(); ++index) {
    if (index == 0) SendDelimiter();
    // One open handle serves the content check and the part: a file swapped between
    // the two cannot change what is sent.
    CInputFile file(m_arrFilePaths[index]);
    switch (CheckContent(file)) {
      case FileContent::Unreadable:
        SendNote(m_arrFileNames[index], true);
        break;
      case FileContent::Binary:
        SendFileBase64(index, file);
        break;
      case FileContent::Text:
        SendFileQuotedPrintable(index, file);
        break;
    }
    if (index + 1 < m_arrFilePaths.size()) {
      SendDelimiter();
    } else if (closeMultipart) {
      SendClosingDelimiter();
    }
  }
  return true;
}

void CMimeSendFile::AddMatchingFiles(const std::string& pattern) {
  for (CFoundFile& found : m_pFileSystem->FindFiles(pattern)) {
    m_arrFileNames.push_back(std::move(found.strName));
    m_arrFilePaths.push_back(std::move(found.strFullPath));
  }
}

CMimeSendFile::FileContent CMimeSendFile::CheckContent(CInputFile& file) {
  if (!file.IsOpen()) return FileContent::Unreadable;
  auto block = std::make_unique<unsigned char[]>(kContentCheckSize);
  std::size_t count = std::fread(block.get(), 1, kContentCheckSize, file.Get());
  if (std::fseek(file.Get(), 0, SEEK_SET) != 0) return FileContent::Unreadable;
  for (std::size_t i = 0; i < count; ++i) {
    if (!kTextBytes.arrText[block[i]]) return FileContent::Binary;
  }
  return FileContent::Text;
}

void CMimeSendFile::CheckWhole(std::size_t index, const CInputFile& file) {
  std::uint64_t now = 0;
  if (m_fnLog && OpenFileSize(file.Get(), now) && now < file.Size()) {
    m_fnLog("File " + m_arrFileNames[index] + " shrank while it was sent: " + std::to_string(now) + " of " +
            std::to_string(file.Size()) + " bytes left");
  }
}

void CMimeSendFile::SendNote(const std::string& name, bool doubleLineEnd) {
  std::string note = "Content-Type: text/plain;\r\n\tcharset=\"iso-8859-" + std::to_string(m_nCharset) + "\"\r\n\r\n";
  note += "Unable to open file " + PlainName(name) + (doubleLineEnd ? "\r\n\r\n" : "\r\n");
  m_pSink->Write(note);
}

bool CMimeSendFile::SendFileBase64(std::size_t index) {
  if (index >= m_arrFilePaths.size()) return false;
  CInputFile file(m_arrFilePaths[index]);
  return SendFileBase64(index, file);
}

bool CMimeSendFile::SendFileBase64(std::size_t index, CInputFile& file) {
  if (!file.IsOpen()) {
    SendNote(m_arrFileNames[index], false);
    return false;
  }
  m_pSink->Write(PartHeader(m_arrFileNames[index], "base64"));
  CBase64Encoder encoder(*m_pSink);
  encoder.EncodeFile(file.Get());
  CheckWhole(index, file);
  return true;
}

bool CMimeSendFile::SendFileQuotedPrintable(std::size_t index) {
  if (index >= m_arrFilePaths.size()) return false;
  CInputFile file(m_arrFilePaths[index]);
  return SendFileQuotedPrintable(index, file);
}

bool CMimeSendFile::SendFileQuotedPrintable(std::size_t index, CInputFile& file) {
  // Opened in binary mode on every platform; the reader turns CR LF into LF itself, so
  // the pieces are those that text mode gives on Windows.
  if (!file.IsOpen()) {
    SendNote(m_arrFileNames[index], false);
    return false;
  }
  SendQuotedPrintableHeader(m_arrFileNames[index]);
  CQuotedPrintableEncoder& encoder = Encoder();
  CTextPieceReader reader(file.Get());
  std::string_view piece;
  while (reader.Next(piece)) encoder.EncodeLine(piece);
  encoder.Flush();
  CheckWhole(index, file);
  return true;
}

bool CMimeSendFile::SendQuotedPrintableLine(std::string_view text) {
  CQuotedPrintableEncoder& encoder = Encoder();
  encoder.EncodeLine(text);
  encoder.Flush();
  return true;
}

bool CMimeSendFile::SendQueryAttachments(const CSMTPOLEDBQuery& query) {
  std::size_t count = query.GetResultsetCount();
  for (std::size_t i = 0; i < count; ++i) {
    if (i == 0) SendDelimiter();
    SendResultsetAttachment(query.GetResultset(i));
    if (i + 1 < count) SendDelimiter();
  }
  // The multipart body must end with its closing delimiter even without any result set.
  SendClosingDelimiter();
  return true;
}

void CMimeSendFile::SendResultsetAttachment(const CSMTPQueryResultset& resultset) {
  const CSMTPOLEDBQuery& query = resultset.GetQuery();
  SendQuotedPrintableHeader(query.m_strFileName.empty() ? query.m_strQuery : query.m_strFileName);
  CQuotedPrintableEncoder& encoder = Encoder();
  std::string text;
  resultset.AppendHeader(text);
  encoder.EncodeLine(text);
  for (std::size_t row = 0; row < resultset.GetRowCount(); ++row) {
    text.clear();
    resultset.AppendRow(row, text);
    encoder.EncodeLine(text);
  }
  encoder.Flush();
}

void CMimeSendFile::SendDelimiter() { m_pSink->Write("\r\n--" + m_strBoundary + "\r\n"); }

void CMimeSendFile::SendClosingDelimiter() { m_pSink->Write("\r\n--" + m_strBoundary + "--\r\n"); }

void CMimeSendFile::SendQuotedPrintableHeader(const std::string& name) {
  m_pSink->Write(PartHeader(name, "quoted-printable"));
}

CQuotedPrintableEncoder& CMimeSendFile::Encoder() {
  if (!m_pEncoder) m_pEncoder = std::make_unique<CQuotedPrintableEncoder>(*m_pSink);
  return *m_pEncoder;
}

}  // namespace varnel
