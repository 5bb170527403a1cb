#include "host/Literal.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/AsciiCase.h"
#include "platform/Unicode.h"

namespace varnel::host {
namespace {

constexpr int kReal = 0x3B;
constexpr int kSmallMoney = 0x7A;
constexpr int kSmallDateTime = 0x3A;
constexpr int kMaxPrecision = 38;

// A number in decimal digits: sign, integer digits without leading zeros, fraction digits.
struct CDigits {
  bool bNegative = false;
  std::string strInteger;
  std::string strFraction;
};

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && Blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && Blank(text.back())) text.remove_suffix(1);
  return text;
}

// Sign, digits and an optional fraction; no exponent. False for anything else.
bool ParseDigits(std::string_view text, CDigits& digits) {
  digits = CDigits();
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) digits.bNegative = text[i++] == '-';
  std::size_t count = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++count) {
    if (!(digits.strInteger.empty() && text[i] == '0')) digits.strInteger += text[i];
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++count) digits.strFraction += text[i];
  }
  return count > 0 && i == text.size();
}

bool IsZero(const CDigits& digits) {
  return digits.strInteger.empty() && digits.strFraction.find_first_not_of('0') == std::string::npos;
}

// Rounds the fraction to scale digits, half away from zero, as the server rounds decimals.
void RoundToScale(CDigits& digits, std::size_t scale) {
  if (digits.strFraction.size() <= scale) {
    digits.strFraction.append(scale - digits.strFraction.size(), '0');
    return;
  }
  bool up = digits.strFraction[scale] >= '5';
  digits.strFraction.resize(scale);
  if (!up) return;
  std::string all = digits.strInteger + digits.strFraction;
  std::size_t i = all.size();
  while (i > 0 && all[i - 1] == '9') all[--i] = '0';
  if (i == 0) {
    all.insert(all.begin(), '1');
  } else {
    ++all[i - 1];
  }
  digits.strInteger = all.substr(0, all.size() - scale);
  digits.strFraction = all.substr(all.size() - scale);
  if (digits.strInteger.find_first_not_of('0') == std::string::npos) digits.strInteger.clear();
}

// The integer part (truncated toward zero) as a 64-bit value; false when it does not fit.
bool IntegerPart(const CDigits& digits, std::int64_t& value) {
  if (digits.strInteger.size() > 19) return false;
  std::uint64_t magnitude = 0;
  for (char c : digits.strInteger) {
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) return false;
    magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
  }
  const std::uint64_t limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (digits.bNegative ? magnitude > limit + 1 : magnitude > limit) return false;
  value = digits.bNegative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

bool ParseDouble(std::string_view text, double& value) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  const char* end = text.data() + text.size();
  auto [next, status] = std::from_chars(text.data(), end, value, std::chars_format::general);
  return status == std::errc() && next == end && std::isfinite(value);
}

