#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <map>

#include "MimeTestSupport.h"
#include "mime/Base64Encoder.h"
#include "mime/AttachmentFiles.h"
#include "mime/MimeSendFile.h"
#include "platform/Platform.h"

namespace varnel {
namespace {

using test::CMemorySink;
using test::CScratchDirectory;

const std::string kBoundary = "----=_NextPart_000_0001";
const std::string kDelimiter = "\r\n--" + kBoundary + "\r\n";
const std::string kClosing = "\r\n--" + kBoundary + "--\r\n";

// The header of a part whose name is short enough for one line per field.
// A text file declares the charset of its own bytes: us-ascii for 7-bit ones.
std::string Header(const std::string& quotedName, const std::string& encoding,
                   const std::string& type = "application/octet-stream", const std::string& textCharset = "us-ascii") {
  std::string charset = type.rfind("text/", 0) == 0 ? "; charset=\"" + textCharset + "\"" : "";
  return "Content-Type: " + type + charset + "; name=\"" + quotedName + "\"\r\nContent-Transfer-Encoding: " +
         encoding + "\r\nContent-Disposition: attachment; filename=\"" + quotedName + "\"\r\n\r\n";
}

// The charset a text file of these bytes declares (none of them UTF-8 here), with the
// writer's default for other files.
std::string FileCharset(const std::string& content) {
  for (unsigned char c : content) {
    if (c >= 0x80) return "iso-8859-1";
  }
  return "us-ascii";
}

// Text as a text part carries it: every line break CR LF.
std::string Canonical(const std::string& text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\r' || text[i] == '\n') {
      result += "\r\n";
    } else {
      result += text[i];
    }
  }
  return result;
}

// Answers patterns from a fixed table and records every pattern it was asked for.
class CFakeFileSystem final : public IFileSystem {
 public:
  std::vector<CFoundFile> FindFiles(const std::string& pattern) override {
    m_arrPatterns.push_back(pattern);
    auto found = m_mapFiles.find(pattern);
    return found == m_mapFiles.end() ? std::vector<CFoundFile>{} : found->second;
  }
  std::map<std::string, std::vector<CFoundFile>> m_mapFiles;
  std::vector<std::string> m_arrPatterns;
};

TEST(MimeSendFileTest, TwoFilesTextThenBinaryOnTheWire) {
  const std::string data = std::string(VARNEL_TEST_DATA_DIR) + "/mime/";
  CMemorySink sink;
  CMimeSendFile writer(sink, kBoundary, 1, DefaultFileSystem());
  EXPECT_TRUE(writer.SendAttachments(data + "a.txt;" + data + "b.bin", true));
  std::string expected = kDelimiter + Header("a.txt", "quoted-printable", "text/plain") +
                         "Hello,=20world=2E\r\n"
                         "Second=20line=20=3D=20two=09parts\r\n" +
                         kDelimiter + Header("b.bin", "base64") + "AAECAwQFBgcICf8=\r\n" + kClosing;
  EXPECT_EQ(sink.m_strData, expected);
}

TEST(MimeSendFileTest, ListItemsReachTheFileSearchAsSeparatePatterns) {
  struct Case {
    std::string list;
    std::vector<std::string> patterns;
  } cases[] = {
      {"a.txt;b.txt", {"a.txt", "b.txt"}},
      {"a.txt,b.txt", {"a.txt", "b.txt"}},
      {",,a.txt,", {"a.txt"}},
      {" a.txt , b.txt ", {"a.txt", "b.txt"}},
      {"\ta.txt\r\n;\fb.txt", {"a.txt", "b.txt"}},
      {"a.txt, ,;b.txt", {"a.txt", "b.txt"}},     // a piece of blanks only matches nothing
      {"a.txt\v,b.txt", {"a.txt\v", "b.txt"}},    // vertical tab is not trimmed
      {" a.txt", {" a.txt"}},                      // a lone item is used untrimmed
      {"a.txt ", {"a.txt "}},
      {"", {""}},
      {"dir name/with blank.txt;x", {"dir name/with blank.txt", "x"}},
  };
  for (const Case& c : cases) {
    CMemorySink sink;
    CFakeFileSystem files;
    CMimeSendFile writer(sink, kBoundary, 1, files);
    writer.SendAttachments(c.list, true);
    EXPECT_EQ(files.m_arrPatterns, c.patterns) << "list \"" << c.list << "\"";
  }
}

