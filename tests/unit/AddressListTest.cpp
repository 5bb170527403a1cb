// Address lists as RFC 5322 writes them: quoted names, comments and angle brackets keep
// their separators; addresses that would change MAIL From or RCPT To are refused by name;
// header lines of address fields stay within 998 octets or the address is refused.
#include <gtest/gtest.h>

#include "mime/ByteSink.h"
#include "smtp/AddressList.h"
#include "smtp/MessageComposer.h"
#include "smtp/SMTPChannel.h"
#include "tests/unit/TestRelay.h"

using namespace varnel;

TEST(AddressListTest, ReaderHonoursQuotesCommentsAndBracketsAndRefusesInjection) {
  struct Case {
    std::string strList;
    std::vector<std::string> arrExpected;  // on refusal: the addresses before the refused one
    std::string strAfter;                  // the list afterwards ("" : unchanged)
    std::string strRefusal;                // "" : accepted
  } const cases[] = {
      {"\"Doe, John\" <john@example.com>", {"john@example.com"}, "", ""},
      {"\"Doe; John\" <john@example.com>; b@x.test",
       {"john@example.com", "b@x.test"},
       "\"Doe; John\" <john@example.com>, b@x.test",
       ""},
      {"\"a \\\"b, c\\\" d\" <e@x.test>, f@x.test", {"e@x.test", "f@x.test"}, "", ""},
      {"Jane (Ops; night, shift) <jane@x.test>", {"jane@x.test"}, "", ""},
      {"jane@x.test (Jane Doe, Ops)", {"jane@x.test"}, "", ""},
      {"(nested (comment, \\) here)) a@x.test, b@x.test", {"a@x.test", "b@x.test"}, "", ""},
      {"(a) <b(c)@x.test> (d)", {"b@x.test"}, "", ""},
      {"\"<evil@x.test>\" <a@x.test>", {"a@x.test"}, "", ""},
      {"<\"a,b\"@x.test>, c@x.test", {"\"a,b\"@x.test", "c@x.test"}, "", ""},
      {"< a@x.test >", {"a@x.test"}, "", ""},
      {"<>", {""}, "", ""},
      // The envelope cannot take parameters, a second path or a command from an address.
      {"a@b.test> RET=HDRS ENVID=X", {}, "", "the address \"a@b.test> RET=HDRS ENVID=X\" holds \">\""},
      {"ok@x.test; v@y.test> NOTIFY=NEVER", {"ok@x.test"}, "ok@x.test, v@y.test> NOTIFY=NEVER",
       "the address \"v@y.test> NOTIFY=NEVER\" holds \">\""},
      {"<a b@x.com>", {}, "", "the address \"<a b@x.com>\" holds a blank"},
      {"\"john doe\"@x.test", {}, "", "the address \"\"john doe\"@x.test\" holds a blank"},
      {"<a@x.test\r\nRSET>", {}, "", "the address \"<a@x.test\\x0D\\x0ARSET>\" holds a control character"},
      {std::string("a\0b@x.test", 10), {}, "", "the address \"a\\x00b@x.test\" holds a control character"},
      {"<a<b@x.test>", {}, "", "the address \"<a<b@x.test>\" holds \"<\""},
      {"<a@b.test> RET=HDRS", {}, "", "the address \"<a@b.test> RET=HDRS\" has text after its \">\""},
      {"<a@x.test> <b@x.test>", {}, "", "the address \"<a@x.test> <b@x.test>\" has text after its \">\""},
      {"odd> <order", {}, "", "the address \"odd> <order\" has a \"<\" without its \">\""},
      {"Name <a@x.test, b@x.test", {}, "", "the address \"Name <a@x.test, b@x.test\" has a \"<\" without its \">\""},
      {"\"Doe, John <j@x.test>, b@x.test", {}, "",
       "the address \"\"Doe, John <j@x.test>, b@x.test\" has a quoted string or a comment that is not closed"},
      {"a@x.test (Ops, b@x.test", {}, "",
       "the address \"a@x.test (Ops, b@x.test\" has a quoted string or a comment that is not closed"},
      {std::string(100, 'n') + " @x.test", {}, "", "the address \"" + std::string(80, 'n') + "...\" holds a blank"},
  };
  for (const Case& c : cases) {
    std::string list = c.strList;
    std::vector<std::string> target;
    std::string refusal;
    bool accepted = ParseAddressList(list, target, refusal);
    EXPECT_EQ(accepted, c.strRefusal.empty()) << c.strList;
    EXPECT_EQ(refusal, c.strRefusal) << c.strList;
    EXPECT_EQ(target, c.arrExpected) << c.strList;
    EXPECT_EQ(list, c.strAfter.empty() ? c.strList : c.strAfter);

    // The sender is read by the same rules.
    std::string from = c.strList;
    std::string fault;
    std::string address = ExtractEmailAddress(from, fault);
    if (c.arrExpected.size() == 1 && c.strRefusal.empty()) {
      EXPECT_EQ(address, c.arrExpected[0]) << c.strList;
      EXPECT_EQ(fault, "") << c.strList;
    }
    if (c.arrExpected.empty()) {
      EXPECT_NE(fault, "") << c.strList;
    }
  }
}

