#include "mime/MimeSendFile.h"

#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "mime/AttachmentFiles.h"
#include "mime/AttachmentType.h"
#include "mime/Base64Encoder.h"
#include "mime/HeaderFieldWriter.h"
#include "mime/QuotedPrintableBodyStream.h"
#include "mime/InputFile.h"
#include "mime/QuotedPrintableEncoder.h"
#include "mime/MessageCharset.h"
#include "mime/TextPieceReader.h"
#include "platform/Unicode.h"

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

bool Has8Bit(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// The header of a file or result set part (RFC 2183 disposition): the type with the
// charset for text types, the name in both places, RFC 2231 pieces (tagged with the
// name's charset) where it needs them.
std::string PartHeader(const std::string& name, std::int32_t nameCharset, std::string_view type, const char* encoding,
                       const std::string& charset) {
  CHeaderFieldWriter writer(nameCharset, "\r\n");
  std::vector<CHeaderParameter> parameters;
  if (IsTextType(type)) parameters.push_back({"charset", charset});
  parameters.push_back({"name", name});
  std::string header = writer.WithParameters("Content-Type", type, parameters);
  header += writer.Structured("Content-Transfer-Encoding", encoding);
  header += writer.WithParameters("Content-Disposition", "attachment", {{"filename", name}});
  header += "\r\n";
  return header;
}

// Hands text to the encoder line by line: CR LF, LF and CR inside it become hard line
// breaks (a value's line break must not vanish); a final line end only ends the last line.
void EncodeTextLines(CQuotedPrintableEncoder& encoder, std::string_view text) {
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      if (start < text.size() || start == 0) encoder.EncodeLine(text.substr(start));
      return;
    }
    encoder.EncodeLine(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    if (start == text.size()) return;
  }
}

// Copies a text file to the base64 encoder with canonical line breaks (RFC 2046 section
// 4.1.1): a bare LF or a bare CR becomes CR LF, so readers can turn them into their own.
void EncodeCanonicalText(std::FILE* file, std::uint64_t limit, CBase64Encoder& encoder) {
  std::vector<unsigned char> block(CBase64Encoder::kReadBlock);
  std::vector<unsigned char> out;
  out.reserve(block.size() * 2 + 2);
  bool pendingCR = false;
  for (;;) {
    std::size_t count = ReadWithin(file, block.data(), block.size(), limit);
    if (count == 0) break;
    out.clear();
    for (std::size_t i = 0; i < count; ++i) {
      unsigned char c = block[i];
      if (pendingCR && c != '\n') {
        out.push_back('\r');
        out.push_back('\n');
      }
      pendingCR = false;
      if (c == '\r') {
        pendingCR = true;
      } else if (c == '\n') {
        out.push_back('\r');
        out.push_back('\n');
      } else {
        out.push_back(c);
      }
    }
    encoder.Encode(out.data(), out.size());
  }
  if (pendingCR) {
    const unsigned char lineEnd[] = {'\r', '\n'};
    encoder.Encode(lineEnd, 2);
  }
  encoder.Finish();
}

// A file system name (UTF-8) as it goes into the message: every byte sequence that is no
// UTF-8 character becomes U+FFFD, so that the utf-8 label is never wrong.
std::string ShownName(const std::string& name) { return Utf16ToUtf8(Utf8ToUtf16(name)); }

enum class TextBytes { Ascii, Utf8, Other };