void AppendLittle(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// DBNUMERIC: precision, scale, sign (1 positive), magnitude in 16 bytes, low byte first.
bool NumericBytes(const CDigits& digits, int precision, int scale, std::string& out) {
  std::uint32_t words[4] = {0, 0, 0, 0};
  for (char c : digits.strInteger + digits.strFraction) {
    std::uint64_t carry = static_cast<unsigned>(c - '0');
    for (std::uint32_t& word : words) {
      std::uint64_t current = static_cast<std::uint64_t>(word) * 10 + carry;
      word = static_cast<std::uint32_t>(current);
      carry = current >> 32;
    }
    if (carry != 0) return false;
  }
  out.clear();
  out += static_cast<char>(precision);
  out += static_cast<char>(scale);
  out += static_cast<char>(digits.bNegative && !IsZero(digits) ? 0 : 1);
  for (std::uint32_t word : words) AppendLittle(out, word, 4);
  return true;
}

// A number literal as CAST to a character type writes it (style 0): integers and decimals
// in their canonical digits (no "+", no leading zeros, scale kept), money with two
// decimals, float with at most six significant digits and a three-digit exponent.
std::string NumberAsText(const CLiteral& literal) {
  if (literal.eKind == CLiteral::Kind::Float) {
    double value = 0;
    if (!ParseDouble(literal.strText, value)) return literal.strText;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6g", value);
    std::string text = buffer;
    std::size_t e = text.find('e');
    if (e != std::string::npos && e + 2 < text.size()) {
      std::string exponent = text.substr(e + 2);
      if (exponent.size() < 3) exponent.insert(0, 3 - exponent.size(), '0');
      text = text.substr(0, e + 2) + exponent;
    }
    return text;
  }
  CDigits digits;
  if (!ParseDigits(literal.strText, digits)) return literal.strText;
  if (literal.eKind == CLiteral::Kind::Money) RoundToScale(digits, 2);
  std::string text = digits.bNegative && !IsZero(digits) ? "-" : "";
  text += digits.strInteger.empty() ? "0" : digits.strInteger;
  if (!digits.strFraction.empty()) text += "." + digits.strFraction;
  return text;
}

std::string Quoted(const CLiteral& literal) {
  switch (literal.eKind) {
    case CLiteral::Kind::Text:
      return "'" + literal.strText + "'";
    case CLiteral::Kind::UnicodeText:
      return "N'" + Utf16ToUtf8(literal.strUnicode) + "'";
    case CLiteral::Kind::Binary:
      return "binary value";
    default:
      return literal.strText;
  }
}

// The literal as decimal digits: numbers as written, texts after trimming.
bool LiteralDigits(const CLiteral& literal, CDigits& digits) {
  switch (literal.eKind) {
    case CLiteral::Kind::Integer:
    case CLiteral::Kind::Decimal:
    case CLiteral::Kind::Money:
      return ParseDigits(literal.strText, digits);
    case CLiteral::Kind::Text:
      return ParseDigits(Trim(literal.strText), digits);
    case CLiteral::Kind::UnicodeText:
      return ParseDigits(Trim(Utf16ToUtf8(literal.strUnicode)), digits);
    default:
      return false;
  }
}

class CCaster {
 public:
  CCaster(const CLiteral& literal, const CCastType& type, const CCodePage& codePage, CHostParameter& parameter,
          std::string& error)
      : m_literal(literal), m_type(type), m_codePage(codePage), m_parameter(parameter), m_error(error) {}

  bool Run();

 private:
  bool Fail(const std::string& why) {
    m_error = why;
    return false;
  }
  bool Refuse() { return Fail("cannot convert " + Quoted(m_literal) + " to " + m_type.strName); }
  bool Overflow() { return Fail("arithmetic overflow converting " + Quoted(m_literal) + " to " + m_type.strName); }

  bool CheckLength(int code);
  bool ToInteger(std::int64_t& value);
  bool ToDouble(double& value);
  bool ToBytes(std::string& bytes, bool& numeric);
  std::string ToText();
  std::u16string ToUnicode();
  bool DateTime(int code);

  const CLiteral& m_literal;
  const CCastType& m_type;
  const CCodePage& m_codePage;
  CHostParameter& m_parameter;
  std::string& m_error;
};

bool CCaster::CheckLength(int code) {
  bool lengthType = code == ServerType::BigChar || code == ServerType::BigVarChar || code == ServerType::NChar ||
                    code == ServerType::NVarChar || code == ServerType::BigBinary ||
                    code == ServerType::BigVarBinary;
  bool maxType = code == ServerType::BigVarChar || code == ServerType::NVarChar || code == ServerType::BigVarBinary;
  if (m_type.bHasScale && code != ServerType::Numeric) return Fail("type " + m_type.strName + " takes no scale");
  if (m_type.bMax && !maxType) return Fail("type " + m_type.strName + " does not take max");
  if (code == ServerType::Numeric || m_type.strName == "float") return true;
  if (m_type.bHasLength && !m_type.bMax) {
    if (!lengthType) return Fail("type " + m_type.strName + " takes no length");
    int limit = code == ServerType::NChar || code == ServerType::NVarChar ? 4000 : 8000;
    if (m_type.nLength < 1 || m_type.nLength > limit) {
      return Fail("length " + std::to_string(m_type.nLength) + " of " + m_type.strName + " is outside 1 to " +
                  std::to_string(limit));
    }
  }
  return true;
}

bool CCaster::ToInteger(std::int64_t& value) {
  if (m_literal.eKind == CLiteral::Kind::Float) {
    double number = 0;
    if (!ParseDouble(m_literal.strText, number)) return Refuse();
    double truncated = std::trunc(number);
    if (!(truncated >= -9223372036854775808.0 && truncated < 9223372036854775808.0)) return Overflow();
    value = static_cast<std::int64_t>(truncated);
    return true;
  }
  if (m_literal.eKind == CLiteral::Kind::Binary) {
    // Binary to integer reads the last bytes, high byte first.
    const std::string& bytes = m_literal.strBytes;
    std::size_t size = static_cast<std::size_t>(std::max(FixedTypeLength(CastTypeCode(m_type.strName)), 1));
    std::uint64_t bits = 0;
    for (std::size_t i = bytes.size() > size ? bytes.size() - size : 0; i < bytes.size(); ++i) {
      bits = bits << 8 | static_cast<unsigned char>(bytes[i]);
    }
    if (size == 1) value = static_cast<std::uint8_t>(bits);
    else if (size == 2) value = static_cast<std::int16_t>(bits);
    else if (size == 4) value = static_cast<std::int32_t>(bits);
    else value = static_cast<std::int64_t>(bits);
    return true;
  }
  bool text = m_literal.eKind == CLiteral::Kind::Text || m_literal.eKind == CLiteral::Kind::UnicodeText;
  if (text && m_type.strName == "bit") {
    std::string word = AsciiLower(Trim(m_literal.eKind == CLiteral::Kind::Text ? m_literal.strText
                                                                                 : Utf16ToUtf8(m_literal.strUnicode)));
    if (word == "true") return value = 1, true;
    if (word == "false") return value = 0, true;
  }
  CDigits digits;
  // A text must hold a whole number; a decimal literal is truncated toward zero, money rounded.
  if (!LiteralDigits(m_literal, digits)) return Refuse();
  if (text && (m_literal.strText.find('.') != std::string::npos ||
               m_literal.strUnicode.find(u'.') != std::u16string::npos)) {
    return Refuse();
  }
  if (m_literal.eKind == CLiteral::Kind::Money) RoundToScale(digits, 0);
  if (!IntegerPart(digits, value)) return Overflow();
  return true;
}

bool CCaster::ToDouble(double& value) {
  switch (m_literal.eKind) {
    case CLiteral::Kind::Integer:
    case CLiteral::Kind::Decimal:
    case CLiteral::Kind::Float:
    case CLiteral::Kind::Money:
      if (!ParseDouble(m_literal.strText, value)) return Overflow();
      return true;
    case CLiteral::Kind::Text:
      return ParseDouble(Trim(m_literal.strText), value) || Refuse();
    case CLiteral::Kind::UnicodeText:
      return ParseDouble(Trim(Utf16ToUtf8(m_literal.strUnicode)), value) || Refuse();
    default:
      return Refuse();
  }
}

// The literal's bytes for a binary type; numeric is set for integers, which the server
// writes high byte first in their own size and pads or cuts on the left.
bool CCaster::ToBytes(std::string& bytes, bool& numeric) {
  numeric = false;
  switch (m_literal.eKind) {
    case CLiteral::Kind::Text:
      bytes = m_literal.strText;
      return true;
    case CLiteral::Kind::UnicodeText:
      bytes = Utf16ToBytes(m_literal.strUnicode);
      return true;
    case CLiteral::Kind::Binary:
      bytes = m_literal.strBytes;
      return true;
    case CLiteral::Kind::Integer: {
      CDigits digits;
      std::int64_t value = 0;
      if (!ParseDigits(m_literal.strText, digits) || !IntegerPart(digits, value)) return Overflow();
      bool wide = value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max();
      int size = wide ? 8 : 4;
      bytes.clear();
      for (int i = size - 1; i >= 0; --i) bytes += static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFF);
      numeric = true;
      return true;
    }
    default:
      return Refuse();
  }
}

