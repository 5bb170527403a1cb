// The opt-in renderings of result sets: RFC 4180 CSV (@qcsv) and HTML tables with escaped
// names and values (@qhtmlescape); the classic renderings are covered by golden files.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"

namespace varnel {
namespace {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

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

std::string Render(const CSMTPQueryResultset& resultset) {
  std::string text = resultset.FormatHeader();
  for (std::size_t i = 0; i < resultset.GetRowCount(); ++i) text += resultset.FormatRow(i);
  return text;
}

TEST(QueryOptInRenderTest, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
  struct Case {
    const char* name;
    std::string text;
    std::string separator;
    std::string field;
  } const cases[] = {
      {"plain", "abc", ",", "abc"},
      {"empty", "", ",", ""},
      {"blanks stay unquoted", " a b ", ",", " a b "},
      {"separator", "a,b", ",", "\"a,b\""},
      {"quote doubled", "say \"hi\"", ",", "\"say \"\"hi\"\"\""},
      {"only a quote", "\"", ",", "\"\"\"\""},
      {"line feed", "one\ntwo", ",", "\"one\ntwo\""},
      {"carriage return", "one\rtwo", ",", "\"one\rtwo\""},
      {"comma with a tab separator", "a,b", "\t", "a,b"},
      {"tab separator", "a\tb", "\t", "\"a\tb\""},
      {"separator of two characters", "a;;b", ";;", "\"a;;b\""},
      {"half a long separator", "a;b", ";;", "a;b"},
      {"markup untouched", "<b>&</b>", ",", "<b>&</b>"},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    AppendCsvField(out, c.text, c.separator);
    EXPECT_EQ(out, "x" + c.field) << c.name;
  }
}

TEST(QueryOptInRenderTest, HtmlEscapingCoversAmpersandAnglesAndQuote) {
  struct Case {
    std::string text;
    std::string escaped;
  } const cases[] = {
      {"", ""},
      {"plain text", "plain text"},
      {"Fish & chips", "Fish &amp; chips"},
      {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"<a href=\"x\">", "&lt;a href=&quot;x&quot;&gt;"},
      {"&amp;", "&amp;amp;"},
      {"it's", "it's"},
      {"\xE9t\xE9 & \xFC", "\xE9t\xE9 &amp; \xFC"},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    AppendHtmlEscaped(out, c.text);
    EXPECT_EQ(out, "x" + c.escaped) << c.text;
  }
}

TEST(QueryOptInRenderTest, CsvResultSetHasAHeaderAndCrLfRowsWithoutTrailingSeparators) {
  struct Case {
    const char* name;
    bool html;
    std::optional<std::string> fieldSeparator;
    std::optional<std::string> rowSeparator;
    std::string expected;
  } const cases[] = {
      {"default separator", false, {}, {}, "id,note\r\n1,\"a,b\"\r\n2,\r\n,\"say \"\"x\"\"\"\r\n"},
      {"own field separator", false, ";", {}, "id;note\r\n1;a,b\r\n2;\r\n;\"say \"\"x\"\"\"\r\n"},
      {"row separator does not apply", false, {}, "|", "id,note\r\n1,\"a,b\"\r\n2,\r\n,\"say \"\"x\"\"\"\r\n"},
      {"no HTML table", true, {}, {}, "id,note\r\n1,\"a,b\"\r\n2,\r\n,\"say \"\"x\"\"\"\r\n"},
  };
  for (const Case& c : cases) {
    CSMTPOLEDBQuery query("select", CPlatform{});
    query.m_bCSV = true;
    query.m_bHTML = c.html;
    query.m_strTerminator = "\r\n";
    if (c.fieldSeparator) query.m_strFieldSeparator = *c.fieldSeparator;
    if (c.rowSeparator) query.m_strRowSeparator = *c.rowSeparator;
    const CSMTPQueryResultset& resultset =
        AddResultset(query, {"id", "note"}, {{"1", "a,b"}, {"2", std::nullopt}, {"", "say \"x\""}});
    EXPECT_EQ(Render(resultset), c.expected) << c.name;
  }
}

TEST(QueryOptInRenderTest, CsvHeaderNamesAreQuotedAndAnEmptyResultIsItsHeader) {
  CSMTPOLEDBQuery query("select", CPlatform{});
  query.m_bCSV = true;
  const CSMTPQueryResultset& resultset = AddResultset(query, {"a,b", "", "c\"d"}, {});
  EXPECT_EQ(Render(resultset), "\"a,b\",,\"c\"\"d\"\r\n");
}

TEST(QueryOptInRenderTest, EscapedHtmlTableEscapesNamesAndValuesButNotTheCaption) {
  CSMTPOLEDBQuery query("select", CPlatform{});
  query.m_bHTML = true;
  query.m_bHTMLEscape = true;
  query.m_strTerminator = "\r\n";
  query.m_strTableCaption = "<i>Totals</i>";
  query.SetTDAttribute("CLASS=\"v\"");
  const CSMTPQueryResultset& resultset =
      AddResultset(query, {"a<b", "c"}, {{"<b>Fish & chips</b>", std::nullopt}, {"\"q\"", "ok"}});
  EXPECT_EQ(Render(resultset),
            "\r\n<TABLE><CAPTION><i>Totals</i></CAPTION><TR><TH>a&lt;b</TH><TH>c</TH></TR>"
            "<TR><TD CLASS=\"v\" >&lt;b&gt;Fish &amp; chips&lt;/b&gt;</TD><TD CLASS=\"v\" >&nbsp;</TD></TR>"
            "<TR><TD CLASS=\"v\" >&quot;q&quot;</TD><TD CLASS=\"v\" >ok</TD></TR></TABLE>\r\n");
}

TEST(QueryOptInRenderTest, RowLengthBoundHoldsForTheWorstValues) {
  for (bool csv : {false, true}) {
    CSMTPOLEDBQuery query("select", CPlatform{});
    query.m_bCSV = csv;
    query.m_bHTML = !csv;
    query.m_bHTMLEscape = !csv;
    query.m_strTerminator = "\r\n";
    // Every byte needs escaping or quoting at its longest.
    const CSMTPQueryResultset& resultset =
        AddResultset(query, {"a", "b"}, {{std::string(40, '"'), ","}, {"x", std::string(30, '"')}});
    for (std::size_t row = 0; row < resultset.GetRowCount(); ++row) {
      EXPECT_LE(resultset.FormatRow(row).size(), resultset.RowLengthBound()) << csv << " row " << row;
    }
  }
}

}  // namespace
}  // namespace varnel
