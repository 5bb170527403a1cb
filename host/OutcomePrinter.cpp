#include "host/OutcomePrinter.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "platform/Unicode.h"

namespace varnel::host {
namespace {

struct CRendered {
  bool bNull = false;
  bool bNumber = false;
  std::string strText;  // UTF-8
};

std::uint64_t ReadLittle(const std::string& data) {
  std::uint64_t value = 0;
  for (std::size_t i = data.size(); i > 0; --i) value = value << 8 | static_cast<unsigned char>(data[i - 1]);
  return value;
}

std::string Hex(const std::string& data) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x";
  for (char c : data) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 0x0F];
  }
  return out;
}

std::string FormatDouble(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[64];
  auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return status == std::errc() ? std::string(buffer, end) : "null";
}

// Width of a column for the integer types, as sqlcmd sizes them (room for the sign).
std::size_t NumberWidth(int type, int length) {
  switch (type) {
    case ServerType::TinyInt:
      return 3;
    case ServerType::Bit:
      return 1;
    case ServerType::SmallInt:
      return 6;
    case ServerType::Int:
      return 11;
    case ServerType::BigInt:
      return 20;
    case ServerType::IntN:
      return length == 1 ? 3 : length == 2 ? 6 : length == 4 ? 11 : 20;
    default:
      return 0;
  }
}

CRendered Render(const CHostColumn& column, const CHostValue& value, const CCodePage& codePage) {
  CRendered out;
  if (value.bNull) {
    out.bNull = true;
    out.strText = "NULL";
    return out;
  }
  const std::string& data = value.data;
  int type = column.nSrcType;
  std::size_t size = data.size();
  auto number = [&](std::int64_t n) {
    out.bNumber = true;
    out.strText = std::to_string(n);
  };
  if ((type == ServerType::TinyInt && size == 1) || (type == ServerType::IntN && size == 1)) {
    number(static_cast<std::uint8_t>(data[0]));
  } else if (type == ServerType::Bit && size == 1) {
    number(data[0] != 0 ? 1 : 0);
  } else if ((type == ServerType::SmallInt || type == ServerType::IntN) && size == 2) {
    number(static_cast<std::int16_t>(ReadLittle(data)));
  } else if ((type == ServerType::Int || type == ServerType::IntN) && size == 4) {
    number(static_cast<std::int32_t>(ReadLittle(data)));
  } else if ((type == ServerType::BigInt || type == ServerType::IntN) && size == 8) {
    number(static_cast<std::int64_t>(ReadLittle(data)));
  } else if (type == ServerType::Float && size == 8) {
    std::uint64_t bits = ReadLittle(data);
    double number;
    std::memcpy(&number, &bits, 8);
    out.bNumber = std::isfinite(number);
    out.strText = out.bNumber ? FormatDouble(number) : "NaN";
  } else if (IsCharType(type)) {
    out.strText = codePage.ToUtf8(data);
  } else if (type == ServerType::NChar || type == ServerType::NVarChar || type == ServerType::NText) {
    out.strText = Utf16ToUtf8(BytesToUtf16(data));
  } else {
    out.strText = Hex(data);
  }
  return out;
}

std::size_t Characters(const std::string& utf8) {
  std::size_t count = 0;
  for (char c : utf8) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

void Pad(std::string& line, const std::string& text, std::size_t width, bool right) {
  std::size_t length = Characters(text);
  std::string fill(width > length ? width - length : 0, ' ');
  line += right ? fill + text : text + fill;
}

void TrimLine(std::string& line) {
  while (!line.empty() && line.back() == ' ') line.pop_back();
  line += '\n';
}

}  // namespace

std::string JsonString(const std::string& utf8) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "\"";
  std::size_t offset = 0;
  while (offset < utf8.size()) {
    char32_t c = DecodeUtf8(utf8, offset);  // invalid bytes become U+FFFD: the output stays valid
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += kDigits[c >> 4];
          out += kDigits[c & 0x0F];
        } else {
          AppendUtf8(out, c);
        }
    }
  }
  out += '"';
  return out;
}