std::string CCaster::ToText() {
  switch (m_literal.eKind) {
    case CLiteral::Kind::Text:
      return m_literal.strText;
    case CLiteral::Kind::UnicodeText:
      return m_codePage.FromUtf16(m_literal.strUnicode);
    case CLiteral::Kind::Binary:
      return m_literal.strBytes;
    default:
      return NumberAsText(m_literal);
  }
}

std::u16string CCaster::ToUnicode() {
  switch (m_literal.eKind) {
    case CLiteral::Kind::UnicodeText:
      return m_literal.strUnicode;
    case CLiteral::Kind::Text:
      return m_codePage.ToUtf16(m_literal.strText);
    case CLiteral::Kind::Binary: {
      std::string bytes = m_literal.strBytes;
      if (bytes.size() % 2 != 0) bytes += '\0';
      return BytesToUtf16(bytes);
    }
    default: {
      std::u16string out;
      for (char c : NumberAsText(m_literal)) out += static_cast<char16_t>(static_cast<unsigned char>(c));
      return out;
    }
  }
}

// Days from 1 January 1970 in the proleptic Gregorian calendar (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool ValidDate(int year, int month, int day) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// Reads "YYYY-MM-DD", "YYYY/MM/DD" or "YYYYMMDD", optionally followed by a blank or "T"
// and "hh:mm[:ss[.fff]]", or a time alone (on 1 January 1900). Gives days since
// 1 January 1900 and milliseconds since midnight.
bool ParseDateTime(std::string_view text, std::int64_t& days, std::int64_t& milliseconds) {
  std::size_t i = 0;
  auto number = [&](std::size_t width, int& value) {
    value = 0;
    for (std::size_t k = 0; k < width; ++k, ++i) {
      if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + (text[i] - '0');
    }
    return true;
  };
  auto take = [&](char c) {
    if (i < text.size() && text[i] == c) return ++i, true;
    return false;
  };
  int year = 1900, month = 1, day = 1;
  bool hasDate = text.size() >= 8 && text.find(':') != 2;
  if (hasDate) {
    if (!number(4, year)) return false;
    if (take('-') || take('/')) {
      char separator = text[i - 1];
      if (!number(2, month) || !take(separator) || !number(2, day)) return false;
    } else if (!number(2, month) || !number(2, day)) {
      return false;
    }
    if (!ValidDate(year, month, day)) return false;
  }
  int hour = 0, minute = 0, second = 0, fraction = 0;
  if (i < text.size()) {
    if (hasDate && !take(' ') && !take('T')) return false;
    if (!number(2, hour) || !take(':') || !number(2, minute)) return false;
    if (take(':')) {
      if (!number(2, second)) return false;
      if (take('.')) {
        int digits = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
          if (digits < 3) fraction = fraction * 10 + (text[i] - '0');
        }
        if (digits == 0) return false;
        for (; digits < 3; ++digits) fraction *= 10;
      }
    }
    if (i != text.size() || hour > 23 || minute > 59 || second > 59) return false;
  }
  days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - DaysFromCivil(1900, 1, 1);
  milliseconds = ((hour * 60 + minute) * 60 + second) * 1000LL + fraction;
  return true;
}

