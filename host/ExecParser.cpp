#include "host/ExecParser.h"

#include <algorithm>
#include <cstring>

#include "host/Literal.h"
#include "platform/AsciiCase.h"
#include "platform/Unicode.h"

namespace varnel::host {
namespace {

enum class TokenKind { End, Word, Variable, String, UnicodeString, Number, Hex, Money, Comma, Equals, Open, Close, Dot, Semicolon, Minus, Plus };

struct CToken {
  TokenKind eKind = TokenKind::End;
  std::size_t nOffset = 0;
  std::string strText;  // words and names as written (brackets removed), literals' contents
  bool bQuoted = false;  // a [bracketed] or "quoted" identifier, never a keyword
};

bool WordStart(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '#' || c >= 0x80; }
bool WordPart(unsigned char c) { return WordStart(c) || (c >= '0' && c <= '9') || c == '@' || c == '$'; }
bool Digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}
bool HexDigit(unsigned char c) { return Digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int HexValue(unsigned char c) { return Digit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

std::string Describe(const CToken& token) {
  switch (token.eKind) {
    case TokenKind::End:
      return "the end of the statement";
    case TokenKind::Word:
      return "'" + token.strText + "'";
    case TokenKind::Variable:
      return token.strText;
    case TokenKind::String:
    case TokenKind::UnicodeString:
      return "a string";
    case TokenKind::Number:
    case TokenKind::Money:
    case TokenKind::Hex:
      return "a number";
    case TokenKind::Comma:
      return "','";
    case TokenKind::Equals:
      return "'='";
    case TokenKind::Open:
      return "'('";
    case TokenKind::Close:
      return "')'";
    case TokenKind::Dot:
      return "'.'";
    case TokenKind::Semicolon:
      return "';'";
    case TokenKind::Minus:
      return "'-'";
    case TokenKind::Plus:
      return "'+'";
  }
  return "?";
}

struct CFailure {
  std::size_t nOffset;
  std::string strMessage;
};

// Splits the statement into tokens; blanks and comments (-- to the line end, nested
// /* */ blocks) separate them.
class CLexer {
 public:
  explicit CLexer(std::string_view text) : m_text(text) {}

  bool Run(std::vector<CToken>& tokens, CFailure& failure) {
    while (true) {
      if (!SkipBlanks(failure)) return false;
      CToken token;
      token.nOffset = m_nPos;
      if (m_nPos >= m_text.size()) {
        tokens.push_back(token);
        return true;
      }
      if (!Next(token, failure)) return false;
      tokens.push_back(std::move(token));
    }
  }

 private:
  unsigned char At(std::size_t i) const { return i < m_text.size() ? static_cast<unsigned char>(m_text[i]) : 0; }

  bool SkipBlanks(CFailure& failure) {
    while (m_nPos < m_text.size()) {
      unsigned char c = At(m_nPos);
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
        ++m_nPos;
      } else if (c == '-' && At(m_nPos + 1) == '-') {
        while (m_nPos < m_text.size() && At(m_nPos) != '\n') ++m_nPos;
      } else if (c == '/' && At(m_nPos + 1) == '*') {
        std::size_t start = m_nPos;
        std::size_t depth = 0;
        do {
          if (m_nPos >= m_text.size()) {
            failure = {start, "comment not closed with */"};
            return false;
          }
          if (At(m_nPos) == '/' && At(m_nPos + 1) == '*') {
            ++depth, m_nPos += 2;
          } else if (At(m_nPos) == '*' && At(m_nPos + 1) == '/') {
            --depth, m_nPos += 2;
          } else {
            ++m_nPos;
          }
        } while (depth > 0);
      } else {
        return true;
      }
    }
    return true;
  }

  // Reads up to the closing quote; failures point at start, where the literal began.
  bool Quoted(std::size_t start, char close, std::string& text, CFailure& failure, const char* what) {
    ++m_nPos;
    // Whole runs up to the next quote: a literal of many megabytes is copied once.
    while (true) {
      const void* found = m_nPos < m_text.size() ? std::memchr(m_text.data() + m_nPos, close, m_text.size() - m_nPos)
                                                 : nullptr;
      if (found == nullptr) {
        failure = {start, std::string(what) + " not closed"};
        return false;
      }
      std::size_t quote = static_cast<std::size_t>(static_cast<const char*>(found) - m_text.data());
      text.append(m_text.data() + m_nPos, quote - m_nPos);
      m_nPos = quote + 1;
      if (At(m_nPos) != static_cast<unsigned char>(close)) return true;
      ++m_nPos;  // a doubled quote stands for one
      text += close;
    }
  }

  bool Next(CToken& token, CFailure& failure) {
    unsigned char c = At(m_nPos);
    if ((c == 'N' || c == 'n') && At(m_nPos + 1) == '\'') {
      ++m_nPos;
      token.eKind = TokenKind::UnicodeString;
      return Quoted(token.nOffset, '\'', token.strText, failure, "string");
    }
    if (c == '\'') {
      token.eKind = TokenKind::String;
      return Quoted(token.nOffset, '\'', token.strText, failure, "string");
    }
    if (c == '[' || c == '"') {
      token.eKind = TokenKind::Word;
      token.bQuoted = true;
      return Quoted(token.nOffset, c == '[' ? ']' : '"', token.strText, failure, "quoted name");
    }
    if (c == '0' && (At(m_nPos + 1) == 'x' || At(m_nPos + 1) == 'X')) return HexLiteral(token, failure);
    if (Digit(c) || (c == '.' && Digit(At(m_nPos + 1)))) return Number(token, failure);
    if (c == '$') {
      ++m_nPos;
      if (!Digit(At(m_nPos)) && !(At(m_nPos) == '.' && Digit(At(m_nPos + 1)))) {
        failure = {token.nOffset, "expected digits after '$'"};
        return false;
      }
      if (!Number(token, failure)) return false;
      if (token.strText.find_first_of("eE") != std::string::npos) {
        failure = {token.nOffset, "a money value has no exponent"};
        return false;
      }
      token.eKind = TokenKind::Money;
      return true;
    }
    if (c == '@') {
      std::size_t start = m_nPos++;
      while (WordPart(At(m_nPos))) ++m_nPos;
      if (m_nPos == start + 1) {
        failure = {start, "expected a parameter name after '@'"};
        return false;
      }
      token.eKind = TokenKind::Variable;
      token.strText.assign(m_text.substr(start, m_nPos - start));
      return true;
    }
    if (WordStart(c)) {
      std::size_t start = m_nPos;
      while (WordPart(At(m_nPos))) ++m_nPos;
      token.eKind = TokenKind::Word;
      token.strText.assign(m_text.substr(start, m_nPos - start));
      return true;
    }
    static constexpr struct {
      char c;
      TokenKind kind;
    } kPunctuation[] = {{',', TokenKind::Comma}, {'=', TokenKind::Equals}, {'(', TokenKind::Open},
                        {')', TokenKind::Close}, {'.', TokenKind::Dot},    {';', TokenKind::Semicolon},
                        {'-', TokenKind::Minus}, {'+', TokenKind::Plus}};
    for (const auto& p : kPunctuation) {
      if (c == static_cast<unsigned char>(p.c)) {
        token.eKind = p.kind;
        ++m_nPos;
        return true;
      }
    }
    std::string shown;
    std::size_t offset = m_nPos;
    AppendUtf8(shown, DecodeUtf8(m_text, offset));
    failure = {m_nPos, "unexpected character '" + shown + "'"};
    return false;
  }

  bool HexLiteral(CToken& token, CFailure& failure) {
    m_nPos += 2;
    std::size_t start = m_nPos;
    while (HexDigit(At(m_nPos))) ++m_nPos;
    if (WordPart(At(m_nPos))) {
      failure = {m_nPos, "bad digit in binary literal"};
      return false;
    }
    token.eKind = TokenKind::Hex;
    // An odd number of digits is read as if a 0 led it: 0xABC is 0x0ABC.
    std::string_view digits = m_text.substr(start, m_nPos - start);
    std::size_t i = 0;
    if (digits.size() % 2 != 0) token.strText += static_cast<char>(HexValue(static_cast<unsigned char>(digits[i++])));
    for (; i < digits.size(); i += 2) {
      token.strText += static_cast<char>(HexValue(static_cast<unsigned char>(digits[i])) << 4 |
                                         HexValue(static_cast<unsigned char>(digits[i + 1])));
    }
    return true;
  }

  bool Number(CToken& token, CFailure& failure) {
    std::size_t start = m_nPos;
    while (Digit(At(m_nPos))) ++m_nPos;
    if (At(m_nPos) == '.') {
      ++m_nPos;
      while (Digit(At(m_nPos))) ++m_nPos;
    }
    if (At(m_nPos) == 'e' || At(m_nPos) == 'E') {
      ++m_nPos;
      if (At(m_nPos) == '+' || At(m_nPos) == '-') ++m_nPos;
      if (!Digit(At(m_nPos))) {
        failure = {m_nPos, "expected digits of the exponent"};
        return false;
      }
      while (Digit(At(m_nPos))) ++m_nPos;
    }
    if (WordPart(At(m_nPos)) || At(m_nPos) == '.') {
      failure = {m_nPos, "unexpected character after a number"};
      return false;
    }
    token.eKind = TokenKind::Number;
    token.strText.assign(m_text.substr(start, m_nPos - start));
    return true;
  }

  std::string_view m_text;
  std::size_t m_nPos = 0;
};

class CStatementReader {
 public:
  // The literals' texts are taken out of the tokens as they are read.
  CStatementReader(std::vector<CToken>& tokens, const CCodePage& codePage)
      : m_arrTokens(tokens), m_codePage(codePage) {}

  bool Run(std::vector<CHostParameter>& parameters, CFailure& failure) {
    if (!Procedure(failure)) return false;
    if (!AtStatementEnd()) {
      bool named = false;
      while (true) {
        CHostParameter parameter;
        if (!Argument(parameter, named, failure)) return false;
        parameters.push_back(std::move(parameter));
        if (Peek().eKind != TokenKind::Comma) break;
        ++m_nPos;
        // A comma with nothing after it, as T-SQL refuses it ("near ','").
        if (AtStatementEnd()) return Expected("a parameter after ','", failure);
      }
    }
    if (Peek().eKind == TokenKind::Semicolon) ++m_nPos;
    if (IsKeyword(Peek(), "go")) ++m_nPos;
    if (Peek().eKind != TokenKind::End) return Expected("',' or the end of the statement", failure);
    return true;
  }

 private:
  const CToken& Peek(std::size_t ahead = 0) const {
    std::size_t i = std::min(m_nPos + ahead, m_arrTokens.size() - 1);
    return m_arrTokens[i];
  }
  static bool IsKeyword(const CToken& token, const char* word) {
    return token.eKind == TokenKind::Word && !token.bQuoted && AsciiLower(token.strText) == word;
  }
  bool AtStatementEnd() const {
    return Peek().eKind == TokenKind::End || Peek().eKind == TokenKind::Semicolon || IsKeyword(Peek(), "go");
  }
  bool Expected(const std::string& what, CFailure& failure) const {
    failure = {Peek().nOffset, "expected " + what + ", found " + Describe(Peek())};
    return false;
  }

  // [EXEC | EXECUTE] [@status =] [master.. | master.dbo.]xp_Varnel
  bool Procedure(CFailure& failure) {
    if (IsKeyword(Peek(), "exec") || IsKeyword(Peek(), "execute")) {
      ++m_nPos;
      if (Peek().eKind == TokenKind::Variable && Peek(1).eKind == TokenKind::Equals) m_nPos += 2;
    }
    if (Peek().eKind != TokenKind::Word) return Expected("the procedure name", failure);
    std::size_t start = Peek().nOffset;
    std::vector<std::string> parts;
    std::string written;
    while (true) {
      if (Peek().eKind == TokenKind::Word) {
        parts.push_back(AsciiLower(Peek().strText));
        written += Peek().strText;
        ++m_nPos;
      } else {
        parts.emplace_back();
      }
      if (Peek().eKind != TokenKind::Dot) break;
      written += '.';
      ++m_nPos;
    }
    bool known = parts.back() == "xp_varnel" &&
                 (parts.size() == 1 || (parts.size() == 3 && parts[0] == "master" && (parts[1].empty() || parts[1] == "dbo")));
    if (!known) {
      failure = {start, "unknown procedure " + written + " (this command runs xp_Varnel, master..xp_Varnel or master.dbo.xp_Varnel)"};
      return false;
    }
    return true;
  }

  bool Argument(CHostParameter& parameter, bool& named, CFailure& failure) {
    if (Peek().eKind == TokenKind::Variable) {
      if (Peek(1).eKind != TokenKind::Equals) {
        failure = {Peek(1).nOffset, "expected '=' after " + Peek().strText + " (variables cannot be passed, only literals)"};
        return false;
      }
      parameter.strName = m_codePage.FromUtf8(Peek().strText);
      m_nPos += 2;
      named = true;
    } else if (named) {
      failure = {Peek().nOffset, "once a parameter is passed as @name = value, every later one must be too"};
      return false;
    }
    std::size_t start = Peek().nOffset;
    std::string error;
    bool typed = false;
    if (IsKeyword(Peek(), "cast")) {
      ++m_nPos;
      if (Peek().eKind != TokenKind::Open) return Expected("'(' after CAST", failure);
      ++m_nPos;
      CLiteral literal;
      if (!Literal(literal, failure)) return false;
      if (!IsKeyword(Peek(), "as")) return Expected("AS", failure);
      ++m_nPos;
      CCastType type;
      std::size_t typeStart = Peek().nOffset;
      if (!Type(type, failure)) return false;
      if (Peek().eKind != TokenKind::Close) return Expected("')' to close CAST", failure);
      ++m_nPos;
      if (CastTypeCode(type.strName) == 0) {
        failure = {typeStart, "type " + type.strName + " is not supported by this command"};
        return false;
      }
      typed = CastLiteral(literal, type, m_codePage, parameter, error);
    } else {
      CLiteral literal;
      if (!Literal(literal, failure)) return false;
      typed = TypeLiteral(std::move(literal), parameter, error);
    }
    if (!typed) failure = {start, error};
    return typed;
  }

  bool Literal(CLiteral& literal, CFailure& failure) {
    const CToken& token = Peek();
    std::string sign;
    if (token.eKind == TokenKind::Minus || token.eKind == TokenKind::Plus) {
      const CToken& next = Peek(1);
      if (next.eKind != TokenKind::Number && next.eKind != TokenKind::Money) {
        failure = {next.nOffset, "expected a number after the sign"};
        return false;
      }
      if (token.eKind == TokenKind::Minus) sign = "-";
      ++m_nPos;
      return Literal(literal, failure) && (literal.strText.insert(0, sign), true);
    }
    switch (token.eKind) {
      case TokenKind::String:
        literal.eKind = CLiteral::Kind::Text;
        // The token is read once: plain ASCII, the same in every code page, moves on
        // instead of being copied; other text is converted and the token let go.
        if (IsAscii(token.strText)) {
          literal.strText = std::move(m_arrTokens[m_nPos].strText);
        } else {
          literal.strText = m_codePage.FromUtf8(token.strText);
          std::string().swap(m_arrTokens[m_nPos].strText);
        }
        break;
      case TokenKind::UnicodeString:
        literal.eKind = CLiteral::Kind::UnicodeText;
        literal.strUnicode = Utf8ToUtf16(token.strText);
        break;
      case TokenKind::Hex:
        literal.eKind = CLiteral::Kind::Binary;
        literal.strBytes = token.strText;
        break;
      case TokenKind::Money:
        literal.eKind = CLiteral::Kind::Money;
        literal.strText = token.strText;
        break;
      case TokenKind::Number:
        literal.strText = token.strText;
        if (token.strText.find_first_of("eE") != std::string::npos) {
          literal.eKind = CLiteral::Kind::Float;
        } else if (token.strText.find('.') != std::string::npos) {
          literal.eKind = CLiteral::Kind::Decimal;
        } else {
          literal.eKind = CLiteral::Kind::Integer;
        }
        break;
      default:
        if (IsKeyword(token, "null")) {
          literal.eKind = CLiteral::Kind::Null;
          break;
        }
        if (token.eKind == TokenKind::Variable) {
          failure = {token.nOffset, "variables cannot be passed, only literals"};
          return false;
        }
        return Expected("a value (a literal, NULL or CAST(literal AS type))", failure);
    }
    ++m_nPos;
    return true;
  }

  bool SmallNumber(int& value, CFailure& failure) {
    const CToken& token = Peek();
    if (token.eKind != TokenKind::Number || token.strText.find_first_not_of("0123456789") != std::string::npos) {
      return Expected("a whole number", failure);
    }
    value = 0;
    for (char c : token.strText) value = std::min(value * 10 + (c - '0'), 1000000);
    ++m_nPos;
    return true;
  }

  // name [ ( length | max ) ] or name ( precision [, scale] )
  bool Type(CCastType& type, CFailure& failure) {
    if (Peek().eKind != TokenKind::Word) return Expected("a type name", failure);
    type.strName = AsciiLower(Peek().strText);
    ++m_nPos;
    if (Peek().eKind != TokenKind::Open) return true;
    ++m_nPos;
    type.bHasLength = true;
    if (IsKeyword(Peek(), "max")) {
      type.bMax = true;
      ++m_nPos;
    } else {
      if (!SmallNumber(type.nLength, failure)) return false;
      if (Peek().eKind == TokenKind::Comma) {
        ++m_nPos;
        type.bHasScale = true;
        if (!SmallNumber(type.nScale, failure)) return false;
      }
    }
    if (Peek().eKind != TokenKind::Close) return Expected("')' after the type's length", failure);
    ++m_nPos;
    return true;
  }

  std::vector<CToken>& m_arrTokens;
  const CCodePage& m_codePage;
  std::size_t m_nPos = 0;
};

void Locate(std::string_view text, std::size_t offset, CParseError& error) {
  error.nLine = 1;
  error.nColumn = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++error.nLine;
      error.nColumn = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++error.nColumn;  // count characters, not the bytes of UTF-8 sequences
    }
  }
}

}  // namespace

std::string CParseError::Text() const {
  return "line " + std::to_string(nLine) + ", column " + std::to_string(nColumn) + ": " + strMessage;
}

bool CExecParser::Parse(std::string_view statement, std::vector<CHostParameter>& parameters, CParseError& error) const {
  parameters.clear();
  std::vector<CToken> tokens;
  CFailure failure{0, {}};
  bool ok = CLexer(statement).Run(tokens, failure) && CStatementReader(tokens, m_codePage).Run(parameters, failure);
  if (!ok) {
    parameters.clear();
    error.strMessage = failure.strMessage;
    Locate(statement, failure.nOffset, error);
  }
  return ok;
}

}  // namespace varnel::host