// What the whole file holds, read from its start; the file is rewound afterwards.
TextBytes ClassifyTextBytes(std::FILE* file, std::uint64_t limit) {
  std::vector<char> block(CBase64Encoder::kReadBlock);
  std::string text;  // the bytes still to check: a sequence cut at a block's end, then the block
  TextBytes result = TextBytes::Ascii;
  for (std::size_t count; result != TextBytes::Other && (count = ReadWithin(file, block.data(), block.size(), limit)) > 0;) {
    std::string_view data(block.data(), count);
    if (text.empty() && !Has8Bit(data)) continue;
    result = TextBytes::Utf8;
    text.append(data);
    std::size_t offset = 0;
    while (offset < text.size()) {
      unsigned char lead = static_cast<unsigned char>(text[offset]);
      if (lead < 0x80) {
        ++offset;
        continue;
      }
      std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
      if (offset + need > text.size() && lead >= 0xC2 && lead <= 0xF4) break;  // completed by the next block
      std::size_t next = offset;
      DecodeUtf8(text, next);
      // A byte that starts no character is passed over alone.
      if (next - offset == 1) {
        result = TextBytes::Other;
        break;
      }
      offset = next;
    }
    text.erase(0, offset);
  }
  if (!text.empty()) result = TextBytes::Other;  // a sequence cut off at the end
  std::fseek(file, 0, SEEK_SET);
  return result;
}

}  // namespace

CMimeSendFile::CMimeSendFile(IByteSink& sink, std::string boundary, std::int32_t charset,
                             IFileSystem& files)
    : m_pSink(&sink), m_nCharset(charset), m_strBoundary(std::move(boundary)), m_pFileSystem(&files) {}

CMimeSendFile::~CMimeSendFile() = default;

void CMimeSendFile::AddFileList(const std::string& attachments) {
  CAttachmentFiles files = ExpandAttachmentList(*m_pFileSystem, attachments);
  m_arrFileNames.insert(m_arrFileNames.end(), files.arrNames.begin(), files.arrNames.end());
  m_arrFilePaths.insert(m_arrFilePaths.end(), files.arrPaths.begin(), files.arrPaths.end());
}