TEST(MimeSendFileTest, NothingFoundSendsOneNoteQuotingTheList) {
  for (bool close : {true, false}) {
    CMemorySink sink;
    CFakeFileSystem files;
    CMimeSendFile writer(sink, kBoundary, 2, files);
    EXPECT_FALSE(writer.SendAttachments(" a.txt; b.txt", close));
    std::string expected = kDelimiter + "Content-Type: text/plain; charset=\"us-ascii\"\r\n\r\n"
                           "Unable to open files  a.txt; b.txt\r\n\r\n";
    if (close) expected += kClosing;
    EXPECT_EQ(sink.m_strData, expected);
    EXPECT_TRUE(writer.FileNames().empty());
  }
}

TEST(MimeSendFileTest, FileThatCannotBeOpenedBecomesANote) {
  CScratchDirectory scratch;
  std::string second = scratch.Write("b.bin", std::string("\x01\x02\x03", 3));
  CMemorySink sink;
  CFakeFileSystem files;
  // The first file vanished between the search and the open.
  files.m_mapFiles["*"] = {{"gone.txt", scratch.Path() + "/gone.txt"}, {"b.bin", second}};
  CMimeSendFile writer(sink, kBoundary, 15, files);
  EXPECT_TRUE(writer.SendAttachments("*", true));
  std::string expected = kDelimiter + "Content-Type: text/plain; charset=\"us-ascii\"\r\n\r\n"
                         "Unable to open file gone.txt\r\n\r\n" +
                         kDelimiter + Header("b.bin", "base64") + "AQID" + kClosing;
  EXPECT_EQ(sink.m_strData, expected);

  // The encoders' own note has one line end and no part header.
  for (bool base64 : {true, false}) {
    CMemorySink single;
    CMimeSendFile direct(single, kBoundary, 1, files);
    direct.AddMatchingFiles("*");
    EXPECT_FALSE(base64 ? direct.SendFileBase64(0) : direct.SendFileQuotedPrintable(0));
    EXPECT_EQ(single.m_strData,
              "Content-Type: text/plain; charset=\"us-ascii\"\r\n\r\nUnable to open file gone.txt\r\n");
    EXPECT_FALSE(direct.SendFileBase64(2));  // no such entry: nothing sent
    EXPECT_EQ(single.m_strData,
              "Content-Type: text/plain; charset=\"us-ascii\"\r\n\r\nUnable to open file gone.txt\r\n");
  }
}

// count lines of 100 bytes, line feed included.
std::string Lines(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += std::string(99, 'a') + "\n";
  return text;
}

