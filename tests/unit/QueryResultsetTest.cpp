// Captured rows: the slot rules on the way in, compact storage across chunk boundaries,
// and memory that follows the data.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include "platform/Platform.h"
#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"
#include "query/SMTPRowStore.h"

namespace varnel {
namespace {

TEST(QueryResultsetTest, ValuesFollowTheSlotRules) {
  struct Case {
    const char* name;
    std::uint64_t width;
    std::string value;
    std::string stored;
  };
  const std::vector<Case> cases = {
      {"fits", 6, "abcde", "abcde"},
      {"one too long", 6, "abcdef", "abcde"},
      {"far too long", 3, std::string(5000, 'z'), "zz"},
      {"zero byte ends the text", 10, std::string("ab\0cd", 5), "ab"},
      {"zero byte first", 10, std::string("\0x", 2), ""},
      {"slot of one byte holds nothing", 1, "abc", ""},
      {"slot of no bytes holds nothing", 0, "abc", ""},
      {"binary bytes are kept", 10, "\x01\xFF\x7F", "\x01\xFF\x7F"},
      {"empty", 50, "", ""},
  };
  CSMTPOLEDBQuery query("q", CPlatform{});
  CSMTPQueryResultset resultset(query.RowStore(), query.RenderSettings());
  for (const Case& c : cases) resultset.AddColumn(c.name, c.width);
  std::vector<std::string_view> values;
  for (const Case& c : cases) values.push_back(c.value);
  resultset.AddRow(values);
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(resultset.GetValue(0, i), cases[i].stored) << cases[i].name;
}

// Values are copied in blocks of bytes: a zero byte or a byte above 0x7F counts only
// before the cut, wherever the blocks start and end.
TEST(QueryResultsetTest, ZeroBytesAndHighBytesAtEveryPlaceOfABlock) {
  for (std::size_t length : {1, 7, 15, 16, 17, 31, 32, 33, 47, 127, 128, 129, 200, 300}) {
    std::vector<std::size_t> places = {0, 1, 14, 15, 16, 17, 30, 31, 32, 126, 127, 128, 129, 199, length - 1};
    places.erase(std::remove_if(places.begin(), places.end(), [&](std::size_t at) { return at >= length; }),
                 places.end());
    places.push_back(length);  // no zero byte, no high byte
    for (std::size_t zero : places) {
      for (std::size_t high : places) {
        std::string value(length, 'a');
        for (std::size_t i = 0; i < length; ++i) value[i] = static_cast<char>('a' + i % 26);
        if (high < length) value[high] = '\xE9';
        if (zero < length) value[zero] = '\0';
        CSMTPOLEDBQuery query("q", CPlatform{});
        CSMTPQueryResultset resultset(query.RowStore(), query.RenderSettings());
        resultset.AddColumn("before", 10);
        resultset.AddColumn("v", length + 1);
        resultset.AddColumn("after", 10);
        std::vector<std::string_view> values = {"x", value, "yz"};
        resultset.AddRow(values);
        std::string expected = value.substr(0, std::min(zero, length));
        SCOPED_TRACE("length " + std::to_string(length) + ", zero at " + std::to_string(zero) + ", high at " +
                     std::to_string(high));
        EXPECT_EQ(resultset.GetValue(0, 1), expected);
        EXPECT_EQ(resultset.GetValue(0, 2), "yz");
        EXPECT_EQ(resultset.HasEightBitValues(), high < zero && high < length);
      }
    }
  }
}

TEST(QueryResultsetTest, MissingValuesAreEmptyAndSurplusValuesIgnored) {
  CSMTPOLEDBQuery query("q", CPlatform{});
  CSMTPQueryResultset resultset(query.RowStore(), query.RenderSettings());
  resultset.AddColumn("a", 10);
  resultset.AddColumn("b", 10);
  std::vector<std::string_view> one = {"x"};
  std::vector<std::string_view> three = {"p", "q", "r"};
  resultset.AddRow(one);
  resultset.AddRow(three);
  resultset.AddRow({});
  ASSERT_EQ(resultset.GetRowCount(), 3u);
  EXPECT_EQ(resultset.GetValue(0, 0), "x");
  EXPECT_EQ(resultset.GetValue(0, 1), "");
  EXPECT_EQ(resultset.GetValue(1, 1), "q");
  EXPECT_THROW(resultset.GetValue(1, 2), std::out_of_range);
  EXPECT_EQ(resultset.GetValue(2, 0), "");
}

TEST(QueryResultsetTest, ColumnsCannotBeAddedAfterRows) {
  CSMTPOLEDBQuery query("q", CPlatform{});
  CSMTPQueryResultset resultset(query.RowStore(), query.RenderSettings());
  resultset.AddColumn("a", 10);
  std::vector<std::string_view> row = {"1"};
  resultset.AddRow(row);
  EXPECT_THROW(resultset.AddColumn("late", 10), std::logic_error);
}

TEST(QueryResultsetTest, ResultSetWithoutColumnsCountsItsRows) {
  CSMTPOLEDBQuery query("q", CPlatform{});
  query.m_bHTML = true;
  CSMTPQueryResultset resultset(query.RowStore(), query.RenderSettings());
  resultset.AddRow({});
  resultset.AddRow({});
  EXPECT_EQ(resultset.GetRowCount(), 2u);
  EXPECT_EQ(resultset.FormatRow(1), "<TR></TR></TABLE>");
}

// Rows of random widths, some wider than a whole chunk, all read back intact.
TEST(QueryResultsetTest, RowsSurviveChunkBoundaries) {
  CSMTPOLEDBQuery query("q", CPlatform{});
  CSMTPQueryResultset resultset(query.RowStore(), query.RenderSettings());
  const std::size_t columns = 150;
  for (std::size_t i = 0; i < columns; ++i) resultset.AddColumn("c" + std::to_string(i), 10000);
  std::mt19937 random(12345);
  std::vector<std::vector<std::string>> expected;
  for (int row = 0; row < 300; ++row) {
    std::vector<std::string> texts;
    // Every 50th row is close to 1.5 MB, larger than the largest chunk.
    std::size_t longest = row % 50 == 7 ? 9999 : 40;
    for (std::size_t i = 0; i < columns; ++i) {
      std::size_t length = longest == 9999 ? 9999 : random() % longest;
      std::string text(length, '\0');
      for (char& c : text) c = static_cast<char>('a' + random() % 26);
      texts.push_back(text);
    }
    std::vector<std::string_view> values(texts.begin(), texts.end());
    resultset.AddRow(values);
    expected.push_back(std::move(texts));
  }
  ASSERT_EQ(resultset.GetRowCount(), expected.size());
  for (std::size_t row = 0; row < expected.size(); ++row) {
    for (std::size_t i = 0; i < columns; ++i) {
      ASSERT_EQ(resultset.GetValue(row, i), expected[row][i]) << row << "," << i;
    }
  }
}

TEST(QueryResultsetTest, MemoryFollowsTheDataNotTheSlotWidth) {
  CSMTPRowStore store;
  const std::size_t rows = 100000;
  std::size_t data = 0;
  for (std::size_t row = 0; row < rows; ++row) {
    std::string text = std::to_string(row);
    store.BeginRow(text.size() * 3, 3);
    for (int i = 0; i < 3; ++i) store.AppendValue(text.data(), text.size());
    store.EndRow();
    data += text.size() * 3;
  }
  EXPECT_EQ(store.RowCount(), rows);
  EXPECT_EQ(store.Value(98765, 2, 3), "98765");
  // Three long columns in fixed slots would take 3 GB; the store takes the text, one
  // length byte per short value, and at most one partly used chunk.
  EXPECT_GE(store.MemoryBytes(), data);
  EXPECT_LT(store.MemoryBytes(), data + 3 * rows + (1u << 20));
  EXPECT_EQ(store.FileBytes(), 0u);
}

TEST(QueryResultsetTest, StoreRefusesValuesOutsideTheirRow) {
  CSMTPRowStore store;
  store.BeginRow(3, 2);
  store.AppendValue("abcdef", 6);  // more than the room promised: cut to it
  store.AppendValue("x", 1);       // no room left
  store.AppendValue("y", 1);       // a third value of a two-value row: dropped
  store.EndRow();
  store.BeginRow(0, 2);
  store.EndRow();  // values never appended read as empty
  EXPECT_EQ(store.Value(0, 0, 2), "abc");
  EXPECT_EQ(store.Value(0, 1, 2), "");
  EXPECT_EQ(store.Value(1, 0, 2), "");
  EXPECT_EQ(store.Value(1, 1, 2), "");
  EXPECT_THROW(store.Value(2, 0, 2), std::out_of_range);
  store.BeginRow(1, 1);
  EXPECT_THROW(store.BeginRow(1, 1), std::logic_error);
}

}  // namespace
}  // namespace varnel