namespace {

class CStringSink final : public IByteSink {
 public:
  std::string m_strText;
  using IByteSink::Write;
  void Write(const char* data, std::size_t size) override { m_strText.append(data, size); }
};

}  // namespace

TEST(AddressListTest, AddressFieldLinesStayWithin998OrTheAddressIsRefused) {
  std::string words;
  for (int i = 0; i < 1000; ++i) words += "word ";
  std::string manyAddresses;
  for (int i = 0; i < 400; ++i) manyAddresses += (i ? "; " : "") + ("\"User, " + std::to_string(i) + "\" <u" + std::to_string(i) + "@example.com>");
  const std::string longLocal = std::string(985, 'l');  // with "@x.test", just fits a line
  struct Case {
    const char* pField;  // "From", "To" or "Cc"
    std::string strValue;
    std::string strTerminator;
    std::string strRefusal;  // "" : every line fits
  } const cases[] = {
      {"To", manyAddresses, "\r\n", ""},
      {"Cc", manyAddresses, "\n", ""},
      {"To", "\"" + words + "\" <w@example.com>", "\r\n", ""},
      {"To", longLocal + "@x.test", "\r\n", ""},
      {"From", "Ops <" + longLocal + "@x.test>", "\r", ""},
      {"To", std::string(5000, 'n') + " <n@example.com>", "\r\n",
       "the address \"" + std::string(80, 'n') + "...\" is too long for a header line of 998 octets"},
      {"Cc", "a@example.com, " + std::string(995, 'l') + "@x.test, b@example.com", "\r\n",
       "the address \"" + std::string(80, 'l') + "...\" is too long for a header line of 998 octets"},
      {"From", "x@example.com (" + std::string(1000, 'c') + ")", "\n",
       "the address \"x@example.com (" + std::string(65, 'c') + "...\" is too long for a header line of 998 octets"},
  };
  for (const Case& c : cases) {
    test::CTestPlatform platform;
    CSMTPChannel channel(platform.Get());
    channel.m_strTerminator = c.strTerminator;
    channel.m_strFrom = "ops@example.com";
    channel.m_strRecipient = "to@example.com";
    std::string field = c.pField;
    std::string& target = field == "From" ? channel.m_strFrom : field == "To" ? channel.m_strRecipient : channel.m_strCC;
    target = c.strValue;
    std::vector<std::string> addresses;
    std::string refusal;
    ASSERT_TRUE(ParseAddressList(target, addresses, refusal)) << refusal;
    EXPECT_EQ(CMessageComposer::OverlongAddress(channel), c.strRefusal) << field << ": " << c.strValue.substr(0, 40);
    if (!c.strRefusal.empty()) continue;

    CStringSink sink;
    CMessageComposer composer(channel, sink);
    std::string header = composer.FormatHeader(0);
    std::size_t lines = 0;
    for (std::size_t start = 0, end; start < header.size(); start = end + c.strTerminator.size(), ++lines) {
      end = header.find(c.strTerminator, start);
      ASSERT_NE(end, std::string::npos);
      EXPECT_LE(end - start, 998u) << field;
      EXPECT_EQ(header.find_first_of("\r\n", start), end) << "a line ends only with the terminator";
    }
    // Unfolding the field (each terminator before a blank removed) gives the list back.
    std::size_t begin = header.find(field + ": ");
    ASSERT_NE(begin, std::string::npos);
    std::string unfolded;
    for (std::size_t i = begin + field.size() + 2; i == begin + field.size() + 2 || header[i] == ' ';) {
      std::size_t end = header.find(c.strTerminator, i);
      unfolded += header.substr(i, end - i);
      i = end + c.strTerminator.size();
    }
    if (c.strValue == manyAddresses) {
      EXPECT_GT(lines, 400u / 3) << "the list is folded between its addresses";
    }
    EXPECT_EQ(unfolded, target) << field;
  }
}
