// Rendering of captured result sets against golden files (text and HTML, every attribute
// setter, caption, separators, terminators), and the renderers' contracts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "platform/Platform.h"
#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"

namespace varnel {
namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

// Control characters become visible escapes, so that a golden file shows every byte.
std::string Escape(const std::string& text) {
  std::string escaped;
  for (unsigned char c : text) {
    switch (c) {
      case '\r': escaped += "\\r"; break;
      case '\n': escaped += "\\n"; break;
      case '\t': escaped += "\\t"; break;
      case '\\': escaped += "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          escaped += hex;
        } else {
          escaped += static_cast<char>(c);
        }
    }
  }
  return escaped;
}

CSMTPQueryResultset& AddResultset(CSMTPOLEDBQuery& query, const std::vector<std::string>& columns, const Rows& rows) {
  query.m_arrResultsets.push_back(std::make_unique<CSMTPQueryResultset>(query.RowStore(), query.RenderSettings()));
  CSMTPQueryResultset& resultset = *query.m_arrResultsets.back();
  for (const std::string& name : columns) resultset.AddColumn(name, 10000);
  for (const auto& row : rows) {
    std::vector<std::string_view> values;
    for (const auto& value : row) values.push_back(value ? std::string_view(*value) : std::string_view());
    resultset.AddRow(values);
  }
  return resultset;
}

// The pieces a sender takes from a result set, one per line.
std::string Pieces(const CSMTPQueryResultset& resultset) {
  std::string text = "header: " + Escape(resultset.FormatHeader()) + "\n";
  for (std::size_t i = 0; i < resultset.GetRowCount(); ++i) {
    text += "row " + std::to_string(i) + ": " + Escape(resultset.FormatRow(i)) + "\n";
  }
  return text;
}

std::string ReadGolden(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream content;
  content << stream.rdbuf();
  return content.str();
}

struct GoldenCase {
  const char* name;
  bool html;
  const char* terminator;
  std::optional<std::string> fieldSeparator;
  std::optional<std::string> rowSeparator;
  std::string caption;
  // Attribute setters in the order of the query stage: table, header, caption, TR, TD.
  std::optional<std::string> attributes[5];
  std::vector<std::string> columns;
  Rows rows;
};

const Rows kTwoRows = {{"1", "x"}, {"2", std::nullopt}};

const std::vector<GoldenCase> kGoldenCases = {
    {"html_default", true, "\r\n", {}, {}, "", {}, {"id", "name"}, kTwoRows},
    {"text_default", false, "\r\n", {}, {}, "", {}, {"id", "name"}, kTwoRows},
    {"html_attributes",
     true,
     "\n",
     {},
     {},
     "Orders & <b>totals</b>",
     {"BORDER=1 CELLPADDING=2", "BGCOLOR=#cccccc", "ALIGN=top", "CLASS=\"row\"", "VALIGN=top"},
     {"id", "name"},
     kTwoRows},
    {"html_empty", true, "\r\n", {}, {}, "Nothing today", {}, {"id", "name"}, {}},
    {"html_single_row", true, "\r", {}, {}, "", {}, {"only"}, {{"one"}}},
    {"text_tab_crlf", false, "\r\n", "\t", "\r\n", "", {}, {"id", "name"}, kTwoRows},
    {"text_empty", false, "\r\n", {}, {}, "ignored in text", {}, {"id", "name"}, {}},
    {"html_raw_values",
     true,
     "\r\n",
     {},
     {},
     "",
     {},
     {"html", "blank", ""},
     {{"<b>Fish &amp; chips</b> & more", "", " "}}},
    {"text_raw_values",
     false,
     "\r\n",
     "|",
     {},
     "",
     {},
     {"a;b", "c"},
     {{"x,y", "line one\nline two"}, {std::nullopt, "\"quoted\""}}},
};

TEST(QueryRenderTest, MatchesGoldenFiles) {
  bool update = std::getenv("VARNEL_UPDATE_GOLDEN") != nullptr;
  for (const GoldenCase& c : kGoldenCases) {
    SCOPED_TRACE(c.name);
    CSMTPOLEDBQuery query("select", CPlatform{});
    query.m_bHTML = c.html;
    query.m_strTerminator = c.terminator;
    if (c.fieldSeparator) query.m_strFieldSeparator = *c.fieldSeparator;
    if (c.rowSeparator) query.m_strRowSeparator = *c.rowSeparator;
    query.m_strTableCaption = c.caption;
    if (c.attributes[0]) query.SetTableAttribute(*c.attributes[0]);
    if (c.attributes[1]) query.SetHeaderAttribute(*c.attributes[1]);
    if (c.attributes[2]) query.SetCaptionAttribute(*c.attributes[2]);
    if (c.attributes[3]) query.SetTRAttribute(*c.attributes[3]);
    if (c.attributes[4]) query.SetTDAttribute(*c.attributes[4]);
    const CSMTPQueryResultset& resultset = AddResultset(query, c.columns, c.rows);
    std::string path = std::string(VARNEL_TEST_DATA_DIR) + "/render/" + c.name + ".ref";
    std::string actual = Pieces(resultset);
    if (update) {
      std::ofstream(path, std::ios::binary) << actual;
      continue;
    }
    EXPECT_EQ(actual, ReadGolden(path));
  }
}