TEST(MimeSendFileTest, EncodingFollowsTheFirst57000Bytes) {
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::string content;
    bool base64;
  } cases[] = {
      {"empty", "", false},
      {"printable, tab, BS, CR, LF", "Letters 123 !?~\t\b\r\n", false},
      {"form feed", "page\fbreak", true},
      {"vertical tab", "a\vb", true},
      {"NUL", "a\0b"s, true},
      {"escape", "\x1B[0m", true},
      {"DEL", "\x7F", true},
      {"Latin-1 letter", "caf\xE9", true},
      {"8-bit at the last examined byte", Lines(569) + std::string(99, 'a') + "\x80", true},
      {"8-bit after the examined bytes", Lines(570) + "\x80", false},
  };
  CScratchDirectory scratch;
  for (const Case& c : cases) {
    std::string path = scratch.Write("f.txt", c.content);
    CMemorySink sink;
    CMimeSendFile writer(sink, kBoundary, 1, DefaultFileSystem());
    writer.SendAttachments(path, true);
    std::string header =
        Header("f.txt", c.base64 ? "base64" : "quoted-printable", "text/plain", FileCharset(c.content));
    ASSERT_EQ(sink.m_strData.compare(0, kDelimiter.size() + header.size(), kDelimiter + header), 0) << c.name;
    std::string body = sink.m_strData.substr(kDelimiter.size() + header.size());
    ASSERT_GE(body.size(), kClosing.size());
    ASSERT_EQ(body.substr(body.size() - kClosing.size()), kClosing) << c.name;
    body.resize(body.size() - kClosing.size());
    if (c.base64) {
      EXPECT_EQ(test::DecodeBase64(body), Canonical(c.content)) << c.name;
    } else {
      std::string lineFeeds;  // what the recipient reads: CR LF and LF both one line end
      for (std::size_t i = 0; i < c.content.size(); ++i) {
        if (c.content[i] == '\r' && i + 1 < c.content.size() && c.content[i + 1] == '\n') continue;
        lineFeeds += c.content[i];
      }
      // Every piece ends with a hard line break, the last one of the file too.
      if (!lineFeeds.empty() && lineFeeds.back() != '\n') lineFeeds += '\n';
      EXPECT_EQ(test::DecodeQuotedPrintable(body), lineFeeds) << c.name;
    }
  }
}

TEST(MimeSendFileTest, LargeFilesStreamThroughBoundedWrites) {
  CScratchDirectory scratch;
  std::string binary = test::RandomBytes(5 * 1024 * 1024 + 7, 9);
  std::string text;
  std::mt19937 generator(4);
  while (text.size() < 5 * 1024 * 1024) {
    text += std::string(generator() % 120, static_cast<char>('a' + generator() % 26));
    text += generator() % 3 == 0 ? ". \r\n" : "\n";
  }
  text += std::string(12000, 'L') + "\n";  // one line over 4,999 bytes
  scratch.Write("big.bin", binary);
  scratch.Write("big.txt", text);
  CMemorySink sink;
  CMimeSendFile writer(sink, kBoundary, 1, DefaultFileSystem());
  writer.SendAttachments(scratch.Path() + "/big.bin," + scratch.Path() + "/big.txt", true);
  // No write holds more than one encoded read block: the files are never held whole.
  EXPECT_LE(sink.m_nLargestWrite, 80000u);

  std::string binaryHeader = kDelimiter + Header("big.bin", "base64");
  std::string textHeader = kDelimiter + Header("big.txt", "quoted-printable", "text/plain");
  std::size_t textStart = sink.m_strData.find(textHeader);
  ASSERT_NE(textStart, std::string::npos);
  ASSERT_EQ(sink.m_strData.compare(0, binaryHeader.size(), binaryHeader), 0);
  std::string base64 = sink.m_strData.substr(binaryHeader.size(), textStart - binaryHeader.size());
  EXPECT_EQ(test::DecodeBase64(base64), binary);
  std::size_t bodyStart = textStart + textHeader.size();
  std::string quoted = sink.m_strData.substr(bodyStart, sink.m_strData.size() - kClosing.size() - bodyStart);
  std::string expected;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') continue;
    expected += text[i];
  }
  // The long line comes back cut after 4,999 and 9,998 bytes.
  std::size_t longLine = expected.size() - 12001;
  expected.insert(longLine + 9998, "\n");
  expected.insert(longLine + 4999, "\n");
  EXPECT_EQ(test::DecodeQuotedPrintable(quoted), expected);
}

