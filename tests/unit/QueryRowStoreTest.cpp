// Rows beyond memory: the private temporary file, the row store that spills into it and
// reads its rows back, the runner that keeps large results within its budget (or fails
// the run when it cannot keep them), and the names of result-set attachments.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "QueryTestSupport.h"
#include "platform/Platform.h"
#include "platform/TemporaryFile.h"
#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"
#include "query/SMTPRowStore.h"

namespace varnel {
namespace {

using test::CFixedSettings;
using test::Column;
using test::CScriptCommand;
using test::CScriptedDatabase;
using test::CScriptResult;
using test::CTemporaryDirectory;

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

// The open descriptors of this process that lead into folder (deleted files included).
std::vector<std::string> OpenFilesIn(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (!error && target.rfind(folder + "/", 0) == 0) found.push_back(entry.path().string());
  }
  return found;
}

TEST(TemporaryFileTest, HasNoNameIsPrivateAndReadsBackWhatWasWritten) {
  CTemporaryDirectory directory;
  std::string folder = std::filesystem::path(directory.File("x")).parent_path().string();
  std::string error;
  std::unique_ptr<ITemporaryFile> file = CreateTemporaryFile(folder, error);
  ASSERT_TRUE(file) << error;
  EXPECT_TRUE(Entries(folder).empty());
  std::vector<std::string> open = OpenFilesIn(folder);
  ASSERT_EQ(open.size(), 1u);
  struct stat status {};
  ASSERT_EQ(::stat(open[0].c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  std::string data(300000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(file->Append(data.data(), 100000, error)) << error;
  ASSERT_TRUE(file->Append(data.data() + 100000, 200000, error)) << error;
  std::string back(1000, '\0');
  ASSERT_TRUE(file->ReadAt(99500, back.data(), back.size(), error)) << error;
  EXPECT_EQ(back, data.substr(99500, 1000));
  EXPECT_FALSE(file->ReadAt(299500, back.data(), back.size(), error));
  // In place, from an offset that is no page boundary.
  std::unique_ptr<IFileView> view = file->View(4097, 250000, error);
  ASSERT_TRUE(view) << error;
  EXPECT_EQ(std::string(view->Data(), 250000), data.substr(4097, 250000));
  EXPECT_FALSE(file->View(299500, 1000, error));
  view.reset();
  file.reset();
  EXPECT_TRUE(OpenFilesIn(folder).empty());
  EXPECT_TRUE(Entries(folder).empty());
}

TEST(TemporaryFileTest, MissingFolderIsRefusedWithTheReason) {
  CTemporaryDirectory directory;
  std::string error;
  EXPECT_FALSE(CreateTemporaryFile(directory.File("no-such-folder"), error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_FALSE(CreateTemporaryFile("", error));
}

// Rows of random widths, some wider than a chunk, with a small budget: what does not fit
// goes to the file, memory stays near the budget, and every value comes back, in order
// through a reader and in any order one at a time. They are written on the adding thread:
// a thread of the store's own would make every lock the driver takes per row an atomic one.
TEST(QueryRowStoreTest, RowsBeyondTheBudgetGoToTheFileAndComeBackIntact) {
  const std::size_t threads = Entries("/proc/self/task").size();
  CTemporaryDirectory directory;
  std::string folder = std::filesystem::path(directory.File("x")).parent_path().string();
  const std::size_t budget = 256 * 1024;
  int opened = 0;
  CSMTPRowStore store(budget, [&] {
    ++opened;
    std::string error;
    auto file = CreateTemporaryFile(folder, error);
    if (!file) throw CRowStoreError(error);
    return file;
  });
  std::mt19937 random(4711);
  bool highBit = false;
  std::vector<std::vector<std::string>> rows;
  std::size_t peak = 0;
  for (int row = 0; row < 6000; ++row) {
    std::size_t columns = row % 7 == 3 ? 1 : 3;  // rows of two result sets' widths
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < columns; ++i) {
      std::size_t length = row == 2500 && i == 0 ? 1500000 : random() % (i == 2 ? 400 : 20);
      std::string text(length, '\0');
      for (char& c : text) c = static_cast<char>(1 + random() % 255);  // no zero byte to cut at
      texts.push_back(std::move(text));
    }
    std::vector<std::string_view> values(texts.begin(), texts.end());
    std::vector<std::size_t> limits(values.size(), SIZE_MAX);
    store.AppendRow(values.data(), values.size(), limits.data(), values.size(), highBit);
    peak = std::max(peak, store.MemoryBytes());
    rows.push_back(std::move(texts));
  }
  EXPECT_TRUE(highBit);
  EXPECT_EQ(opened, 1);
  EXPECT_GT(store.FileBytes(), 1000000u);
  EXPECT_EQ(Entries("/proc/self/task").size(), threads);
  // The budget, the chunk being filled, and once the chunk made for the widest row.
  EXPECT_LE(peak, budget + 1500000 + 64);
  EXPECT_LE(store.MemoryBytes(), budget + CSMTPRowStore::kChunkSize);
  EXPECT_TRUE(Entries(folder).empty());

  CSMTPRowStore::CReader reader(store, 0, rows.size(), 3);
  for (std::size_t row = 0; row < rows.size(); ++row) {
    reader.SetColumnCount(rows[row].size());
    const std::string_view* values = reader.Next();
    ASSERT_NE(values, nullptr);
    for (std::size_t i = 0; i < rows[row].size(); ++i) ASSERT_EQ(values[i], rows[row][i]) << row << "," << i;
  }
  EXPECT_EQ(reader.Next(), nullptr);
  for (int probe = 0; probe < 300; ++probe) {
    std::size_t row = random() % rows.size();
    std::size_t column = random() % rows[row].size();
    ASSERT_EQ(store.Value(row, column, rows[row].size()), rows[row][column]) << row;
  }
  // A range of its own, entered in the middle.
  CSMTPRowStore::CReader range(store, 4000, 1000, 3);
  range.Seek(700);
  range.SetColumnCount(rows[4700].size());
  EXPECT_EQ(range.Next()[0], rows[4700][0]);
  range.Seek(1000);
  EXPECT_EQ(range.Next(), nullptr);
}

class CFailingFile final : public ITemporaryFile {
 public:
  bool Append(const char*, std::size_t, std::string& error) override {
    error = "No space left on device";
    return false;
  }
  bool ReadAt(std::uint64_t, char*, std::size_t, std::string& error) override {
    error = "not written";
    return false;
  }
};

TEST(QueryRowStoreTest, FileThatCannotBeHadOrWrittenStopsTheRowsWithTheReason) {
  struct Case {
    const char* name;
    CSMTPRowStore::COpenFile open;
    const char* reason;
  } const cases[] = {
      {"cannot be created", [] () -> std::unique_ptr<ITemporaryFile> { throw CRowStoreError("no folder /x"); },
       "no folder /x"},
      {"cannot be written", [] { return std::make_unique<CFailingFile>(); }, "No space left on device"},
  };
  for (const Case& c : cases) {
    CSMTPRowStore store(64 * 1024, c.open);
    std::string text(1000, 'r');
    std::string_view values[] = {text};
    std::size_t limits[] = {SIZE_MAX};
    bool highBit = false;
    try {
      for (int row = 0; row < 1000; ++row) store.AppendRow(values, 1, limits, 1, highBit);
      // A write still under way fails at the end of the capture at the latest.
      store.Finish();
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const CRowStoreError& error) {
      EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << c.name << ": " << error.what();
    }
    // The rows still in memory stay readable.
    ASSERT_GT(store.RowCount(), 0u) << c.name;
    EXPECT_EQ(store.Value(0, 0, 1), text) << c.name;
  }
}

class QueryRowSpillTest : public ::testing::Test {
 protected:
  QueryRowSpillTest() : m_settings("SQLite3", "") {
    m_platform.pDatabase = &m_database;
    m_platform.pSettings = &m_settings;
    m_settings.m_values["TempFolder"] = {SettingState::Found, m_strFolder};
  }

  // A result of rows rows of an id and a note of about 100 bytes: 12 MB for 120,000.
  void ScriptRows(std::size_t rows) {
    CScriptResult result;
    result.nKind = DatabaseResult::Rowset;
    result.arrColumns = {Column("id", DatabaseTypeGroup::Other), Column("note", DatabaseTypeGroup::Long)};
    for (std::size_t row = 0; row < rows; ++row) {
      result.arrRows.push_back({std::to_string(row), "note " + std::to_string(row) + std::string(94, 'n')});
    }
    m_database.m_commands["select"] = CScriptCommand{test::CommandStep::None, {}, {result}};
  }

  std::unique_ptr<CSMTPOLEDBQuery> MakeRunner() {
    auto runner = std::make_unique<CSMTPOLEDBQuery>("select", m_platform);
    runner->m_strUser = "u";
    runner->m_bUserGiven = true;
    runner->m_bBind = 0;
    return runner;
  }

  CTemporaryDirectory m_directory;
  std::string m_strFolder = std::filesystem::path(m_directory.File("x")).parent_path().string();
  CScriptedDatabase m_database;
  CFixedSettings m_settings;
  CPlatform m_platform;
};

TEST_F(QueryRowSpillTest, LargeResultStaysWithinTheMemoryBudget) {
  ScriptRows(120000);
  auto runner = MakeRunner();
  runner->m_bHTML = true;
  runner->m_strTerminator = "\r\n";
  ASSERT_TRUE(runner->RunQuery("select"));
  EXPECT_EQ(runner->GetQueryError(), "");
  const CSMTPRowStore& store = runner->RowStore();
  EXPECT_GT(store.FileBytes(), 3000000u);
  EXPECT_LE(store.MemoryBytes(), CSMTPRowStore::kDefaultMemoryBudget + CSMTPRowStore::kChunkSize);
  // The file is the runner's alone: open, without a name in the folder.
  EXPECT_EQ(OpenFilesIn(m_strFolder).size(), 1u);
  EXPECT_TRUE(Entries(m_strFolder).empty());

  // Rendered as they are read back, row by row, as the index would render them.
  const CSMTPQueryResultset& resultset = runner->GetResultset(0);
  ASSERT_EQ(resultset.GetRowCount(), 120000u);
  CSMTPQueryResultset::CRowRenderer renderer(resultset);
  std::string text;
  for (std::size_t row = 0; row < resultset.GetRowCount(); ++row) {
    text.clear();
    ASSERT_TRUE(renderer.AppendNext(text));
    if (row % 9973 == 0 || row + 1 == resultset.GetRowCount()) {
      ASSERT_EQ(text, resultset.FormatRow(row)) << row;
    }
  }
  EXPECT_FALSE(renderer.AppendNext(text));
  EXPECT_EQ(text, "<TR><TD>119999</TD><TD>note 119999" + std::string(94, 'n') + "</TD></TR></TABLE>\r\n");
  runner.reset();
  EXPECT_TRUE(OpenFilesIn(m_strFolder).empty());
}

TEST_F(QueryRowSpillTest, RowsThatCannotBeKeptFailTheRun) {
  ScriptRows(120000);
  std::string missing = m_directory.File("missing");
  m_settings.m_values["TempFolder"] = {SettingState::Found, missing};
  auto runner = MakeRunner();
  EXPECT_FALSE(runner->RunQuery("select"));
  std::string error = runner->GetQueryError();
  EXPECT_NE(error.find("The rows of the result could not be kept"), std::string::npos) << error;
  EXPECT_NE(error.find(missing + " (TempFolder setting)"), std::string::npos) << error;
}

TEST_F(QueryRowSpillTest, UnreadableTempFolderSettingFailsTheRunBeforeConnecting) {
  m_settings.m_values["TempFolder"] = {SettingState::Error, ""};
  auto runner = MakeRunner();
  EXPECT_FALSE(runner->RunQuery("select"));
  EXPECT_NE(runner->GetQueryError().find("The TempFolder setting cannot be read"), std::string::npos);
  EXPECT_FALSE(m_database.m_log.properties.has_value());
}

TEST_F(QueryRowSpillTest, SmallResultNeverMakesAFile) {
  ScriptRows(1000);
  m_settings.m_values["TempFolder"] = {SettingState::Found, m_directory.File("missing")};
  auto runner = MakeRunner();
  EXPECT_TRUE(runner->RunQuery("select"));
  EXPECT_EQ(runner->RowStore().FileBytes(), 0u);
}

TEST(QueryAttachmentNameTest, FirstWordsOfTheQueryCleanedAndBounded) {
  struct Case {
    std::string query;
    std::string fileName;  // @qfilename
    bool csv;
    std::string expected;
  } const cases[] = {
      {"select id, name from dbo.orders where total > 100", "", false,
       "select_id_name_from_dbo_orders_where_total_100.txt"},
      {"select 1", "", true, "select_1.csv"},
      {"select * from a; select * from b; select * from c; select * from d; select * from e", "", false,
       "select_from_a_select_from_b_select_from_c_select_from_d.txt"},
      {"exec ..\\..\\windows\\system32\\x \"q\" 'r'\r\n\t/etc/passwd", "", false,
       "exec_windows_system32_x_q_r_etc_passwd.txt"},
      {std::string(100, 'w') + " tail", "", false, std::string(56, 'w') + ".txt"},
      {"\xE4\xF6\xFC / \x01 --", "", false, "query.txt"},
      {"", "", false, "query.txt"},
      {"nul", "", false, "nul_.txt"},
      {"COM3", "", true, "COM3_.csv"},
      {"select 1", "report 1/2.csv", false, "report 1/2.csv"},  // given: used as it is
  };
  for (const Case& c : cases) {
    CSMTPOLEDBQuery query(c.query, CPlatform{});
    query.m_strFileName = c.fileName;
    query.m_bCSV = c.csv;
    std::string name = query.GetAttachmentName();
    EXPECT_EQ(name, c.expected) << c.query.substr(0, 30);
    if (c.fileName.empty()) {
      EXPECT_LE(name.size(), 60u);
    }
  }
}

}  // namespace
}  // namespace varnel
