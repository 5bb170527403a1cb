#include "smtp/AddressList.h"

#include <string_view>
#include <utility>

#include "platform/Network.h"

namespace varnel {
namespace {

constexpr const char* kWhiteSpace = "\t \n\f\r";

void Trim(std::string& text) {
  std::size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string::npos) {
    text.clear();
    return;
  }
  std::size_t last = text.find_last_not_of(kWhiteSpace);
  text = text.substr(first, last - first + 1);
}

bool IsWhiteSpace(char c) { return c != '\0' && std::string_view(kWhiteSpace).find(c) != std::string_view::npos; }
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Where a byte of an address text stands: outside quoted strings and comments, inside a
// quoted string (RFC 5322 section 3.2.4: its quotes and quoted-pairs included), or inside
// a comment (section 3.2.2: nested, its parentheses and quoted-pairs included).
enum class Where : unsigned char { Plain, Quoted, Comment };

// Fills where for every byte of text; false when a quoted string or comment is not closed.
bool Classify(std::string_view text, std::vector<Where>& where) {
  where.assign(text.size(), Where::Plain);
  bool quoted = false;
  std::size_t depth = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quoted) {
      where[i] = Where::Quoted;
      if (c == '\\') {
        if (i + 1 == text.size()) return false;
        where[++i] = Where::Quoted;
      } else if (c == '"') {
        quoted = false;
      }
    } else if (depth > 0) {
      where[i] = Where::Comment;
      if (c == '\\') {
        if (i + 1 == text.size()) return false;
        where[++i] = Where::Comment;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')') {
        --depth;
      }
    } else if (c == '"') {
      where[i] = Where::Quoted;
      quoted = true;
    } else if (c == '(') {
      where[i] = Where::Comment;
      depth = 1;
    }
  }
  return !quoted && depth == 0;
}

struct CSpan {
  std::size_t nBegin;
  std::size_t nEnd;
};

// The pieces of list between the "," and ";" that stand outside quoted strings, comments
// and angle brackets; an unclosed one runs to the end of the list, so that its piece is
// refused whole rather than cut into addresses nobody wrote.
std::vector<CSpan> Cut(std::string_view list) {
  std::vector<Where> where;
  Classify(list, where);
  std::vector<CSpan> pieces;
  bool angle = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (where[i] != Where::Plain) continue;
    char c = list[i];
    if (c == '<') {
      angle = true;
    } else if (c == '>') {
      angle = false;
    } else if ((c == ',' || c == ';') && !angle) {
      pieces.push_back({start, i});
      start = i + 1;
    }
  }
  pieces.push_back({start, list.size()});
  return pieces;
}

// A blank, "<" or ">" would end the path of MAIL From or RCPT To early and let the rest
// pass as parameters (RFC 5321 section 4.1.2); a control character could end the command.
std::string CharacterFault(std::string_view address) {
  for (char c : address) {
    if (IsControl(static_cast<unsigned char>(c))) return "holds a control character";
    if (c == ' ') return "holds a blank";
    if (c == '<' || c == '>') return std::string("holds \"") + c + "\"";
  }
  return {};
}

// The host name query is answered from the network's own process-wide cache (see the
// platform layer), so every caller sees the same name.
std::string QueryName(INetwork& network) {
  std::string name = network.QueryHostName();
  // Without a name of its own the host still greets and signs as itself.
  if (name.empty()) name = "localhost";
  if (name.size() > 999) name.resize(999);
  return name;
}

}  // namespace

bool ParseAddressList(std::string& list, std::vector<std::string>& target, std::string& refusal) {
  std::vector<CSpan> pieces = Cut(list);
  // Separators only: a ";" inside a quoted name or a comment is part of it.
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    char& separator = list[pieces[i].nBegin - 1];
    if (separator == ';') separator = ',';
  }
  for (const CSpan& span : pieces) {
    if (span.nBegin == span.nEnd) continue;
    std::string piece = list.substr(span.nBegin, span.nEnd - span.nBegin);
    std::string fault;
    std::string address = ExtractEmailAddress(piece, fault);
    if (!fault.empty()) {
      refusal = AddressRefusal(piece, fault);
      return false;
    }
    target.push_back(std::move(address));
  }
  return true;
}

std::vector<std::string_view> SplitAddressList(std::string_view list) {
  std::vector<std::string_view> pieces;
  for (const CSpan& span : Cut(list)) {
    if (span.nBegin != span.nEnd) pieces.push_back(list.substr(span.nBegin, span.nEnd - span.nBegin));
  }
  return pieces;
}

std::string ExtractEmailAddress(std::string& text, std::string& fault) {
  fault.clear();
  Trim(text);
  std::vector<Where> where;
  if (!Classify(text, where)) {
    fault = "has a quoted string or a comment that is not closed";
    return text;
  }
  std::size_t begin = 0;
  std::size_t end = text.size();
  std::size_t open = 0;
  while (open < text.size() && !(where[open] == Where::Plain && text[open] == '<')) ++open;
  if (open < text.size()) {
    std::size_t close = open + 1;
    while (close < text.size() && !(where[close] == Where::Plain && text[close] == '>')) ++close;
    if (close == text.size()) {
      fault = "has a \"<\" without its \">\"";
      return text.substr(open);
    }
    // Only white space and comments may follow the address (RFC 5322 section 3.4); a
    // second address or anything else there would be lost or misread.
    for (std::size_t i = close + 1; i < text.size(); ++i) {
      if (where[i] == Where::Plain && !IsWhiteSpace(text[i])) {
        fault = "has text after its \">\"";
        return text.substr(open + 1, close - open - 1);
      }
    }
    begin = open + 1;
    end = close;
  }
  std::string address;
  address.reserve(end - begin);
  for (std::size_t i = begin; i < end; ++i) {
    if (where[i] != Where::Comment) address += text[i];
  }
  Trim(address);
  fault = CharacterFault(address);
  return address;
}

std::string AddressRefusal(std::string_view text, std::string_view fault) {
  constexpr std::size_t kShown = 80;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (IsControl(c)) {
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 0x0F];
    } else {
      shown += static_cast<char>(c);
    }
  }
  if (text.size() > kShown) shown += "...";
  std::string refusal = "the address \"" + shown + "\" ";
  refusal += fault;
  return refusal;
}

std::string GetLocalHostName(INetwork& network) { return QueryName(network); }

std::string GetFullyQualifiedName(INetwork& network) {
  std::string name = QueryName(network);
  if (name.find('.') != std::string::npos) return name;
  name = network.QueryFullyQualifiedName();
  if (name.size() > 999) name.resize(999);
  return name.find('.') != std::string::npos ? name : std::string();
}

std::string GetSenderDomain(INetwork& network, const std::string& configured) {
  // Blanks and control characters have no place in a domain.
  std::string domain;
  for (char c : configured) {
    if (static_cast<unsigned char>(c) > 0x20 && c != 0x7F) domain += c;
  }
  if (domain.empty()) domain = GetFullyQualifiedName(network);
  if (domain.empty()) domain = QueryName(network);
  return domain;
}

}  // namespace varnel