TEST(MimeSendFileTest, NamesCannotBreakOutOfTheirHeader) {
  CScratchDirectory scratch;
  std::string hostile = "we\"ird\\name\r\nX-Injected: yes\r\n\r\n--" + kBoundary + "\x7F.txt";
  std::string path = scratch.Write(hostile, "content\n");
  ASSERT_FALSE(path.empty());
  CMemorySink sink;
  CMimeSendFile writer(sink, kBoundary, 1, DefaultFileSystem());
  EXPECT_TRUE(writer.SendAttachments(scratch.Path() + "/we*", true));
  ASSERT_EQ(writer.FileNames().size(), 1u);
  EXPECT_EQ(writer.FileNames()[0], hostile);

  // Controls become "_", quotes and backslashes are escaped, and the name too long for
  // one line goes out in RFC 2231 pieces.
  std::string first = "we\\\"ird\\\\name__X-Injected: yes____--" + kBoundary + "_";
  EXPECT_EQ(sink.m_strData, kDelimiter + "Content-Type: text/plain; charset=\"us-ascii\";\r\n name*0=\"" + first +
                                "\";\r\n name*1=\".txt\"\r\nContent-Transfer-Encoding: quoted-printable\r\n"
                                "Content-Disposition: attachment;\r\n filename*0=\"" + first +
                                "\";\r\n filename*1=\".txt\"\r\n\r\ncontent\r\n" + kClosing);
  for (const std::string& line : test::SplitCrLf(sink.m_strData)) EXPECT_NE(line.rfind("X-Injected", 0), 0u);

  // In notes the name stands in plain text, byte for byte but for CR, LF and NUL, which
  // could start a line of its own (a boundary ending the message early).
  CMemorySink notes;
  CFakeFileSystem files;
  files.m_mapFiles["x"] = {{hostile, scratch.Path() + "/missing"}};
  CMimeSendFile noteWriter(notes, kBoundary, 1, files);
  noteWriter.SendAttachments("x", false);
  EXPECT_NE(notes.m_strData.find("Unable to open file we\"ird\\name__X-Injected: yes____--" + kBoundary + "\x7F.txt\r\n\r\n"),
            std::string::npos);
  CMemorySink listNote;
  CMimeSendFile listWriter(listNote, kBoundary, 1, files);
  listWriter.SendAttachments("a\r\n--" + kBoundary + "--\r\n" + std::string("\tb\f,\0c", 6), false);
  EXPECT_NE(listNote.m_strData.find("Unable to open files a__--" + kBoundary + "--__\tb\f,_c\r\n\r\n"), std::string::npos);
  EXPECT_EQ(listNote.m_strData.find(kClosing), std::string::npos);
}

TEST(MimeSendFileTest, DirectoriesAndWildcardsThroughTheWriter) {
  CScratchDirectory scratch;
  ASSERT_EQ(::mkdir((scratch.Path() + "/dir.log").c_str(), 0700), 0);
  scratch.Write("one.log", "1\n");
  scratch.Write("ONE.LOG", "2\n");
  CMemorySink sink;
  CMimeSendFile writer(sink, kBoundary, 1, DefaultFileSystem());
  EXPECT_TRUE(writer.SendAttachments(scratch.Path() + "/*.log", true));
  EXPECT_EQ(writer.FileNames(), std::vector<std::string>{"one.log"});
  EXPECT_EQ(writer.FilePaths(), std::vector<std::string>{scratch.Path() + "/one.log"});

  CMemorySink onlyDirectories;
  CMimeSendFile second(onlyDirectories, kBoundary, 1, DefaultFileSystem());
  EXPECT_FALSE(second.SendAttachments(scratch.Path() + "/dir.*", true));
  EXPECT_NE(onlyDirectories.m_strData.find("Unable to open files "), std::string::npos);

  // A file named twice is attached twice.
  CMemorySink twice;
  CMimeSendFile third(twice, kBoundary, 1, DefaultFileSystem());
  third.SendAttachments(scratch.Path() + "/one.log;" + scratch.Path() + "/o?e.log", false);
  EXPECT_EQ(third.FileNames().size(), 2u);
  std::string part = Header("one.log", "quoted-printable", "text/plain") + "1\r\n";
  EXPECT_EQ(twice.m_strData, kDelimiter + part + kDelimiter + part);
}