std::string FormatOutcomeTable(const CHostServerCall& call, const CCodePage& codePage) {
  const auto& columns = call.Columns();
  // Column widths: the name, the type's own width for numbers, and every value.
  std::vector<std::size_t> widths(columns.size());
  std::vector<bool> numeric(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) {
    std::size_t typeWidth = NumberWidth(columns[i].nSrcType, columns[i].nSrcLength);
    numeric[i] = typeWidth > 0;
    widths[i] = std::max(Characters(codePage.ToUtf8(columns[i].strName)), typeWidth);
    for (const auto& row : call.Rows()) {
      if (i < row.size()) widths[i] = std::max(widths[i], Characters(Render(columns[i], row[i], codePage).strText));
    }
  }
  std::string out;
  bool header = false;
  auto printHeader = [&]() {
    if (header || columns.empty()) return;
    header = true;
    std::string names, dashes;
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) names += ' ', dashes += ' ';
      Pad(names, codePage.ToUtf8(columns[i].strName), widths[i], false);
      dashes.append(widths[i], '-');
    }
    TrimLine(names);
    TrimLine(dashes);
    out += names + dashes;
  };
  for (const CHostEvent& event : call.Events()) {
    switch (event.eKind) {
      case CHostEvent::Kind::Message: {
        std::string text = codePage.ToUtf8(call.Messages()[event.nIndex]);
        if (text.empty() || text.back() != '\n') text += '\n';
        out += text;
        break;
      }
      case CHostEvent::Kind::Row: {
        printHeader();
        const auto& row = call.Rows()[event.nIndex];
        std::string line;
        for (std::size_t i = 0; i < columns.size() && i < row.size(); ++i) {
          if (i > 0) line += ' ';
          CRendered value = Render(columns[i], row[i], codePage);
          Pad(line, value.strText, widths[i], numeric[i] && !value.bNull);
        }
        TrimLine(line);
        out += line;
        break;
      }
      case CHostEvent::Kind::Done: {
        const CHostDone& done = call.DoneNotices()[event.nIndex];
        if ((done.nStatus & kDoneCount) != 0) {
          printHeader();
          out += "\n(" + std::to_string(done.nCount) + " rows affected)\n";
        }
        break;
      }
    }
  }
  return out;
}

std::string FormatOutcomeJson(const CHostServerCall& call, const CCodePage& codePage, int returnValue) {
  std::string out = "{\"messages\": [";
  for (std::size_t i = 0; i < call.Messages().size(); ++i) {
    if (i > 0) out += ", ";
    out += JsonString(codePage.ToUtf8(call.Messages()[i]));
  }
  out += "], \"columns\": [";
  const auto& columns = call.Columns();
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) out += ", ";
    out += JsonString(codePage.ToUtf8(columns[i].strName));
  }
  out += "], \"rows\": [";
  for (std::size_t r = 0; r < call.Rows().size(); ++r) {
    if (r > 0) out += ", ";
    out += '[';
    const auto& row = call.Rows()[r];
    for (std::size_t i = 0; i < row.size() && i < columns.size(); ++i) {
      if (i > 0) out += ", ";
      CRendered value = Render(columns[i], row[i], codePage);
      out += value.bNull ? "null" : value.bNumber ? value.strText : JsonString(value.strText);
    }
    out += ']';
  }
  out += "], \"done\": [";
  for (std::size_t i = 0; i < call.DoneNotices().size(); ++i) {
    const CHostDone& done = call.DoneNotices()[i];
    if (i > 0) out += ", ";
    out += "{\"status\": " + std::to_string(done.nStatus) + ", \"command\": " + std::to_string(done.nCommand) +
           ", \"count\": " + std::to_string(done.nCount) + "}";
  }
  out += "], \"return\": " + std::to_string(returnValue) + "}\n";
  return out;
}

}  // namespace varnel::host