bool CCaster::DateTime(int code) {
  std::int64_t days = 0;
  std::int64_t milliseconds = 0;
  if (m_literal.eKind == CLiteral::Kind::Text || m_literal.eKind == CLiteral::Kind::UnicodeText) {
    std::string text(Trim(m_literal.eKind == CLiteral::Kind::Text ? m_literal.strText : Utf16ToUtf8(m_literal.strUnicode)));
    if (!ParseDateTime(text, days, milliseconds)) return Refuse();
  } else if (m_literal.eKind == CLiteral::Kind::Binary) {
    return Refuse();
  } else {
    // A number counts days since 1 January 1900; its fraction is the time of day.
    double value = 0;
    if (!ToDouble(value)) return false;
    double whole = std::floor(value);
    if (whole < -1e7 || whole > 1e7) return Overflow();
    days = static_cast<std::int64_t>(whole);
    milliseconds = static_cast<std::int64_t>(std::llround((value - whole) * 86400000.0));
  }
  m_parameter.data.clear();
  if (code == ServerType::DateTime) {
    // Days since 1900 and ticks of 1/300 second; rounding can carry into the next day.
    std::int64_t ticks = (milliseconds * 300 + 500) / 1000;
    if (ticks >= 300LL * 86400) days += 1, ticks -= 300LL * 86400;
    if (days < DaysFromCivil(1753, 1, 1) - DaysFromCivil(1900, 1, 1) ||
        days > DaysFromCivil(9999, 12, 31) - DaysFromCivil(1900, 1, 1)) {
      return Overflow();
    }
    AppendLittle(m_parameter.data, static_cast<std::uint32_t>(static_cast<std::int32_t>(days)), 4);
    AppendLittle(m_parameter.data, static_cast<std::uint64_t>(ticks), 4);
  } else {
    // smalldatetime: days since 1900 and minutes, both unsigned 16-bit.
    std::int64_t minutes = (milliseconds + 29999) / 60000;
    if (minutes >= 1440) days += 1, minutes -= 1440;
    if (days < 0 || days > 65535) return Overflow();
    AppendLittle(m_parameter.data, static_cast<std::uint64_t>(days), 2);
    AppendLittle(m_parameter.data, static_cast<std::uint64_t>(minutes), 2);
  }
  return true;
}