TEST(MimeSendFileTest, TheListExpandedOnceIsWhatEverySendAttaches) {
  CScratchDirectory scratch;
  scratch.Write("one.log", "1\n");
  const std::string list = " " + scratch.Path() + "/*.log ; " + scratch.Path() + "/none.txt,";
  CAttachmentFiles files = ExpandAttachmentList(DefaultFileSystem(), list);
  EXPECT_TRUE(files.bExpanded);
  EXPECT_EQ(files.arrNames, std::vector<std::string>{"one.log"});
  std::string refusal;
  EXPECT_TRUE(CheckAttachmentFiles(files, CAttachmentPolicy(), refusal)) << refusal;
  // A file that matches only after the check is not attached: the list is not expanded again.
  scratch.Write("two.log", "2\n");
  for (int pass = 0; pass < 2; ++pass) {
    CMemorySink sink;
    CMimeSendFile writer(sink, kBoundary, 1, DefaultFileSystem());
    writer.UseFiles(files);
    EXPECT_TRUE(writer.SendAttachments(list, false));
    EXPECT_EQ(sink.m_strData, kDelimiter + Header("one.log", "quoted-printable", "text/plain") + "1\r\n") << pass;
  }
}

TEST(MimeSendFileTest, AFileThatGrowsAfterItsCheckGoesOutAsItWasChecked) {
  struct Case {
    const char* pName;
    std::string strFile;
    std::string strBefore;
    std::string strAdded;
  } const cases[] = {
      {"text part", "a.log", "one\ntwo\n", "three\n"},
      {"text part whose added bytes are 8-bit", "b.txt", "plain\n", "caf\xE9\n"},
      {"text file sent base64", "c.txt", "x\x01y\r", "\nz\n"},
      {"binary part", "d.bin", std::string("\x01\x02\x00\x04", 4), "\x05"},
      {"printable part of another type", "e.pdf", "abc", "def"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pName);
    CScratchDirectory scratch;
    scratch.Write(c.strFile, c.strBefore);
    const std::string path = scratch.Path() + "/" + c.strFile;
    CAttachmentFiles files = ExpandAttachmentList(DefaultFileSystem(), path);
    std::string refusal;
    ASSERT_TRUE(CheckAttachmentFiles(files, CAttachmentPolicy(), refusal)) << refusal;
    std::string sent[2];
    std::vector<std::string> log;
    for (int pass = 0; pass < 2; ++pass) {
      // Measured before the file grew, sent after it.
      if (pass == 1) std::ofstream(path, std::ios::binary | std::ios::app) << c.strAdded;
      CMemorySink sink;
      CMimeSendFile writer(sink, kBoundary, 1, DefaultFileSystem());
      writer.m_fnLog = [&log](const std::string& text) { log.push_back(text); };
      writer.UseFiles(files);
      EXPECT_TRUE(writer.SendAttachments(path, true));
      sent[pass] = sink.m_strData;
    }
    EXPECT_EQ(sent[1], sent[0]);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "File " + c.strFile + " grew while it was sent: the " + std::to_string(c.strBefore.size()) +
                          " bytes it held when it was checked were sent, not the " +
                          std::to_string(c.strBefore.size() + c.strAdded.size()) + " it holds now");
  }
}

