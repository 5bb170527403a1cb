// Attachment writer: expands a list of file names and wildcard patterns (UTF-8, as the
// file system names files) into MIME parts (RFC 2046 section 5.1) appended to a
// multipart body, each file base64 or quoted-printable by its content and typed by its
// extension (text types with the charset of their bytes and CR LF line breaks, other
// types byte for byte). A file that cannot be found or opened becomes a short plain-text
// note inside the message; a file that the attachment policy refuses stops the writer at
// once, with the reason in Refusal().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mime/AttachmentFiles.h"
#include "mime/ByteSink.h"
#include "platform/AttachmentPolicy.h"
#include "platform/FileSystem.h"

namespace varnel {

class CSMTPOLEDBQuery;
class CSMTPQueryResultset;

class CQuotedPrintableEncoder;
class CInputFile;

class CMimeSendFile {
 public:
  // Bytes of a file examined to choose its encoding.
  static constexpr std::size_t kContentCheckSize = 57000;

  CMimeSendFile(IByteSink& sink, std::string boundary, std::int32_t charset, IFileSystem& files);
  ~CMimeSendFile();
  CMimeSendFile(const CMimeSendFile&) = delete;
  CMimeSendFile& operator=(const CMimeSendFile&) = delete;

  // The files to attach, expanded before (ExpandAttachmentList): SendAttachments sends
  // these instead of expanding its list again.
  void UseFiles(const CAttachmentFiles& files);
  // Sends one part per file that the list names (items separated by ";" or ","), with
  // the delimiters between them; closeMultipart adds the closing delimiter after the
  // last one. False when no file was found (the message then carries a note instead).
  bool SendAttachments(std::string attachments, bool closeMultipart);
  // One quoted-printable part per captured result set, delimited; always ends with the
  // closing delimiter, also when the query captured no result set.
  bool SendQueryAttachments(const CSMTPOLEDBQuery& query);
  // One result set as one quoted-printable part (header and body) named name.
  void SendResultsetAttachment(const CSMTPQueryResultset& resultset, const std::string& name);
  // Appends the files of a list (items separated by ";" or ",", wildcards expanded).
  void AddFileList(const std::string& attachments);
  // The bytes of the listed files as they are now (a lower bound of their encoded size).
  std::uint64_t TotalFileBytes() const;
  // Appends every regular file matching one name or wildcard pattern.
  void AddMatchingFiles(const std::string& pattern);
  // Whether every file of the list may be attached, each opened and checked as it is when
  // sent; false with the reason for the first refused one. A file that cannot be opened
  // is no refusal (it becomes a note).
  bool CheckFiles(const std::string& attachments, std::string& refusal);
  // Which files may be attached (default: the built-in refusals only).
  void SetAttachmentPolicy(CAttachmentPolicy policy) { m_policy = std::move(policy); }
  // Why the writer stopped: a file the policy refused; empty when none was.
  const std::string& Refusal() const { return m_strRefusal; }
  // One part (header and body, no delimiters) for found file index; false when the file
  // could not be opened and a note was sent in its place.
  bool SendFileBase64(std::size_t index);
  bool SendFileQuotedPrintable(std::size_t index);
  // One line of text, quoted-printable, ended by a hard line break.
  bool SendQuotedPrintableLine(std::string_view text);

  // Building blocks for parts whose content does not come from a file.
  void SendDelimiter();
  void SendClosingDelimiter();
  // Header of a quoted-printable attachment part named name.
  void SendQuotedPrintableHeader(const std::string& name, std::string_view type = "text/plain");

  // Where notes about the files go (the send's log); may be empty.
  std::function<void(const std::string&)> m_fnLog;
  // The charset of a text file whose bytes are neither 7-bit nor UTF-8 (a text file
  // declares the charset of its own bytes: us-ascii, utf-8, else this one).
  std::int32_t m_nFileCharset = 1;

  const std::vector<std::string>& FileNames() const { return m_arrFileNames; }
  const std::vector<std::string>& FilePaths() const { return m_arrFilePaths; }

 private:
  enum class FileContent { Text, Binary, Unreadable };
  enum class OpenResult { Opened, Unreadable, Refused };
  // The one place where a found file is opened to be sent: opens entry index and applies
  // the attachment policy to the open file (a refusal closes it and sets m_strRefusal).
  OpenResult OpenAttachment(std::size_t index, CInputFile& file);
  // Reads the first block to choose the encoding, then rewinds.
  FileContent CheckContent(CInputFile& file);
  bool SendFileBase64(std::size_t index, CInputFile& file);
  bool SendFileQuotedPrintable(std::size_t index, CInputFile& file);
  // Logs a file that became shorter, or longer, than the bytes sent of it.
  void CheckWhole(std::size_t index, const CInputFile& file);
  void SendNote(const std::string& name, bool doubleLineEnd);
  // A text/plain part (header and text) naming files by their file system names.
  void SendNoteText(const std::string& text);
  // The charset parameter of a file part of this type (empty when it takes none).
  std::string FileCharset(CInputFile& file, std::string_view type) const;
  CQuotedPrintableEncoder& Encoder();

  IByteSink* m_pSink;
  std::int32_t m_nCharset;  // the message's charset number (mime/MessageCharset.h)
  std::string m_strBoundary;
  std::vector<std::string> m_arrFileNames;
  std::vector<std::string> m_arrFilePaths;
  std::vector<std::uint64_t> m_arrFileSizes;  // as checked; empty or UINT64_MAX: as opened
  IFileSystem* m_pFileSystem;
  std::unique_ptr<CQuotedPrintableEncoder> m_pEncoder;
  CAttachmentPolicy m_policy;
  std::string m_strRefusal;
  bool m_bFilesGiven = false;
};

}  // namespace varnel