bool CCaster::Run() {
  int code = CastTypeCode(m_type.strName);
  if (code == 0) return Fail("type " + m_type.strName + " is not supported by this command");
  if (!CheckLength(code)) return false;
  if (m_type.strName == "float" && m_type.bHasLength) {
    if (m_type.nLength < 1 || m_type.nLength > 53) return Fail("precision of float must be 1 to 53");
    if (m_type.nLength <= 24) code = kReal;
  }
  // Without a length, CAST gives 30 characters or bytes.
  int length = m_type.bHasLength ? m_type.nLength : 30;
  m_parameter.nType = code;
  m_parameter.bNull = m_literal.eKind == CLiteral::Kind::Null;
  m_parameter.data.clear();
  if (code == ServerType::BigChar || code == ServerType::BigBinary) m_parameter.nMaxLength = static_cast<std::uint32_t>(length);
  if (code == ServerType::NChar) m_parameter.nMaxLength = static_cast<std::uint32_t>(2 * length);
  if (m_parameter.bNull) return true;

  switch (code) {
    case ServerType::Bit:
    case ServerType::TinyInt:
    case ServerType::SmallInt:
    case ServerType::Int:
    case ServerType::BigInt: {
      std::int64_t value = 0;
      if (!ToInteger(value)) return false;
      int size = FixedTypeLength(code);
      if (code == ServerType::Bit) value = value != 0;
      if (code == ServerType::TinyInt && (value < 0 || value > 255)) return Overflow();
      if (code == ServerType::SmallInt && (value < -32768 || value > 32767)) return Overflow();
      if (code == ServerType::Int && (value < std::numeric_limits<std::int32_t>::min() ||
                                      value > std::numeric_limits<std::int32_t>::max())) {
        return Overflow();
      }
      AppendLittle(m_parameter.data, static_cast<std::uint64_t>(value), size);
      return true;
    }
    case ServerType::Float:
    case kReal: {
      double value = 0;
      if (!ToDouble(value)) return false;
      if (code == ServerType::Float) {
        std::uint64_t bits;
        std::memcpy(&bits, &value, 8);
        AppendLittle(m_parameter.data, bits, 8);
      } else {
        if (std::fabs(value) > std::numeric_limits<float>::max()) return Overflow();
        float narrow = static_cast<float>(value);
        std::uint32_t bits;
        std::memcpy(&bits, &narrow, 4);
        AppendLittle(m_parameter.data, bits, 4);
      }
      return true;
    }
    case ServerType::Money:
    case kSmallMoney: {
      CDigits digits;
      std::string_view text = m_literal.strText;
      if (m_literal.eKind == CLiteral::Kind::Text) {
        text = Trim(text);
        if (!text.empty() && text.front() == '$') text.remove_prefix(1);
      }
      if (m_literal.eKind == CLiteral::Kind::Float) {
        double value = 0;
        if (!ToDouble(value) ) return false;
        char buffer[64];
        auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
        if (status != std::errc() || !ParseDigits(std::string_view(buffer, static_cast<std::size_t>(end - buffer)), digits)) return Overflow();
      } else if (m_literal.eKind == CLiteral::Kind::UnicodeText) {
        if (!ParseDigits(Trim(Utf16ToUtf8(m_literal.strUnicode)), digits)) return Refuse();
      } else if (m_literal.eKind == CLiteral::Kind::Binary || !ParseDigits(text, digits)) {
        return Refuse();
      }
      RoundToScale(digits, 4);
      CDigits scaled{digits.bNegative, digits.strInteger + digits.strFraction, ""};
      if (scaled.strInteger.find_first_not_of('0') == std::string::npos) scaled.strInteger.clear();
      std::int64_t value = 0;
      if (!IntegerPart(scaled, value)) return Overflow();
      if (code == kSmallMoney) {
        if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
          return Overflow();
        }
        AppendLittle(m_parameter.data, static_cast<std::uint32_t>(value), 4);
      } else {
        // Two 4-byte halves, the high one first.
        std::uint64_t bits = static_cast<std::uint64_t>(value);
        AppendLittle(m_parameter.data, bits >> 32, 4);
        AppendLittle(m_parameter.data, bits & 0xFFFFFFFFu, 4);
      }
      return true;
    }
    case ServerType::DateTime:
    case kSmallDateTime:
      return DateTime(code);
    case ServerType::Numeric: {
      int precision = m_type.bHasLength ? m_type.nLength : 18;
      int scale = m_type.bHasScale ? m_type.nScale : 0;
      if (precision < 1 || precision > kMaxPrecision) return Fail("precision of " + m_type.strName + " must be 1 to 38");
      if (scale < 0 || scale > precision) return Fail("scale of " + m_type.strName + " must be 0 to its precision");
      CDigits digits;
      if (m_literal.eKind == CLiteral::Kind::Float) {
        double value = 0;
        if (!ToDouble(value)) return false;
        char buffer[400];
        auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, scale);
        if (status != std::errc() || !ParseDigits(std::string_view(buffer, static_cast<std::size_t>(end - buffer)), digits)) return Overflow();
      } else if (!LiteralDigits(m_literal, digits)) {
        return Refuse();
      }
      RoundToScale(digits, static_cast<std::size_t>(scale));
      if (static_cast<int>(digits.strInteger.size()) > precision - scale) return Overflow();
      if (!NumericBytes(digits, precision, scale, m_parameter.data)) return Overflow();
      return true;
    }
    case ServerType::BigChar:
    case ServerType::BigVarChar:
    case ServerType::Text: {
      std::string text = ToText();
      if (code != ServerType::Text && !m_type.bMax && text.size() > static_cast<std::size_t>(length)) {
        text.resize(static_cast<std::size_t>(length));
      }
      if (code == ServerType::BigChar) text.resize(static_cast<std::size_t>(length), ' ');
      m_parameter.data = std::move(text);
      return true;
    }
    case ServerType::NChar:
    case ServerType::NVarChar:
    case ServerType::NText: {
      std::u16string text = ToUnicode();
      if (code != ServerType::NText && !m_type.bMax && text.size() > static_cast<std::size_t>(length)) {
        text.resize(static_cast<std::size_t>(length));
      }
      if (code == ServerType::NChar) text.resize(static_cast<std::size_t>(length), u' ');
      m_parameter.data = Utf16ToBytes(text);
      return true;
    }
    case ServerType::BigBinary:
    case ServerType::BigVarBinary: {
      std::string bytes;
      bool numeric = false;
      if (!ToBytes(bytes, numeric)) return false;
      std::size_t size = static_cast<std::size_t>(length);
      if (numeric) {
        // An integer keeps its low bytes: cut and pad on the left.
        if (bytes.size() > size) bytes.erase(0, bytes.size() - size);
        if (code == ServerType::BigBinary && bytes.size() < size) bytes.insert(0, size - bytes.size(), '\0');
      } else {
        if (!m_type.bMax && bytes.size() > size) bytes.resize(size);
        if (code == ServerType::BigBinary) bytes.resize(size, '\0');
      }
      m_parameter.data = std::move(bytes);
      return true;
    }
    default:
      return Fail("type " + m_type.strName + " is not supported by this command");
  }
}

}  // namespace

