#include "mime/HeaderFieldWriter.h"

#include <algorithm>

#include "mime/MessageCharset.h"
#include "platform/Unicode.h"

namespace varnel {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// A word that a reader would not show as it stands: 8-bit or control bytes, or text that
// looks like an encoded word itself (RFC 2047 section 6.2 would decode it).
bool NeedsEncoding(std::string_view word) {
  for (unsigned char c : word) {
    if (c >= 0x80 || IsControl(c)) return true;
  }
  return word.find("=?") != std::string_view::npos;
}

// Characters that stand for themselves in a "Q" encoded word in a phrase as well as in
// free text (RFC 2047 section 5, rule 3).
bool IsQLiteral(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '!' || c == '*' ||
         c == '+' || c == '-' || c == '/';
}

// RFC 2231 section 7 attribute-char: ASCII printable but blank, "*", "'", "%" and the
// RFC 2045 tspecials.
bool IsAttributeChar(unsigned char c) {
  if (c <= 0x20 || c >= 0x7F) return false;
  return std::string_view("*'%()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) == std::string_view::npos;
}

// A run of white space longer than a line would leave the line without a fold point; it
// shrinks to one blank.
constexpr std::size_t kMaxSeparator = 40;

// Words longer than this cannot share a line with a field name and a fold; they go out
// as encoded words, which fold anywhere.
constexpr std::size_t kMaxPlainWord = CHeaderFieldWriter::kMaxLine - 80;

}  // namespace

CHeaderFieldWriter::CHeaderFieldWriter(std::int32_t charset, std::string terminator)
    : m_strCharset(CharsetName(charset)), m_strTerminator(std::move(terminator)) {
  if (charset == kUtf8Charset || charset == 932 || charset == 936 || charset == 949 || charset == 950) {
    m_codePage = CCodePage::Find(CharsetCodePage(charset));
  }
}

std::size_t CHeaderFieldWriter::CharacterLength(std::string_view text, std::size_t offset) const {
  if (!m_codePage) return 1;
  return std::max<std::size_t>(m_codePage->CharacterLength(text, offset), 1);
}

std::vector<std::string> CHeaderFieldWriter::EncodedWords(std::string_view text, std::size_t maxLength) const {
  const std::string prefix = "=?" + m_strCharset + "?Q?";
  const std::size_t room = maxLength > prefix.size() + 2 + 3 ? maxLength - prefix.size() - 2 : 3;
  std::vector<std::string> words;
  std::string encoded;
  std::string character;
  for (std::size_t offset = 0; offset < text.size();) {
    std::size_t length = CharacterLength(text, offset);
    character.clear();
    for (std::size_t i = offset; i < offset + length; ++i) {
      unsigned char c = static_cast<unsigned char>(text[i]);
      if (c == ' ') {
        character += '_';
      } else if (IsQLiteral(c)) {
        character += static_cast<char>(c);
      } else {
        character += '=';
        character += kHex[c >> 4];
        character += kHex[c & 0x0F];
      }
    }
    if (!encoded.empty() && encoded.size() + character.size() > room) {
      words.push_back(prefix + encoded + "?=");
      encoded.clear();
    }
    encoded += character;
    offset += length;
  }
  if (!encoded.empty() || words.empty()) words.push_back(prefix + encoded + "?=");
  return words;
}

void CHeaderFieldWriter::AddWords(std::string_view text, bool encodeAll, std::size_t maxEncoded,
                                  std::vector<CToken>& tokens) const {
  struct CWord {
    std::string strSeparator;
    bool bBreak = false;
    std::string_view text;
  };
  std::vector<CWord> words;
  std::size_t i = 0;
  while (i < text.size()) {
    CWord word;
    for (; i < text.size() && (IsBlank(text[i]) || IsLineBreak(text[i])); ++i) {
      if (IsLineBreak(text[i])) {
        word.bBreak = true;
      } else {
        word.strSeparator += text[i];
      }
    }
    if (i == text.size()) break;  // trailing white space carries nothing
    std::size_t start = i;
    while (i < text.size() && !IsBlank(text[i]) && !IsLineBreak(text[i])) ++i;
    word.text = text.substr(start, i - start);
    if (word.strSeparator.empty() || word.strSeparator.size() > kMaxSeparator) word.strSeparator.assign(1, ' ');
    words.push_back(std::move(word));
  }

  // Consecutive words that need encoding form one run of encoded words, the white space
  // between them inside the run: white space between two encoded words is not shown
  // (RFC 2047 section 6.2).
  for (std::size_t w = 0; w < words.size();) {
    bool encode = encodeAll || NeedsEncoding(words[w].text) || words[w].text.size() > kMaxPlainWord;
    if (!encode) {
      tokens.push_back(CToken{words[w].strSeparator, std::string(words[w].text), words[w].bBreak, false});
      ++w;
      continue;
    }
    std::string run(words[w].text);
    std::size_t next = w + 1;
    while (next < words.size() &&
           (encodeAll || NeedsEncoding(words[next].text) || words[next].text.size() > kMaxPlainWord)) {
      run += words[next].bBreak ? std::string(" ") : words[next].strSeparator;
      run += words[next].text;
      ++next;
    }
    bool first = true;
    for (std::string& encoded : EncodedWords(run, maxEncoded)) {
      tokens.push_back(CToken{first ? words[w].strSeparator : " ", std::move(encoded), first && words[w].bBreak, true});
      first = false;
    }
    w = next;
  }
}

std::string CHeaderFieldWriter::Fold(std::string_view name, const std::vector<CToken>& tokens) const {
  std::string out(name);
  out += ':';
  std::size_t column = out.size();
  bool lineEncoded = false;
  bool lineHasToken = false;
  for (const CToken& token : tokens) {
    // One blank after the colon, whatever white space the value began with.
    const std::string separator = (!lineHasToken || token.strSeparator.empty()) ? std::string(" ") : token.strSeparator;
    std::size_t limit = (lineEncoded || token.bEncoded) ? kMaxEncodedLine : kFoldColumn;
    bool fold = lineHasToken && (token.bBreak || column + separator.size() + token.strText.size() > limit);
    if (fold) {
      out += m_strTerminator;
      column = 0;
      lineEncoded = false;
    }
    // Two tokens may touch only where the value had them touch (an address list's comma).
    if (!lineHasToken || fold || !token.strSeparator.empty()) {
      out += separator;
      column += separator.size();
    }
    out += token.strText;
    column += token.strText.size();
    lineEncoded = lineEncoded || token.bEncoded;
    lineHasToken = true;
  }
  if (tokens.empty()) out += ' ';  // an empty value keeps the blank after the colon
  out += m_strTerminator;
  return out;
}

void CHeaderFieldWriter::AddPlainWords(std::string_view text, std::vector<CToken>& tokens) {
  std::size_t i = 0;
  while (i < text.size()) {
    CToken token;
    for (; i < text.size() && (IsBlank(text[i]) || IsLineBreak(text[i])); ++i) {
      if (IsLineBreak(text[i])) {
        token.bBreak = true;
      } else {
        token.strSeparator += text[i];
      }
    }
    if (i == text.size()) break;
    std::size_t start = i;
    while (i < text.size() && !IsBlank(text[i]) && !IsLineBreak(text[i])) ++i;
    token.strText = std::string(text.substr(start, i - start));
    // A NUL byte has no place anywhere in a message (RFC 5322 section 2.1).
    for (char& c : token.strText) {
      if (c == '\0') c = '_';
    }
    if (token.strSeparator.empty() || token.strSeparator.size() > kMaxSeparator) token.strSeparator.assign(1, ' ');
    tokens.push_back(std::move(token));
  }
}

std::string CHeaderFieldWriter::Unstructured(std::string_view name, std::string_view value) const {
  std::vector<CToken> tokens;
  AddWords(value, false, std::min(kMaxEncodedWord, kMaxEncodedLine - name.size() - 2), tokens);
  return Fold(name, tokens);
}

std::string CHeaderFieldWriter::Structured(std::string_view name, std::string_view value) const {
  std::vector<CToken> tokens;
  AddPlainWords(value, tokens);
  return Fold(name, tokens);
}

std::string CHeaderFieldWriter::AddressList(std::string_view name, std::string_view value) const {
  // Cut at commas outside quoted strings, comments and angle brackets (RFC 5322 section 3.4).
  std::vector<std::string_view> mailboxes;
  {
    std::size_t start = 0;
    bool quoted = false;
    int comment = 0;
    bool angle = false;
    for (std::size_t i = 0; i <= value.size(); ++i) {
      char c = i < value.size() ? value[i] : ',';
      if (i < value.size() && quoted && c == '\\') {
        ++i;
        continue;
      }
      if (quoted) {
        if (c == '"' && i < value.size()) quoted = false;
        if (i < value.size()) continue;
      }
      if (c == '"') quoted = true;
      if (c == '(') ++comment;
      if (c == ')' && comment > 0) --comment;
      if (c == '<') angle = true;
      if (c == '>') angle = false;
      if (c == ',' && ((comment == 0 && !angle) || i == value.size())) {
        mailboxes.push_back(value.substr(start, i - start));
        start = i + 1;
      }
    }
  }

  const std::size_t maxEncoded = std::min(kMaxEncodedWord, kMaxEncodedLine - name.size() - 2);
  std::vector<CToken> tokens;
  for (std::string_view mailbox : mailboxes) {
    std::size_t first = 0;
    std::string separator;
    bool lineBreak = false;
    for (; first < mailbox.size() && (IsBlank(mailbox[first]) || IsLineBreak(mailbox[first])); ++first) {
      if (IsLineBreak(mailbox[first])) {
        lineBreak = true;
      } else {
        separator += mailbox[first];
      }
    }
    std::size_t last = mailbox.size();
    while (last > first && (IsBlank(mailbox[last - 1]) || IsLineBreak(mailbox[last - 1]))) --last;
    if (last == first) continue;  // an empty item between commas
    mailbox = mailbox.substr(first, last - first);
    if (!tokens.empty()) tokens.back().strText += ',';
    if (separator.size() > kMaxSeparator) separator.assign(1, ' ');
    std::size_t firstToken = tokens.size();

    // The display name is the text before the address in angle brackets, outside quotes
    // and comments: a "<" in a comment starts no address, as delivery reads it too, so the
    // header never shows another address than the envelope's.
    std::size_t angle = std::string_view::npos;
    bool quoted = false;
    int comment = 0;
    for (std::size_t i = 0; i < mailbox.size(); ++i) {
      if ((quoted || comment > 0) && mailbox[i] == '\\') {
        ++i;
      } else if (comment == 0 && mailbox[i] == '"') {
        quoted = !quoted;
      } else if (!quoted && mailbox[i] == '(') {
        ++comment;
      } else if (!quoted && comment > 0 && mailbox[i] == ')') {
        --comment;
      } else if (!quoted && comment == 0 && mailbox[i] == '<') {
        angle = i;
        break;
      }
    }
    std::string_view display = angle == std::string_view::npos ? std::string_view() : mailbox.substr(0, angle);
    if (angle != std::string_view::npos && NeedsEncoding(display)) {
      // The phrase as shown: quotes removed, escapes resolved, then encoded as a whole.
      std::string phrase;
      std::size_t end = display.find_last_not_of(" \t\r\n");
      display = display.substr(0, end == std::string_view::npos ? 0 : end + 1);
      for (std::size_t i = 0; i < display.size(); ++i) {
        if (display[i] == '"' || (display[i] == '\r' && i + 1 < display.size() && display[i + 1] == '\n')) continue;
        if (display[i] == '\\' && i + 1 < display.size()) ++i;
        // A line break or tab in a name is shown as the blank that unfolding would give.
        phrase += IsLineBreak(display[i]) || display[i] == '\t' ? ' ' : display[i];
      }
      AddWords(phrase, true, maxEncoded, tokens);
      // An address is never encoded, whatever it holds.
      AddPlainWords(mailbox.substr(angle), tokens);
    } else {
      // Nothing of a mailbox without a non-ASCII name is encoded.
      AddPlainWords(mailbox, tokens);
    }
    if (tokens.size() > firstToken) {
      tokens[firstToken].strSeparator = separator;
      tokens[firstToken].bBreak = lineBreak;
    }
  }
  return Fold(name, tokens);
}

void CHeaderFieldWriter::AddParameter(const CHeaderParameter& parameter, std::vector<CToken>& tokens) const {
  // Control bytes have no place in a parameter value; a CR or LF would end the field.
  std::string value = parameter.strValue;
  const std::string& name = parameter.strName;
  bool extended = false;
  for (char& c : value) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (IsControl(byte)) c = '_';
    if (byte >= 0x80) extended = true;
  }
  // Many readers decode an encoded word even inside a quoted parameter value (RFC 2047
  // section 5 forbids it there), so "=?x?Q?y?=.txt" would arrive as "y.txt": a value
  // holding "=?" goes in the extended form, which they take as written.
  if (name != "boundary" && value.find("=?") != std::string::npos) extended = true;
  // Pieces of a value too long for one line stay within this many characters.
  constexpr std::size_t kPiece = 60;

