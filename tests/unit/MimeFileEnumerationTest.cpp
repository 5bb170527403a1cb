#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "MimeTestSupport.h"
#include "platform/FileSystem.h"
#include "platform/Platform.h"

namespace varnel {
namespace {

using test::CScratchDirectory;

class MimeFileEnumerationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(m_scratch.Path().empty());
    for (const char* name : {"a.txt", "b.txt", "ab.txt", "A.TXT", "[x].txt", "x.txt", ".hidden.txt", "a.txt.bak",
                             "star*.txt", "q?.txt"}) {
      m_scratch.Write(name, name);
    }
    ASSERT_EQ(::mkdir(Path("dir.txt").c_str(), 0700), 0);
    m_scratch.Write("dir.txt/inner.txt", "inner");
    ASSERT_EQ(::symlink(Path("a.txt").c_str(), Path("link-to-file.txt").c_str()), 0);
    ASSERT_EQ(::symlink(Path("dir.txt").c_str(), Path("link-to-dir.txt").c_str()), 0);
    ASSERT_EQ(::symlink(Path("nowhere").c_str(), Path("dangling.txt").c_str()), 0);
    ASSERT_EQ(::mkfifo(Path("pipe.txt").c_str(), 0600), 0);
  }

  std::string Path(const std::string& name) const { return m_scratch.Path() + "/" + name; }

  std::vector<std::string> Names(const std::string& pattern) {
    std::vector<std::string> names;
    for (const CFoundFile& found : DefaultFileSystem().FindFiles(pattern)) {
      EXPECT_EQ(found.strFullPath, Path(found.strName)) << pattern;
      names.push_back(found.strName);
    }
    return names;
  }

  // The directory's own order, as readdir gives it, for the names listed.
  std::vector<std::string> InDirectoryOrder(std::vector<std::string> names) {
    std::vector<std::string> ordered;
    DIR* directory = ::opendir(m_scratch.Path().c_str());
    while (dirent* entry = directory != nullptr ? ::readdir(directory) : nullptr) {
      if (std::find(names.begin(), names.end(), entry->d_name) != names.end()) ordered.push_back(entry->d_name);
    }
    if (directory != nullptr) ::closedir(directory);
    return ordered;
  }

  CScratchDirectory m_scratch;
};

TEST_F(MimeFileEnumerationTest, WildcardsMatchRegularFilesOnly) {
  struct Case {
    std::string pattern;
    std::vector<std::string> names;
  } cases[] = {
      // Hidden files match "*"; directories, links to directories, dangling links and
      // FIFOs never come back; a link to a file counts as a file.
      {"*.txt", {"a.txt", "b.txt", "ab.txt", "[x].txt", "x.txt", ".hidden.txt", "star*.txt", "q?.txt",
                 "link-to-file.txt"}},
      {"?.txt", {"a.txt", "b.txt", "x.txt"}},
      {"*.TXT", {"A.TXT"}},                        // case-sensitive
      {"[x].txt", {"[x].txt"}},                    // brackets are literal
      {"[ab].txt", {}},
      {"a*", {"a.txt", "ab.txt", "a.txt.bak"}},
      {"*b*", {"b.txt", "ab.txt", "a.txt.bak"}},
      {"a.txt", {"a.txt"}},                        // a plain path matches itself
      {"A.txt", {}},
      {"*", {"a.txt", "b.txt", "ab.txt", "A.TXT", "[x].txt", "x.txt", ".hidden.txt", "a.txt.bak", "star*.txt",
             "q?.txt", "link-to-file.txt"}},
      {"*.*.*", {"a.txt.bak", ".hidden.txt"}},
      {"??.txt", {"ab.txt", "q?.txt"}},
      {"star*", {"star*.txt"}},
      {"dir.txt", {}},
      {"dir.*", {}},
      {"pipe.txt", {}},
      {"dangling.txt", {}},
      {"none*", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    // Exactly the names expected, in the directory's own order.
    EXPECT_EQ(Names(Path(c.pattern)), InDirectoryOrder(c.names)) << "pattern " << c.pattern;
  }
}

TEST_F(MimeFileEnumerationTest, DirectoryPartIsLiteralAndNotSearchedBelow) {
  std::vector<CFoundFile> inner = DefaultFileSystem().FindFiles(Path("dir.txt/*.txt"));
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].strName, "inner.txt");
  EXPECT_EQ(inner[0].strFullPath, Path("dir.txt/inner.txt"));
  EXPECT_TRUE(DefaultFileSystem().FindFiles(Path("d*/inner.txt")).empty());
  EXPECT_TRUE(DefaultFileSystem().FindFiles(Path("missing/*")).empty());
  EXPECT_TRUE(DefaultFileSystem().FindFiles(Path("")).empty());  // ends with "/"
}

TEST_F(MimeFileEnumerationTest, RelativePatternsBecomeAbsolute) {
  std::string previous = std::filesystem::current_path().string();
  ASSERT_EQ(::chdir(m_scratch.Path().c_str()), 0);
  std::vector<CFoundFile> plain = DefaultFileSystem().FindFiles("a.txt");
  std::vector<CFoundFile> dotted = DefaultFileSystem().FindFiles("./dir.txt//./inner.txt");
  std::vector<CFoundFile> wild = DefaultFileSystem().FindFiles("dir.txt/i*");
  std::vector<CFoundFile> up = DefaultFileSystem().FindFiles("dir.txt/../b.txt");
  ASSERT_EQ(::chdir(previous.c_str()), 0);
  // The scratch directory may itself lie behind a symbolic link; compare what getcwd saw.
  std::string base = m_scratch.Path();
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(plain[0].strFullPath, base + "/a.txt");
  ASSERT_EQ(dotted.size(), 1u);
  EXPECT_EQ(dotted[0].strFullPath, base + "/dir.txt/inner.txt");
  ASSERT_EQ(wild.size(), 1u);
  EXPECT_EQ(wild[0].strFullPath, base + "/dir.txt/inner.txt");
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].strName, "b.txt");
  EXPECT_EQ(up[0].strFullPath, base + "/dir.txt/../b.txt");
}

}  // namespace
}  // namespace varnel