TEST(MimeSendFileTest, NamesTooLongToFoldGoOutInNumberedPieces) {
  // 700 double quotes (1,400 escaped characters) and no blank: RFC 2231 pieces, none of
  // them splitting an escape pair, every line within 998 characters.
  const std::string name = std::string(700, '"') + "x";
  CMemorySink sink;
  CFakeFileSystem files;
  CMimeSendFile writer(sink, kBoundary, 1, files);
  writer.SendQuotedPrintableHeader(name);
  std::string quoted;
  for (const char* parameter : {"name", "filename"}) {
    std::string joined;
    for (int number = 0;; ++number) {
      std::string prefix = std::string(" ") + parameter + "*" + std::to_string(number) + "=\"";
      std::size_t at = sink.m_strData.find(prefix);
      if (at == std::string::npos) break;
      std::size_t end = sink.m_strData.find("\"", at + prefix.size());
      while (sink.m_strData[end - 1] == '\\') {
        std::size_t backslashes = 0;
        while (sink.m_strData[end - 1 - backslashes] == '\\') ++backslashes;
        if (backslashes % 2 == 0) break;
        end = sink.m_strData.find("\"", end + 1);
      }
      joined += sink.m_strData.substr(at + prefix.size(), end - at - prefix.size());
    }
    if (quoted.empty()) quoted = joined;
    EXPECT_EQ(joined, quoted) << parameter;
  }
  std::string expected;
  for (int i = 0; i < 700; ++i) expected += "\\\"";
  EXPECT_EQ(quoted, expected + "x");
  for (const std::string& line : test::SplitCrLf(sink.m_strData)) EXPECT_LE(line.size(), 998u);
  EXPECT_EQ(sink.m_strData.find(" name=\""), std::string::npos);
}

TEST(MimeSendFileTest, ResultSetPartFromTheBuildingBlocks) {
  // The sequence the query group produces: delimiter, header named by the query text,
  // one encoded line per call, closing delimiter; every call reaches the sink at once.
  CMemorySink sink;
  CFakeFileSystem files;
  CMimeSendFile writer(sink, kBoundary, 1, files);
  writer.SendDelimiter();
  writer.SendQuotedPrintableHeader("select \"a\"\r\nfrom t");
  std::size_t writes = sink.m_nWrites;
  EXPECT_TRUE(writer.SendQuotedPrintableLine("name   value\r\n"));
  EXPECT_EQ(sink.m_nWrites, writes + 1);
  EXPECT_TRUE(writer.SendQuotedPrintableLine("x, y"));
  writer.SendClosingDelimiter();
  // Results are the message's text: its charset.
  EXPECT_EQ(sink.m_strData, kDelimiter + Header("select \\\"a\\\"__from t", "quoted-printable", "text/plain", "iso-8859-1") +
                                "name=20=20=20value\r\nx,=20y\r\n" + kClosing);
}


TEST(MimeSendFileTest, PartsAreTypedAndDecodeAsTheirTypeRequires) {
  // Text types carry CR LF line breaks whatever the file had; other types decode to the
  // file's bytes exactly, quoted-printable ones too.
  struct Case {
    const char* name;
    std::string content;
    const char* type;
    const char* encoding;
    std::string decoded;
  } const cases[] = {
      {"lf.json", "{\"a\": 1}\n{\"b\": 2}\r\nend", "application/json", "quoted-printable",
       "{\"a\": 1}\n{\"b\": 2}\r\nend"},
      {"bare.xml", "<a>\r</a>\n", "text/xml", "quoted-printable", "<a>\n</a>\n"},  // hard breaks
      {"latin.csv", "caf\xE9;1\nth\xE9;2\rx\r\n", "text/csv", "base64", "caf\xE9;1\r\nth\xE9;2\r\nx\r\n"},
      {"cr.txt", "\x01end\r", "text/plain", "base64", "\x01end\r\n"},
      {"image.png", "\x89PNG\r\n\x1A\n", "image/png", "base64", "\x89PNG\r\n\x1A\n"},
      {"blob", "a\r\nb\n", "application/octet-stream", "quoted-printable", "a\r\nb\n"},
  };
  CScratchDirectory scratch;
  for (const Case& c : cases) {
    std::string path = scratch.Write(c.name, c.content);
    CMemorySink sink;
    CMimeSendFile writer(sink, kBoundary, 1, DefaultFileSystem());
    writer.SendAttachments(path, true);
    std::string header = Header(c.name, c.encoding, c.type, FileCharset(c.content));
    ASSERT_EQ(sink.m_strData.compare(0, kDelimiter.size() + header.size(), kDelimiter + header), 0)
        << c.name << "\n" << sink.m_strData.substr(0, 300);
    std::string body = sink.m_strData.substr(kDelimiter.size() + header.size());
    body.resize(body.size() - kClosing.size());
    std::optional<std::string> decoded =
        std::string(c.encoding) == "base64" ? test::DecodeBase64(body) : test::DecodeQuotedPrintable(body);
    EXPECT_EQ(decoded, c.decoded) << c.name;
    for (const std::string& line : test::SplitCrLf(body)) EXPECT_LE(line.size(), 76u) << c.name;
  }
}