  if (!extended) {
    // RFC 2045 section 5.1 quoted-string: a quote or backslash is escaped.
    std::vector<std::string> pieces(1);
    for (char c : value) {
      std::string escaped = (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
      if (pieces.back().size() + escaped.size() > kPiece) pieces.emplace_back();
      pieces.back() += escaped;
    }
    // A multipart boundary is read only whole (RFC 2046 section 5.1.1 keeps it within 70
    // characters, which fit a folded line): it is never cut into pieces.
    if (pieces.size() == 1 || name == "boundary") {
      std::string whole;
      for (const std::string& piece : pieces) whole += piece;
      tokens.push_back(CToken{" ", name + "=\"" + whole + "\"", false, false});
      return;
    }
    // RFC 2231 section 3: numbered pieces that readers join again.
    for (std::size_t n = 0; n < pieces.size(); ++n) {
      if (n > 0) tokens.back().strText += ';';
      tokens.push_back(CToken{" ", name + "*" + std::to_string(n) + "=\"" + pieces[n] + "\"", false, false});
    }
    return;
  }

  // RFC 2231 section 4: charset'language'value, each byte outside attribute-char as %XX,
  // the pieces never splitting a character.
  std::vector<std::string> pieces(1, m_strCharset + "''");
  for (std::size_t offset = 0; offset < value.size();) {
    std::size_t length = CharacterLength(value, offset);
    std::string encoded;
    for (std::size_t i = offset; i < offset + length; ++i) {
      unsigned char c = static_cast<unsigned char>(value[i]);
      if (IsAttributeChar(c)) {
        encoded += static_cast<char>(c);
      } else {
        encoded += '%';
        encoded += kHex[c >> 4];
        encoded += kHex[c & 0x0F];
      }
    }
    if (pieces.back().size() + encoded.size() > kPiece && !pieces.back().empty()) pieces.emplace_back();
    pieces.back() += encoded;
    offset += length;
  }
  if (pieces.size() == 1) {
    tokens.push_back(CToken{" ", name + "*=" + pieces[0], false, false});
    return;
  }
  for (std::size_t n = 0; n < pieces.size(); ++n) {
    if (n > 0) tokens.back().strText += ';';
    tokens.push_back(CToken{" ", name + "*" + std::to_string(n) + "*=" + pieces[n], false, false});
  }
}

std::string CHeaderFieldWriter::WithParameters(std::string_view name, std::string_view value,
                                               const std::vector<CHeaderParameter>& parameters) const {
  std::vector<CToken> tokens;
  tokens.push_back(CToken{" ", std::string(value), false, false});
  for (const CHeaderParameter& parameter : parameters) {
    tokens.back().strText += ';';
    AddParameter(parameter, tokens);
  }
  return Fold(name, tokens);
}

}  // namespace varnel
