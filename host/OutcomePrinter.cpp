#include "host/OutcomePrinter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>

#include <nlohmann/json.hpp>

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

namespace {

// The outcome row's columns, in the order the procedure sends them.
bool IsOutcomeRow(const std::vector<CHostColumn>& columns, const CCodePage& codePage) {
  static const char* const kNames[] = {"Result", "ErrorMessage", "SMTPErrorNumber", "SMTPErrorMessage",
                                       "QueryErrorMessage"};
  if (columns.size() != std::size(kNames)) return false;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (codePage.ToUtf8(columns[i].strName) != kNames[i]) return false;
  }
  return true;
}

nlohmann::ordered_json JsonValue(const CHostColumn& column, const CHostValue& value, const CCodePage& codePage) {
  CRendered rendered = Render(column, value, codePage);
  if (rendered.bNull) return nullptr;
  if (!rendered.bNumber) return rendered.strText;
  if (column.nSrcType == ServerType::Float) {
    // The value itself, not its text read back (which fails for subnormal numbers).
    std::uint64_t bits = ReadLittle(value.data);
    double number;
    std::memcpy(&number, &bits, 8);
    return number;
  }
  std::int64_t number = 0;
  std::from_chars(rendered.strText.data(), rendered.strText.data() + rendered.strText.size(), number);
  return number;
}

// The relay's reply code: three digits give a number; anything else (nothing, the empty
// text) gives null.
nlohmann::ordered_json ReplyCodeValue(const nlohmann::ordered_json& text) {
  if (!text.is_string()) return nullptr;
  const std::string& code = text.get_ref<const std::string&>();
  if (code.size() != 3 || !std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return nullptr;
  }
  return std::stoi(code);
}

}  // namespace

std::string FormatOutcomeJson(const CHostServerCall& call, const CCodePage& codePage, int returnValue) {
  using Json = nlohmann::ordered_json;
  const std::optional<CCallReport>& report = call.Report();
  Json out;
  out["format"] = kJsonFormat;
  out["accepted"] = report && report->bAccepted;
  out["status"] = report ? Json(report->nStatus) : Json(nullptr);
  out["return"] = returnValue;
  out["messages"] = Json::array();
  for (const std::string& message : call.Messages()) out["messages"].push_back(codePage.ToUtf8(message));
  const auto& columns = call.Columns();
  out["columns"] = Json::array();
  for (const CHostColumn& column : columns) out["columns"].push_back(codePage.ToUtf8(column.strName));
  bool outcome = IsOutcomeRow(columns, codePage);
  out["rows"] = Json::array();
  for (const auto& row : call.Rows()) {
    Json object = Json::object();
    for (std::size_t i = 0; i < row.size() && i < columns.size(); ++i) {
      object[codePage.ToUtf8(columns[i].strName)] = JsonValue(columns[i], row[i], codePage);
    }
    if (outcome) object["SMTPErrorNumber"] = ReplyCodeValue(object["SMTPErrorNumber"]);
    out["rows"].push_back(std::move(object));
  }
  out["done"] = Json::array();
  for (const CHostDone& done : call.DoneNotices()) {
    out["done"].push_back({{"more", (done.nStatus & kDoneMore) != 0},
                           {"count", (done.nStatus & kDoneCount) != 0 ? Json(done.nCount) : Json(nullptr)}});
  }
  bool connected = report && report->bRelayConnected;
  out["relay"] = connected ? Json{{"host", report->strRelayHost}, {"port", report->nRelayPort}} : Json(nullptr);
  bool tls = report && !report->strTlsVersion.empty();
  out["tls"] = tls ? Json{{"version", report->strTlsVersion},
                          {"cipher", report->strTlsCipher.empty() ? Json(nullptr) : Json(report->strTlsCipher)}}
                   : Json(nullptr);
  bool composed = report && !report->strMessageId.empty();
  out["messageId"] = composed ? Json(report->strMessageId) : Json(nullptr);
  out["size"] = composed ? Json(report->nSize) : Json(nullptr);
  out["durationMs"] = report ? Json(report->nMilliseconds) : Json(nullptr);
  out["attempts"] = Json::array();
  out["acceptedBy"] = nullptr;
  out["refusedRecipients"] = Json::array();
  if (report) {
    for (const CCallReport::CAttempt& attempt : report->arrAttempts) {
      out["attempts"].push_back({{"host", attempt.strHost},
                                 {"port", attempt.nPort},
                                 {"status", attempt.nStatus},
                                 {"reply", attempt.strReply.empty() ? Json(nullptr) : Json(attempt.strReply)},
                                 {"delayMs", attempt.nDelayMs}});
    }
    if (report->nAcceptedAttempt > 0 && report->nAcceptedAttempt <= static_cast<int>(report->arrAttempts.size())) {
      const CCallReport::CAttempt& accepted = report->arrAttempts[static_cast<std::size_t>(report->nAcceptedAttempt - 1)];
      out["acceptedBy"] = {{"host", accepted.strHost}, {"port", accepted.nPort}, {"attempt", report->nAcceptedAttempt}};
    }
    for (const auto& [address, reply] : report->arrRefusedRecipients) {
      out["refusedRecipients"].push_back({{"address", address}, {"reply", reply}});
    }
  }
  // Bytes that are not UTF-8 (from a driver, say) become U+FFFD: the output stays valid JSON.
  return out.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace varnel::host