TEST(MimeSendFileTest, NotesWithEightBitNamesAreDeclared) {
  // Names are the file system's, UTF-8: a note declares utf-8 whatever the message's
  // charset, and a byte that starts no UTF-8 character shows as U+FFFD.
  struct Case {
    std::string list;
    const char* shown;
  } const cases[] = {{"r\xC3\xA9sum\xC3\xA9.txt", "r=C3=A9sum=C3=A9.txt"}, {"r\xE9sum\xE9.txt", "r=EF=BF=BDsum=EF=BF=BD.txt"}};
  for (const Case& c : cases) {
    CMemorySink sink;
    CFakeFileSystem files;
    CMimeSendFile writer(sink, kBoundary, 2, files);
    writer.SendAttachments(c.list, true);
    EXPECT_EQ(sink.m_strData, kDelimiter +
                                  "Content-Type: text/plain; charset=\"utf-8\"\r\n"
                                  "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                                  "Unable to open files " + c.shown + "\r\n\r\n" + kClosing);
  }
}

TEST(MimeSendFileTest, EightBitFileNamesGoOutInRfc2231Form) {
  // The name is tagged utf-8 in any message; the content's charset is that of its bytes.
  CScratchDirectory scratch;
  std::string path = scratch.Write("M\xC3\xA4rz.txt", "x\n");
  for (std::int32_t charset : {65001, 1}) {
    CMemorySink sink;
    CMimeSendFile writer(sink, kBoundary, charset, DefaultFileSystem());
    writer.SendAttachments(path, true);
    EXPECT_NE(sink.m_strData.find("Content-Type: text/plain; charset=\"us-ascii\"; name*=utf-8''M%C3%A4rz.txt\r\n"),
              std::string::npos)
        << sink.m_strData;
    EXPECT_NE(sink.m_strData.find("Content-Disposition: attachment; filename*=utf-8''M%C3%A4rz.txt\r\n"),
              std::string::npos);
  }
}

// A text file declares the charset of its own bytes, read whole (a UTF-8 sequence may
// straddle two read blocks; a stray byte far down makes the file not UTF-8).
TEST(MimeSendFileTest, TextFilesDeclareTheCharsetOfTheirBytes) {
  const std::string block(CBase64Encoder::kReadBlock - 1, 'a');
  struct Case {
    std::string content;
    const char* charset;
  } const cases[] = {
      {"plain\n", "us-ascii"},
      {"Gr\xC3\xB6\xC3\x9F" "e\n", "utf-8"},
      {block + "\xC3\xB6\n", "utf-8"},                 // cut by the block boundary
      {block + "x" + block + "\xE2\x82\xAC", "utf-8"},
      {"Gr\xF6\xDF" "e\n", "windows-1250"},
      {"\xC3\xB6" + block + block + "\xFF", "windows-1250"},
      {"ends cut \xC3", "windows-1250"},
      {"", "us-ascii"},
  };
  for (const Case& c : cases) {
    CScratchDirectory scratch;
    std::string path = scratch.Write("t.txt", c.content);
    CMemorySink sink;
    CMimeSendFile writer(sink, kBoundary, 2, DefaultFileSystem());
    writer.m_nFileCharset = 1250;
    writer.SendAttachments(path, true);
    EXPECT_NE(sink.m_strData.find(std::string("Content-Type: text/plain; charset=\"") + c.charset + "\"; name=\"t.txt\""),
              std::string::npos)
        << c.charset << "\n" << sink.m_strData.substr(0, 200);
  }
}

}  // namespace
}  // namespace varnel