TEST(QueryRenderTest, AttributeSettersBuildTagsAndKeepTheirText) {
  struct Case {
    void (CSMTPOLEDBQuery::*setter)(const std::string&);
    std::string CSMTPOLEDBQuery::*attribute;
    std::string CSMTPOLEDBQuery::*tag;
    const char* bare;
    const char* withText;
  };
  const std::vector<Case> cases = {
      {&CSMTPOLEDBQuery::SetTableAttribute, &CSMTPOLEDBQuery::m_strTableAttribute, &CSMTPOLEDBQuery::m_strTableTag,
       "<TABLE>", "<TABLE BORDER=1 >"},
      {&CSMTPOLEDBQuery::SetCaptionAttribute, &CSMTPOLEDBQuery::m_strCaptionAttribute,
       &CSMTPOLEDBQuery::m_strCaptionTag, "<CAPTION>", "<CAPTION BORDER=1 >"},
      {&CSMTPOLEDBQuery::SetHeaderAttribute, &CSMTPOLEDBQuery::m_strHeaderAttribute, &CSMTPOLEDBQuery::m_strHeaderTag,
       "<TH>", "<TH BORDER=1 >"},
      {&CSMTPOLEDBQuery::SetTRAttribute, &CSMTPOLEDBQuery::m_strTRAttribute, &CSMTPOLEDBQuery::m_strTRTag, "<TR>",
       "<TR BORDER=1 >"},
      {&CSMTPOLEDBQuery::SetTDAttribute, &CSMTPOLEDBQuery::m_strTDAttribute, &CSMTPOLEDBQuery::m_strTDTag, "<TD>",
       "<TD BORDER=1 >"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bare);
    CSMTPOLEDBQuery query("q", CPlatform{});
    EXPECT_EQ(query.*c.tag, c.bare);  // initial
    (query.*c.setter)("BORDER=1");
    EXPECT_EQ(query.*c.attribute, "BORDER=1");
    EXPECT_EQ(query.*c.tag, c.withText);
    (query.*c.setter)("");
    EXPECT_EQ(query.*c.attribute, "");
    EXPECT_EQ(query.*c.tag, c.bare);
  }
}

TEST(QueryRenderTest, RenderersAreRepeatableAndAppendFormsMatch) {
  for (bool html : {false, true}) {
    CSMTPOLEDBQuery query("q", CPlatform{});
    query.m_bHTML = html;
    query.m_strTerminator = "\r\n";
    const CSMTPQueryResultset& resultset = AddResultset(query, {"a", "b"}, {{"1", "2"}, {"3", std::nullopt}, {"5", "6"}});
    std::string out = "prefix";
    resultset.AppendHeader(out);
    for (std::size_t i = 0; i < resultset.GetRowCount(); ++i) resultset.AppendRow(i, out);
    std::string expected = "prefix" + resultset.FormatHeader();
    for (std::size_t i : {0, 1, 2}) expected += resultset.FormatRow(i);
    EXPECT_EQ(out, expected);
    // In any order, any number of times, the same texts.
    EXPECT_EQ(resultset.FormatRow(2), resultset.FormatRow(2));
    EXPECT_EQ(resultset.FormatRow(0), html ? "<TR><TD>1</TD><TD>2</TD></TR>" : "1,2,\n");
  }
}

TEST(QueryRenderTest, BadRowIndexThrowsOutOfRange) {
  CSMTPOLEDBQuery query("q", CPlatform{});
  const CSMTPQueryResultset& empty = AddResultset(query, {"a"}, {});
  EXPECT_THROW(empty.FormatRow(0), std::out_of_range);
  const CSMTPQueryResultset& one = AddResultset(query, {"a"}, {{"1"}});
  EXPECT_NO_THROW(one.FormatRow(0));
  EXPECT_THROW(one.FormatRow(1), std::out_of_range);
  EXPECT_THROW(one.FormatRow(static_cast<std::size_t>(-1)), std::out_of_range);
  std::string out;
  EXPECT_THROW(one.AppendRow(7, out), std::out_of_range);
  EXPECT_THROW(one.GetValue(0, 1), std::out_of_range);
  EXPECT_THROW(one.GetColumn(1), std::out_of_range);
}

}  // namespace
}  // namespace varnel