void CMimeSendFile::UseFiles(const CAttachmentFiles& files) {
  m_arrFileNames = files.arrNames;
  m_arrFilePaths = files.arrPaths;
  m_arrFileSizes = files.arrSizes;
  m_bFilesGiven = true;
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
  if (!m_bFilesGiven) AddFileList(attachments);

  if (m_arrFilePaths.empty()) {
    m_pSink->Write("\r\n--" + m_strBoundary + "\r\n");
    SendNoteText("Unable to open files " + PlainName(attachments) + "\r\n\r\n");
    if (closeMultipart) SendClosingDelimiter();
    return false;
  }

  for (std::size_t index = 0; index < m_arrFilePaths.size(); ++index) {
    if (index == 0) SendDelimiter();
    // One open handle serves the policy, the content check and the part: a file swapped
    // between them cannot change what is checked and sent.
    CInputFile file;
    if (OpenAttachment(index, file) == OpenResult::Refused) return false;
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

bool CMimeSendFile::CheckFiles(const std::string& attachments, std::string& refusal) {
  AddFileList(attachments);
  CAttachmentFiles files;
  files.arrPaths = m_arrFilePaths;
  bool allowed = CheckAttachmentFiles(files, m_policy, refusal);
  m_arrFileSizes = files.arrSizes;
  if (allowed) return true;
  m_strRefusal = refusal;
  return false;
}

CMimeSendFile::OpenResult CMimeSendFile::OpenAttachment(std::size_t index, CInputFile& file) {
  file = CInputFile(m_arrFilePaths[index]);
  if (!file.IsOpen()) return OpenResult::Unreadable;
  if (index < m_arrFileSizes.size()) file.LimitTo(m_arrFileSizes[index]);
  std::string reason;
  if (m_policy.Allows(file.Get(), m_arrFilePaths[index], reason)) return OpenResult::Opened;
  file.Close();
  m_strRefusal = reason;
  return OpenResult::Refused;
}

void CMimeSendFile::AddMatchingFiles(const std::string& pattern) {
  CAttachmentFiles files;
  varnel::AddMatchingFiles(*m_pFileSystem, pattern, files);
  m_arrFileNames.insert(m_arrFileNames.end(), files.arrNames.begin(), files.arrNames.end());
  m_arrFilePaths.insert(m_arrFilePaths.end(), files.arrPaths.begin(), files.arrPaths.end());
}

CMimeSendFile::FileContent CMimeSendFile::CheckContent(CInputFile& file) {
  if (!file.IsOpen()) return FileContent::Unreadable;
  auto block = std::make_unique<unsigned char[]>(kContentCheckSize);
  std::uint64_t limit = file.Limit();
  std::size_t count = ReadWithin(file.Get(), block.get(), kContentCheckSize, limit);
  if (std::fseek(file.Get(), 0, SEEK_SET) != 0) return FileContent::Unreadable;
  for (std::size_t i = 0; i < count; ++i) {
    if (!kTextBytes.arrText[block[i]]) return FileContent::Binary;
  }
  return FileContent::Text;
}

void CMimeSendFile::CheckWhole(std::size_t index, const CInputFile& file) {
  std::uint64_t now = 0;
  if (m_fnLog && OpenFileSize(file.Get(), now) && now < file.Limit()) {
    m_fnLog("File " + m_arrFileNames[index] + " shrank while it was sent: " + std::to_string(now) + " of " +
            std::to_string(file.Limit()) + " bytes left");
  } else if (m_fnLog && now > file.Limit()) {
    m_fnLog("File " + m_arrFileNames[index] + " grew while it was sent: the " + std::to_string(file.Limit()) +
            " bytes it held when it was checked were sent, not the " + std::to_string(now) + " it holds now");
  }
}

void CMimeSendFile::SendNote(const std::string& name, bool doubleLineEnd) {
  SendNoteText("Unable to open file " + PlainName(name) + (doubleLineEnd ? "\r\n\r\n" : "\r\n"));
}

void CMimeSendFile::SendNoteText(const std::string& name) {
  // Notes name files as the file system does: UTF-8.
  const std::string text = ShownName(name);
  CHeaderFieldWriter writer(kUtf8Charset, "\r\n");
  std::string header =
      writer.WithParameters("Content-Type", "text/plain", {{"charset", Has8Bit(text) ? "utf-8" : "us-ascii"}});
  // A name with 8-bit bytes is declared: quoted-printable reaches every relay.
  if (!Has8Bit(text)) {
    m_pSink->Write(header + "\r\n" + text);
    return;
  }
  m_pSink->Write(header + writer.Structured("Content-Transfer-Encoding", "quoted-printable") + "\r\n");
  CQuotedPrintableBodyStream encoded(*m_pSink);
  encoded.Write(text);
  encoded.Finish();
}

bool CMimeSendFile::SendFileBase64(std::size_t index) {
  if (index >= m_arrFilePaths.size()) return false;
  CInputFile file;
  if (OpenAttachment(index, file) == OpenResult::Refused) return false;
  return SendFileBase64(index, file);
}

bool CMimeSendFile::SendFileBase64(std::size_t index, CInputFile& file) {
  if (!file.IsOpen()) {
    SendNote(m_arrFileNames[index], false);
    return false;
  }
  std::string_view type = AttachmentType(m_arrFileNames[index]);
  m_pSink->Write(PartHeader(ShownName(m_arrFileNames[index]), kUtf8Charset, type, "base64", FileCharset(file, type)));
  CBase64Encoder encoder(*m_pSink);
  if (IsTextType(type)) {
    EncodeCanonicalText(file.Get(), file.Limit(), encoder);
  } else {
    encoder.EncodeFile(file.Get(), file.Limit());
  }
  CheckWhole(index, file);
  return true;
}

bool CMimeSendFile::SendFileQuotedPrintable(std::size_t index) {
  if (index >= m_arrFilePaths.size()) return false;
  CInputFile file;
  if (OpenAttachment(index, file) == OpenResult::Refused) return false;
  return SendFileQuotedPrintable(index, file);
}

bool CMimeSendFile::SendFileQuotedPrintable(std::size_t index, CInputFile& file) {
  // Opened in binary mode on every platform; the reader turns CR LF into LF itself, so
  // the pieces are those that text mode gives on Windows.
  if (!file.IsOpen()) {
    SendNote(m_arrFileNames[index], false);
    return false;
  }
  std::string_view type = AttachmentType(m_arrFileNames[index]);
  m_pSink->Write(
      PartHeader(ShownName(m_arrFileNames[index]), kUtf8Charset, type, "quoted-printable", FileCharset(file, type)));
  CQuotedPrintableEncoder& encoder = Encoder();
  if (!IsTextType(type)) {
    // Not text: the bytes themselves, line breaks encoded, so decoding gives the file.
    std::vector<char> block(CBase64Encoder::kReadBlock);
    std::uint64_t limit = file.Limit();
    for (std::size_t count; !m_pSink->Failed() && (count = ReadWithin(file.Get(), block.data(), block.size(), limit)) > 0;) {
      encoder.EncodeBytes(std::string_view(block.data(), count));
    }
    encoder.FinishBytes();
    CheckWhole(index, file);
    return true;
  }
  // Text: line by line, each line ended by a CR LF line break (RFC 2046 section 4.1.1).
  CTextPieceReader reader(file.Get(), file.Limit());
  std::string_view piece;
  while (!m_pSink->Failed() && reader.Next(piece)) {
    // The reader has made every CR LF one LF: a CR left is a line break of its own.
    for (std::size_t cr; (cr = piece.find('\r')) != std::string_view::npos;) {
      encoder.EncodeLine(piece.substr(0, cr));
      piece.remove_prefix(cr + 1);
      if (piece.empty()) break;
    }
    if (!piece.empty()) encoder.EncodeLine(piece);
  }
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
    SendResultsetAttachment(query.GetResultset(i), query.GetAttachmentName());
    if (i + 1 < count) SendDelimiter();
  }
  // The multipart body must end with its closing delimiter even without any result set.
  SendClosingDelimiter();
  return true;
}

void CMimeSendFile::SendResultsetAttachment(const CSMTPQueryResultset& resultset, const std::string& name) {
  SendQuotedPrintableHeader(name, resultset.Settings().m_bCSV ? "text/csv" : "text/plain");
  CQuotedPrintableEncoder& encoder = Encoder();
  std::string text;
  resultset.AppendHeader(text);
  EncodeTextLines(encoder, text);
  // Row by row as the store gives them back.
  CSMTPQueryResultset::CRowRenderer renderer(resultset);
  for (text.clear(); renderer.AppendNext(text); text.clear()) EncodeTextLines(encoder, text);
  encoder.Flush();
}

void CMimeSendFile::SendDelimiter() { m_pSink->Write("\r\n--" + m_strBoundary + "\r\n"); }

void CMimeSendFile::SendClosingDelimiter() { m_pSink->Write("\r\n--" + m_strBoundary + "--\r\n"); }

void CMimeSendFile::SendQuotedPrintableHeader(const std::string& name, std::string_view type) {
  m_pSink->Write(PartHeader(name, m_nCharset, type, "quoted-printable", CharsetName(m_nCharset)));
}

std::string CMimeSendFile::FileCharset(CInputFile& file, std::string_view type) const {
  if (!IsTextType(type)) return {};
  switch (ClassifyTextBytes(file.Get(), file.Limit())) {
    case TextBytes::Ascii: return "us-ascii";
    case TextBytes::Utf8: return "utf-8";
    case TextBytes::Other: break;
  }
  return CharsetName(m_nFileCharset);
}

CQuotedPrintableEncoder& CMimeSendFile::Encoder() {
  if (!m_pEncoder) m_pEncoder = std::make_unique<CQuotedPrintableEncoder>(*m_pSink);
  return *m_pEncoder;
}

}  // namespace varnel
