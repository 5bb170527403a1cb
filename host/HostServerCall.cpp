#include "host/HostServerCall.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace varnel {
namespace {

std::uint32_t ReadLittle(const std::uint8_t* bytes, std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

std::uint64_t ReadLittle64(const std::uint8_t* bytes) {
  return static_cast<std::uint64_t>(ReadLittle(bytes, 4)) | static_cast<std::uint64_t>(ReadLittle(bytes + 4, 4)) << 32;
}

bool FitsInt32(std::int64_t value) {
  return value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max();
}

bool Blank(std::uint32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Decimal text with optional blanks around it and one sign; the characters come as code
// units of 1 or 2 bytes so that 8-bit and UTF-16 text share the rules.
bool ParseDecimal(const std::uint8_t* src, std::size_t length, std::size_t unit, std::int32_t& result) {
  std::size_t count = length / unit;
  auto at = [&](std::size_t i) { return unit == 1 ? src[i] : ReadLittle(src + 2 * i, 2); };
  std::size_t i = 0;
  while (i < count && Blank(at(i))) ++i;
  bool negative = false;
  if (i < count && (at(i) == '+' || at(i) == '-')) negative = at(i++) == '-';
  std::size_t digits = 0;
  std::int64_t value = 0;
  for (; i < count && at(i) >= '0' && at(i) <= '9'; ++i, ++digits) {
    value = value * 10 + (at(i) - '0');
    if (value > std::int64_t{1} << 32) return false;
  }
  while (i < count && Blank(at(i))) ++i;
  if (digits == 0 || i != count) return false;
  if (negative) value = -value;
  if (!FitsInt32(value)) return false;
  result = static_cast<std::int32_t>(value);
  return true;
}

bool FromDouble(double value, std::int32_t& result) {
  if (!std::isfinite(value)) return false;
  double truncated = std::trunc(value);
  if (truncated < -2147483648.0 || truncated > 2147483647.0) return false;
  result = static_cast<std::int32_t>(truncated);
  return true;
}

// DBNUMERIC: precision, scale, sign (1 positive), then the magnitude as 16 bytes, low first.
bool FromNumeric(const std::uint8_t* src, std::size_t length, std::int32_t& result) {
  if (length < 3) return false;
  unsigned scale = src[1];
  bool negative = src[2] == 0;
  std::uint32_t words[4] = {0, 0, 0, 0};
  std::size_t bytes = std::min<std::size_t>(length - 3, 16);
  for (std::size_t i = 0; i < bytes; ++i) words[i / 4] |= static_cast<std::uint32_t>(src[3 + i]) << (8 * (i % 4));
  // Truncating toward zero: drop the fraction's digits one by one (long division by 10).
  for (unsigned s = 0; s < scale; ++s) {
    std::uint64_t remainder = 0;
    for (int w = 3; w >= 0; --w) {
      std::uint64_t current = remainder << 32 | words[w];
      words[w] = static_cast<std::uint32_t>(current / 10);
      remainder = current % 10;
    }
  }
  if (words[1] != 0 || words[2] != 0 || words[3] != 0) return false;
  std::int64_t value = words[0];
  if (negative) value = -value;
  if (!FitsInt32(value)) return false;
  result = static_cast<std::int32_t>(value);
  return true;
}

bool FromMoney(std::int64_t tenThousandths, std::int32_t& result) {
  std::int64_t value = tenThousandths / 10000;  // C++ division truncates toward zero
  if (!FitsInt32(value)) return false;
  result = static_cast<std::int32_t>(value);
  return true;
}

}  // namespace

int FixedTypeLength(int type) {
  switch (type) {
    case ServerType::TinyInt:
    case ServerType::Bit:
      return 1;
    case ServerType::SmallInt:
      return 2;
    case ServerType::Int:
    case 0x3B:  // real
    case 0x7A:  // smallmoney
    case 0x3A:  // smalldatetime
      return 4;
    case ServerType::BigInt:
    case ServerType::Float:
    case ServerType::Money:
    case ServerType::DateTime:
      return 8;
    default:
      return 0;
  }
}

bool IsCharType(int type) {
  switch (type) {
    case ServerType::Text:
    case ServerType::VarChar:
    case ServerType::Char:
    case ServerType::BigVarChar:
    case ServerType::BigChar:
      return true;
    default:
      return false;
  }
}

bool ConvertToInt32(int srcType, const std::uint8_t* src, std::size_t length, std::int32_t& result) {
  if (src == nullptr || length == 0) return false;
  switch (srcType) {
    case ServerType::Text:
    case ServerType::VarChar:
    case ServerType::Char:
    case ServerType::BigVarChar:
    case ServerType::BigChar:
      return ParseDecimal(src, length, 1, result);
    case ServerType::NText:
    case ServerType::NVarChar:
    case ServerType::NChar:
      return ParseDecimal(src, length, 2, result);
    case ServerType::VarBinary:
    case ServerType::BigVarBinary:
    case ServerType::BigBinary:
    case 0x2D:  // binary
    case 0x22: {  // image
      // Bytes are an integer written high byte first; a longer value keeps its last four.
      std::size_t start = length > 4 ? length - 4 : 0;
      std::uint32_t value = 0;
      for (std::size_t i = start; i < length; ++i) value = value << 8 | src[i];
      result = static_cast<std::int32_t>(value);
      return true;
    }
    case ServerType::TinyInt:
      result = src[0];
      return true;
    case ServerType::Bit:
    case 0x68:  // bitn
      result = src[0] != 0 ? 1 : 0;
      return true;
    case ServerType::SmallInt:
      if (length < 2) return false;
      result = static_cast<std::int16_t>(ReadLittle(src, 2));
      return true;
    case ServerType::Int:
      if (length < 4) return false;
      result = static_cast<std::int32_t>(ReadLittle(src, 4));
      return true;
    case ServerType::BigInt: {
      if (length < 8) return false;
      std::int64_t value = static_cast<std::int64_t>(ReadLittle64(src));
      if (!FitsInt32(value)) return false;
      result = static_cast<std::int32_t>(value);
      return true;
    }
    case ServerType::IntN:
      switch (length) {
        case 1:
          return ConvertToInt32(ServerType::TinyInt, src, 1, result);
        case 2:
          return ConvertToInt32(ServerType::SmallInt, src, 2, result);
        case 4:
          return ConvertToInt32(ServerType::Int, src, 4, result);
        case 8:
          return ConvertToInt32(ServerType::BigInt, src, 8, result);
        default:
          return false;
      }
    case 0x3B: {  // real
      if (length < 4) return false;
      std::uint32_t bits = ReadLittle(src, 4);
      float value;
      std::memcpy(&value, &bits, 4);
      return FromDouble(value, result);
    }
    case ServerType::Float: {
      if (length < 8) return false;
      std::uint64_t bits = ReadLittle64(src);
      double value;
      std::memcpy(&value, &bits, 8);
      return FromDouble(value, result);
    }
    case 0x6D:  // floatn
      if (length == 4) return ConvertToInt32(0x3B, src, 4, result);
      if (length == 8) return ConvertToInt32(ServerType::Float, src, 8, result);
      return false;
    case ServerType::Numeric:
    case 0x6A:  // decimal
      return FromNumeric(src, length, result);
    case ServerType::Money: {
      // Two 4-byte halves, the high one first, each low byte first.
      if (length < 8) return false;
      std::uint64_t bits = static_cast<std::uint64_t>(ReadLittle(src, 4)) << 32 | ReadLittle(src + 4, 4);
      return FromMoney(static_cast<std::int64_t>(bits), result);
    }
    case 0x7A:  // smallmoney
      if (length < 4) return false;
      return FromMoney(static_cast<std::int32_t>(ReadLittle(src, 4)), result);
    case 0x6E:  // moneyn
      if (length == 4) return ConvertToInt32(0x7A, src, 4, result);
      if (length == 8) return ConvertToInt32(ServerType::Money, src, 8, result);
      return false;
    default:
      return false;
  }
}

void CHostServerCall::AddParameter(CHostParameter parameter) { m_arrParameters.push_back(std::move(parameter)); }

CHostParameter CHostServerCall::Text(std::string name, std::string value) {
  CHostParameter parameter;
  parameter.strName = std::move(name);
  parameter.nType = ServerType::BigVarChar;
  parameter.data = std::move(value);
  return parameter;
}

CHostParameter CHostServerCall::NText(std::string name, const std::u16string& value) {
  CHostParameter parameter;
  parameter.strName = std::move(name);
  parameter.nType = ServerType::NVarChar;
  for (char16_t unit : value) {
    parameter.data += static_cast<char>(unit & 0xFF);
    parameter.data += static_cast<char>(unit >> 8);
  }
  return parameter;
}

CHostParameter CHostServerCall::Int(std::string name, std::int32_t value) {
  CHostParameter parameter;
  parameter.strName = std::move(name);
  parameter.nType = ServerType::Int;
  std::uint32_t bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) parameter.data += static_cast<char>((bits >> (8 * i)) & 0xFF);
  parameter.nMaxLength = 4;
  return parameter;
}

CHostParameter CHostServerCall::Null(std::string name) {
  CHostParameter parameter;
  parameter.strName = std::move(name);
  parameter.nType = ServerType::BigVarChar;
  parameter.bNull = true;
  return parameter;
}

void CHostServerCall::SetParamCount(int count) { m_nParamCount = count; }

void CHostServerCall::SetConnectionField(int field, std::string value) { m_arrConnectionFields[field] = std::move(value); }

void CHostServerCall::SetBindToken(std::string token) { m_strBindToken = std::move(token); }

const CHostParameter* CHostServerCall::Parameter(int n) const {
  if (n < 1 || static_cast<std::size_t>(n) > m_arrParameters.size()) return nullptr;
  return &m_arrParameters[static_cast<std::size_t>(n) - 1];
}

int CHostServerCall::ParamCount() {
  return m_nParamCount ? *m_nParamCount : static_cast<int>(m_arrParameters.size());
}

std::string CHostServerCall::ParamName(int n) {
  const CHostParameter* parameter = Parameter(n);
  return parameter != nullptr ? parameter->strName : std::string();
}

bool CHostServerCall::ParamInfo(int n, CParamInfo& info, std::uint8_t* data) {
  const CHostParameter* parameter = Parameter(n);
  if (parameter == nullptr) return false;
  info.nType = parameter->nType;
  info.bNull = parameter->bNull;
  info.nActualLength = parameter->bNull ? 0 : static_cast<std::uint32_t>(parameter->data.size());
  info.nMaxLength = std::max<std::uint32_t>(parameter->nMaxLength, static_cast<std::uint32_t>(parameter->data.size()));
  if (data != nullptr && info.nActualLength > 0) std::memcpy(data, parameter->data.data(), info.nActualLength);
  return true;
}

int CHostServerCall::ParamType(int n) {
  const CHostParameter* parameter = Parameter(n);
  return parameter != nullptr ? parameter->nType : 0;
}

int CHostServerCall::ParamLength(int n) {
  const CHostParameter* parameter = Parameter(n);
  if (parameter == nullptr || parameter->bNull) return 0;
  return static_cast<int>(parameter->data.size());
}

const void* CHostServerCall::ParamData(int n) {
  const CHostParameter* parameter = Parameter(n);
  if (parameter == nullptr || parameter->bNull) return nullptr;
  return parameter->data.data();
}

int CHostServerCall::Convert(int srcType, const void* src, int srcLength, int destType, void* dest,
                             int destLength) {
  if (destType != ServerType::Int || dest == nullptr || destLength < 4 || srcLength <= 0) return 0;
  std::int32_t value = 0;
  if (!ConvertToInt32(srcType, static_cast<const std::uint8_t*>(src), static_cast<std::size_t>(srcLength), value)) {
    return 0;
  }
  // The destination is the caller's native int (the server writes it in its own byte order).
  std::memcpy(dest, &value, 4);
  return 4;
}

void CHostServerCall::SendMessage(const std::string& text) {
  m_arrEvents.push_back({CHostEvent::Kind::Message, m_arrMessages.size()});
  m_arrMessages.push_back(text);
}

void CHostServerCall::SendDone(std::uint16_t status, std::uint16_t command, int count) {
  m_arrEvents.push_back({CHostEvent::Kind::Done, m_arrDoneNotices.size()});
  m_arrDoneNotices.push_back({status, command, count});
}

void CHostServerCall::DescribeColumn(int column, const std::string& name, int destType, int destLength, int srcType,
                                     int srcLength) {
  if (!m_arrRows.empty()) {
    m_arrErrors.push_back("column " + std::to_string(column) + " described after a row was sent");
    return;
  }
  // Columns are numbered from 1 in the order they are described.
  if (column != static_cast<int>(m_arrColumns.size()) + 1) {
    m_arrErrors.push_back("column " + std::to_string(column) + " described out of order");
    return;
  }
  if (destLength < 0 || srcLength < 0) {
    m_arrErrors.push_back("column " + std::to_string(column) + " described with a negative length");
    return;
  }
  m_arrColumns.push_back({name, destType, destLength, srcType, srcLength});
  m_arrBindings.emplace_back();
}

CHostServerCall::CBinding* CHostServerCall::Binding(int column, const char* operation) {
  if (column < 1 || static_cast<std::size_t>(column) > m_arrBindings.size()) {
    m_arrErrors.push_back(std::string(operation) + " for column " + std::to_string(column) + ", which is not described");
    return nullptr;
  }
  return &m_arrBindings[static_cast<std::size_t>(column) - 1];
}

void CHostServerCall::SetColumnData(int column, const void* data) {
  if (CBinding* binding = Binding(column, "data set"); binding != nullptr) binding->pData = data;
}

void CHostServerCall::SetColumnLength(int column, int length) {
  if (CBinding* binding = Binding(column, "length set"); binding != nullptr) binding->nLength = length;
}

void CHostServerCall::SendRow() {
  if (m_arrColumns.empty()) {
    m_arrErrors.push_back("row sent without described columns");
    return;
  }
  std::vector<CHostValue> row;
  for (std::size_t i = 0; i < m_arrColumns.size(); ++i) {
    const CHostColumn& column = m_arrColumns[i];
    const CBinding& binding = m_arrBindings[i];
    std::string where = "column " + std::to_string(i + 1) + ": ";
    CHostValue value;
    int fixed = FixedTypeLength(column.nSrcType);
    int length = binding.nLength.value_or(column.nSrcLength);
    if (fixed > 0) {
      // A fixed-length type always carries its own size; length 0 is how NULL is sent.
      if (length != 0 && length != fixed) m_arrErrors.push_back(where + "length " + std::to_string(length) + " for a fixed-length type");
      length = length == 0 ? 0 : fixed;
    } else if (length > column.nDestLength) {
      m_arrErrors.push_back(where + "length " + std::to_string(length) + " exceeds the declared maximum " +
                            std::to_string(column.nDestLength));
    }
    if (length < 0) {
      m_arrErrors.push_back(where + "negative length");
      value.bNull = true;
    } else if (length == 0) {
      // Length 0 sends NULL, except for a text column declared with maximum length 0,
      // which carries the empty text.
      value.bNull = !(IsCharType(column.nSrcType) && column.nDestLength == 0);
    } else if (binding.pData == nullptr) {
      m_arrErrors.push_back(where + "no data for length " + std::to_string(length));
      value.bNull = true;
    } else {
      value.data.assign(static_cast<const char*>(binding.pData), static_cast<std::size_t>(length));
    }
    row.push_back(std::move(value));
  }
  m_arrEvents.push_back({CHostEvent::Kind::Row, m_arrRows.size()});
  m_arrRows.push_back(std::move(row));
}

std::optional<std::string> CHostServerCall::ConnectionField(int field) {
  auto found = m_arrConnectionFields.find(field);
  if (found == m_arrConnectionFields.end()) return std::nullopt;
  return found->second;
}

std::string CHostServerCall::BindToken() { return m_strBindToken; }

}  // namespace varnel