int CastTypeCode(const std::string& name) {
  static constexpr struct {
    const char* name;
    int code;
  } kTypes[] = {
      {"bit", ServerType::Bit},
      {"tinyint", ServerType::TinyInt},
      {"smallint", ServerType::SmallInt},
      {"int", ServerType::Int},
      {"integer", ServerType::Int},
      {"bigint", ServerType::BigInt},
      {"float", ServerType::Float},
      {"real", kReal},
      {"money", ServerType::Money},
      {"smallmoney", kSmallMoney},
      {"datetime", ServerType::DateTime},
      {"smalldatetime", kSmallDateTime},
      {"decimal", ServerType::Numeric},
      {"numeric", ServerType::Numeric},
      {"char", ServerType::BigChar},
      {"character", ServerType::BigChar},
      {"varchar", ServerType::BigVarChar},
      {"nchar", ServerType::NChar},
      {"nvarchar", ServerType::NVarChar},
      {"text", ServerType::Text},
      {"ntext", ServerType::NText},
      {"binary", ServerType::BigBinary},
      {"varbinary", ServerType::BigVarBinary},
  };
  for (const auto& type : kTypes) {
    if (name == type.name) return type.code;
  }
  return 0;
}

bool TypeLiteral(CLiteral literal, CHostParameter& parameter, std::string& error) {
  parameter.bNull = false;
  parameter.data.clear();
  switch (literal.eKind) {
    case CLiteral::Kind::Null:
      parameter.nType = ServerType::BigVarChar;
      parameter.bNull = true;
      return true;
    case CLiteral::Kind::Text:
      parameter.nType = ServerType::BigVarChar;
      parameter.data = std::move(literal.strText);
      return true;
    case CLiteral::Kind::UnicodeText:
      parameter.nType = ServerType::NVarChar;
      parameter.data = Utf16ToBytes(literal.strUnicode);
      return true;
    case CLiteral::Kind::Binary:
      parameter.nType = ServerType::BigVarBinary;
      parameter.data = literal.strBytes;
      return true;
    case CLiteral::Kind::Float: {
      double value = 0;
      if (!ParseDouble(literal.strText, value)) {
        error = "the number " + literal.strText + " is out of the range of float";
        return false;
      }
      std::uint64_t bits;
      std::memcpy(&bits, &value, 8);
      parameter.nType = ServerType::Float;
      AppendLittle(parameter.data, bits, 8);
      return true;
    }
    case CLiteral::Kind::Money: {
      CCastType money;
      money.strName = "money";
      return CastLiteral(literal, money, *CCodePage::Find(kUtf8CodePage), parameter, error);
    }
    case CLiteral::Kind::Integer:
    case CLiteral::Kind::Decimal: {
      CDigits digits;
      if (!ParseDigits(literal.strText, digits)) {
        error = "malformed number " + literal.strText;
        return false;
      }
      std::int64_t value = 0;
      if (literal.eKind == CLiteral::Kind::Integer && IntegerPart(digits, value) &&
          value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
        parameter.nType = ServerType::Int;
        AppendLittle(parameter.data, static_cast<std::uint32_t>(value), 4);
        parameter.nMaxLength = 4;
        return true;
      }
      // A number outside int, or with a decimal point, is numeric of its own precision and scale.
      int scale = static_cast<int>(digits.strFraction.size());
      int precision = std::max(static_cast<int>(digits.strInteger.size()) + scale, 1);
      if (precision > kMaxPrecision) {
        error = "the number " + literal.strText + " has more than 38 digits";
        return false;
      }
      parameter.nType = ServerType::Numeric;
      NumericBytes(digits, precision, scale, parameter.data);
      return true;
    }
  }
  return false;
}

bool CastLiteral(const CLiteral& literal, const CCastType& type, const CCodePage& codePage, CHostParameter& parameter,
                 std::string& error) {
  return CCaster(literal, type, codePage, parameter, error).Run();
}

}  // namespace varnel::host
