// A stand-in for the database server's opends60.dll: the extended-procedure functions
// over an in-memory call. Parameters go in; messages, result columns, rows and done
// notices are recorded as the server would pass them on to the client. Uses of the
// interface that a real server would reject or misread are recorded as misuses.
#include "tests/windows/OdsDouble.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

struct CDoubleParam {
  std::string strName;
  int nType = 0;
  std::vector<unsigned char> arrData;
  unsigned long nMaxLength = 0;
  bool bNull = false;
};

struct CDoubleColumn {
  std::string strName;
  int nDestType = 0;
  int nDestLength = 0;
  int nSrcType = 0;
  int nSrcLength = 0;
  const void* pData = nullptr;
  std::optional<int> nLength;
};

struct CDone {
  unsigned short nStatus = 0;
  unsigned short nCommand = 0;
  int nCount = 0;
};

// One cell of a sent row, already in its JSON form.
using CRow = std::vector<std::string>;

bool IsTextType(int type) {
  switch (type) {
    case 0x23: case 0x25: case 0x27: case 0x2F: case 0xA5: case 0xA7: case 0xAD: case 0xAF: return true;
    default: return false;
  }
}

bool IsIntegerType(int type) {
  switch (type) {
    case 0x26: case 0x30: case 0x32: case 0x34: case 0x38: case 0x7F: return true;
    default: return false;
  }
}

// Size of a fixed-size integer type; 0 for intn, whose size is its length.
int IntegerSize(int type) {
  switch (type) {
    case 0x30: case 0x32: return 1;
    case 0x34: return 2;
    case 0x38: return 4;
    case 0x7F: return 8;
    default: return 0;
  }
}

bool ReadInteger(int type, const unsigned char* data, int length, std::int64_t& value) {
  int size = IntegerSize(type);
  if (size == 0) size = length;
  if (data == nullptr || (size != 1 && size != 2 && size != 4 && size != 8)) return false;
  if (length >= 0 && length < size) return false;
  switch (size) {
    case 1: value = type == 0x30 || type == 0x32 ? data[0] : static_cast<std::int8_t>(data[0]); return true;
    case 2: { std::int16_t v; std::memcpy(&v, data, 2); value = v; return true; }
    case 4: { std::int32_t v; std::memcpy(&v, data, 4); value = v; return true; }
    default: { std::int64_t v; std::memcpy(&v, data, 8); value = v; return true; }
  }
}

// Decimal text as the server converts it to a number: blanks around, an optional sign,
// at least one digit, nothing else.
bool ParseDecimal(const char* text, int length, std::int64_t& value) {
  std::string digits = length < 0 ? std::string(text) : std::string(text, static_cast<std::size_t>(length));
  std::size_t first = digits.find_first_not_of(" \t");
  std::size_t last = digits.find_last_not_of(" \t");
  if (first == std::string::npos) return false;
  digits = digits.substr(first, last - first + 1);
  bool negative = false;
  std::size_t at = 0;
  if (digits[0] == '+' || digits[0] == '-') {
    negative = digits[0] == '-';
    at = 1;
  }
  if (at >= digits.size()) return false;
  std::int64_t result = 0;
  for (; at < digits.size(); ++at) {
    if (digits[at] < '0' || digits[at] > '9') return false;
    if (result > (INT64_MAX - 9) / 10) return false;
    result = result * 10 + (digits[at] - '0');
  }
  value = negative ? -result : result;
  return true;
}

// The 8-bit text of the procedure as the client receives it: converted from the code page
// of the caller's connection to UTF-8, as the server hands text to its clients.
std::string ToUtf8(const char* text, std::size_t length, unsigned codePage) {
  if (length == 0) return {};
  int units = ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), nullptr, 0);
  if (units <= 0) return std::string(text, length);
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), wide.data(), units);
  int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

void AppendJsonString(std::string& out, const char* text, std::size_t length, unsigned codePage) {
  std::string utf8 = ToUtf8(text, length, codePage);
  out += '"';
  for (char character : utf8) {
    unsigned char c = static_cast<unsigned char>(character);
    char escaped[8];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += character;
        }
    }
  }
  out += '"';
}

int CopyOut(const std::string& text, char* buffer, int size) {
  if (buffer != nullptr && size > 0) {
    std::size_t count = text.size() < static_cast<std::size_t>(size - 1) ? text.size() : static_cast<std::size_t>(size - 1);
    std::memcpy(buffer, text.data(), count);
    buffer[count] = '\0';
  }
  return static_cast<int>(text.size());
}

}  // namespace

struct srv_proc {
  std::mutex mutex;
  std::vector<CDoubleParam> arrParams;
  std::optional<int> nParamCount;
  std::map<int, std::string> fields;
  std::optional<std::string> strBindToken;
  DWORD nServerThread = 0;
  bool bInside = false;
  bool bLeft = false;

  std::vector<std::string> arrMessages;
  std::vector<CDoubleColumn> arrColumns;
  std::vector<std::string> arrColumnNames;  // every column described during the call
  std::vector<CRow> arrRows;
  std::vector<CDone> arrDone;
  std::vector<std::string> arrMisuses;

  void Misuse(const std::string& text) { arrMisuses.push_back(text); }

  // The code page of the caller's connection (field 36), 1252 when it names none.
  unsigned CodePage() const {
    auto found = fields.find(36);
    unsigned codePage = found == fields.end() ? 0 : static_cast<unsigned>(std::strtoul(found->second.c_str(), nullptr, 10));
    return codePage != 0 ? codePage : 1252;
  }

  // Every server function starts here: the call must come from the thread that runs the
  // procedure, while it runs.
  void Check(const char* function) {
    if (bLeft) Misuse(std::string(function) + " called after the procedure returned");
    else if (!bInside) Misuse(std::string(function) + " called outside the procedure");
    else if (::GetCurrentThreadId() != nServerThread)
      Misuse(std::string(function) + " called from a thread other than the server's");
  }

  CDoubleParam* Param(int n) {
    if (n < 1 || n > static_cast<int>(arrParams.size())) return nullptr;
    return &arrParams[static_cast<std::size_t>(n - 1)];
  }

  std::string Cell(const CDoubleColumn& column) {
    int length = column.nLength.value_or(column.nSrcLength);
    const auto* data = static_cast<const unsigned char*>(column.pData);
    if (IsTextType(column.nDestType)) {
      // Length 0 reaches the client as NULL, except in a text column declared with
      // maximum length 0, which can carry nothing but the empty text.
      if (length == 0) return column.nDestLength == 0 ? "\"\"" : "null";
      if (data == nullptr || length < 0) {
        Misuse("column " + column.strName + " sent without data");
        return "null";
      }
      std::string out;
      AppendJsonString(out, reinterpret_cast<const char*>(data), static_cast<std::size_t>(length), CodePage());
      return out;
    }
    if (IsIntegerType(column.nDestType)) {
      if (length == 0) return "null";
      int size = IntegerSize(column.nDestType);
      if (size != 0 && length != size)
        Misuse("column " + column.strName + " sent with length " + std::to_string(length) + " for a fixed-length type");
      std::int64_t value = 0;
      if (!ReadInteger(column.nDestType, data, length, value)) {
        Misuse("column " + column.strName + " sent without a readable number");
        return "null";
      }
      return std::to_string(value);
    }
    Misuse("column " + column.strName + " has a type the stand-in does not render");
    return "null";
  }
};

extern "C" {

int srv_rpcparams(SRV_PROC* call) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_rpcparams");
  return call->nParamCount.value_or(static_cast<int>(call->arrParams.size()));
}

int srv_paraminfo(SRV_PROC* call, int n, unsigned char* pbType, unsigned long* pcbMaxLen,
                  unsigned long* pcbActualLen, unsigned char* pbData, int* pfNull) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_paraminfo");
  CDoubleParam* param = call->Param(n);
  if (param == nullptr) return FAIL;
  if (pbType == nullptr || pcbMaxLen == nullptr || pcbActualLen == nullptr || pfNull == nullptr) {
    call->Misuse("srv_paraminfo called without its output arguments");
    return FAIL;
  }
  *pbType = static_cast<unsigned char>(param->nType);
  *pcbMaxLen = param->nMaxLength;
  *pcbActualLen = param->bNull ? 0 : static_cast<unsigned long>(param->arrData.size());
  *pfNull = param->bNull ? 1 : 0;
  if (pbData != nullptr && !param->bNull && !param->arrData.empty())
    std::memcpy(pbData, param->arrData.data(), param->arrData.size());
  return SUCCEED;
}

char* srv_paramname(SRV_PROC* call, int n, int* len) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_paramname");
  CDoubleParam* param = call->Param(n);
  if (param == nullptr) {
    if (len != nullptr) *len = -1;
    return nullptr;
  }
  if (len != nullptr) *len = static_cast<int>(param->strName.size());
  return param->strName.data();
}

int srv_paramtype(SRV_PROC* call, int n) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_paramtype");
  CDoubleParam* param = call->Param(n);
  return param == nullptr ? -1 : param->nType;
}

int srv_paramlen(SRV_PROC* call, int n) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_paramlen");
  CDoubleParam* param = call->Param(n);
  if (param == nullptr) return -1;
  return param->bNull ? 0 : static_cast<int>(param->arrData.size());
}

void* srv_paramdata(SRV_PROC* call, int n) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_paramdata");
  CDoubleParam* param = call->Param(n);
  if (param == nullptr || param->bNull) return nullptr;
  return param->arrData.data();
}

int srv_convert(SRV_PROC* call, int srctype, void* src, int srclen, int desttype, void* dest, int destlen) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_convert");
  if (src == nullptr || dest == nullptr) return -1;
  std::int64_t value = 0;
  if (IsIntegerType(srctype)) {
    if (!ReadInteger(srctype, static_cast<const unsigned char*>(src), srclen, value)) return -1;
  } else if (IsTextType(srctype)) {
    if (!ParseDecimal(static_cast<const char*>(src), srclen, value)) return -1;
  } else {
    return -1;  // money, dates, floats: not needed by the procedure
  }
  int size = IntegerSize(desttype);
  if (desttype == 0x26) size = destlen;
  if (size == 0 || !IsIntegerType(desttype) || destlen < size) return -1;
  switch (size) {
    case 1: {
      if (value < 0 || value > 255) return -1;
      auto v = static_cast<std::uint8_t>(value);
      std::memcpy(dest, &v, 1);
      return 1;
    }
    case 2: {
      if (value < INT16_MIN || value > INT16_MAX) return -1;
      auto v = static_cast<std::int16_t>(value);
      std::memcpy(dest, &v, 2);
      return 2;
    }
    case 4: {
      if (value < INT32_MIN || value > INT32_MAX) return -1;
      auto v = static_cast<std::int32_t>(value);
      std::memcpy(dest, &v, 4);
      return 4;
    }
    case 8: std::memcpy(dest, &value, 8); return 8;
    default: return -1;
  }
}

int srv_sendmsg(SRV_PROC* call, int msgtype, int msgnum, unsigned char msgclass, unsigned char state,
                char* rpcname, int rpcnamelen, unsigned short linenum, char* message, int msglen) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_sendmsg");
  if (msgtype != SRV_MSG_INFO || msgnum != 0 || msgclass != 0 || state != 0 || linenum != 0 ||
      (rpcname != nullptr && rpcnamelen != 0))
    call->Misuse("srv_sendmsg with other than an informational message of number, class and state 0");
  if (message == nullptr || (msglen < 0 && msglen != SRV_NULLTERM)) {
    call->Misuse("srv_sendmsg without a valid text");
    return FAIL;
  }
  std::size_t length = msglen == SRV_NULLTERM ? std::strlen(message) : static_cast<std::size_t>(msglen);
  call->arrMessages.emplace_back(message, length);
  return SUCCEED;
}

int srv_senddone(SRV_PROC* call, unsigned short status, unsigned short curcmd, int count) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_senddone");
  call->arrDone.push_back(CDone{status, curcmd, count});
  // A done notice closes the result set: the next one is described afresh.
  call->arrColumns.clear();
  return SUCCEED;
}

int srv_describe(SRV_PROC* call, int colnumber, char* column_name, int namelen, int desttype, int destlen,
                 int srctype, int srclen, void* srcdata) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_describe");
  if (colnumber != static_cast<int>(call->arrColumns.size()) + 1) {
    call->Misuse("srv_describe of column " + std::to_string(colnumber) + " out of order");
    return 0;
  }
  if (column_name == nullptr || (namelen < 0 && namelen != SRV_NULLTERM)) {
    call->Misuse("srv_describe without a column name");
    return 0;
  }
  CDoubleColumn column;
  column.strName = namelen == SRV_NULLTERM ? std::string(column_name) : std::string(column_name, static_cast<std::size_t>(namelen));
  column.nDestType = desttype;
  column.nDestLength = destlen;
  column.nSrcType = srctype;
  column.nSrcLength = srclen;
  column.pData = srcdata;
  call->arrColumns.push_back(column);
  call->arrColumnNames.push_back(column.strName);
  return colnumber;
}

int srv_setcoldata(SRV_PROC* call, int column, void* data) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_setcoldata");
  if (column < 1 || column > static_cast<int>(call->arrColumns.size())) {
    call->Misuse("srv_setcoldata of undescribed column " + std::to_string(column));
    return FAIL;
  }
  call->arrColumns[static_cast<std::size_t>(column - 1)].pData = data;
  return SUCCEED;
}

int srv_setcollen(SRV_PROC* call, int column, int len) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_setcollen");
  if (column < 1 || column > static_cast<int>(call->arrColumns.size())) {
    call->Misuse("srv_setcollen of undescribed column " + std::to_string(column));
    return FAIL;
  }
  CDoubleColumn& described = call->arrColumns[static_cast<std::size_t>(column - 1)];
  if (len < 0 || (IsTextType(described.nDestType) && len > described.nDestLength && len > 0))
    call->Misuse("srv_setcollen of column " + described.strName + " beyond its described length");
  described.nLength = len;
  return SUCCEED;
}

int srv_sendrow(SRV_PROC* call) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_sendrow");
  if (call->arrColumns.empty()) {
    call->Misuse("srv_sendrow without described columns");
    return FAIL;
  }
  CRow row;
  for (const CDoubleColumn& column : call->arrColumns) row.push_back(call->Cell(column));
  call->arrRows.push_back(row);
  return SUCCEED;
}

char* srv_pfieldex(SRV_PROC* call, int field, int* len) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_pfieldex");
  auto found = call->fields.find(field);
  if (found == call->fields.end()) {
    if (len != nullptr) *len = 0;
    return nullptr;
  }
  if (len != nullptr) *len = static_cast<int>(found->second.size());
  return found->second.data();
}

int srv_getbindtoken(SRV_PROC* call, char* token_buf) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->Check("srv_getbindtoken");
  if (!call->strBindToken || token_buf == nullptr) return FAIL;
  std::memcpy(token_buf, call->strBindToken->c_str(), call->strBindToken->size() + 1);
  return SUCCEED;
}

SRV_PROC* odsdouble_open(void) {
  auto* call = new srv_proc;
  // What a caller on a default installation brings along.
  call->fields[14] = "WINEHOST";
  call->fields[16] = "sa";
  call->fields[17] = "";
  call->fields[30] = "FALSE";
  call->fields[36] = "1252";
  return call;
}

void odsdouble_close(SRV_PROC* call) { delete call; }

void odsdouble_add_param(SRV_PROC* call, const char* name, int type, const void* data, int length, int maxLength,
                         int isNull) {
  std::lock_guard<std::mutex> lock(call->mutex);
  CDoubleParam param;
  param.strName = name != nullptr ? name : "";
  param.nType = type;
  param.bNull = isNull != 0;
  if (!param.bNull && data != nullptr && length > 0) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    param.arrData.assign(bytes, bytes + length);
  }
  param.nMaxLength = static_cast<unsigned long>(maxLength);
  call->arrParams.push_back(param);
}

void odsdouble_set_param_count(SRV_PROC* call, int count) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->nParamCount = count;
}

void odsdouble_set_field(SRV_PROC* call, int field, const char* value) {
  std::lock_guard<std::mutex> lock(call->mutex);
  if (value == nullptr) call->fields.erase(field);
  else call->fields[field] = value;
}

void odsdouble_set_bind_token(SRV_PROC* call, const char* token) {
  std::lock_guard<std::mutex> lock(call->mutex);
  if (token == nullptr) call->strBindToken.reset();
  else call->strBindToken = token;
}

void odsdouble_enter(SRV_PROC* call) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->nServerThread = ::GetCurrentThreadId();
  call->bInside = true;
}

void odsdouble_leave(SRV_PROC* call) {
  std::lock_guard<std::mutex> lock(call->mutex);
  call->bInside = false;
  call->bLeft = true;
}

int odsdouble_report(SRV_PROC* call, int returnValue, char* buffer, int size) {
  std::lock_guard<std::mutex> lock(call->mutex);
  std::string out = "{\"messages\": [";
  for (std::size_t i = 0; i < call->arrMessages.size(); ++i) {
    if (i > 0) out += ", ";
    AppendJsonString(out, call->arrMessages[i].data(), call->arrMessages[i].size(), call->CodePage());
  }
  out += "], \"columns\": [";
  for (std::size_t i = 0; i < call->arrColumnNames.size(); ++i) {
    if (i > 0) out += ", ";
    AppendJsonString(out, call->arrColumnNames[i].data(), call->arrColumnNames[i].size(), call->CodePage());
  }
  out += "], \"rows\": [";
  for (std::size_t i = 0; i < call->arrRows.size(); ++i) {
    if (i > 0) out += ", ";
    out += '[';
    for (std::size_t j = 0; j < call->arrRows[i].size(); ++j) {
      if (j > 0) out += ", ";
      out += call->arrRows[i][j];
    }
    out += ']';
  }
  out += "], \"done\": [";
  for (std::size_t i = 0; i < call->arrDone.size(); ++i) {
    if (i > 0) out += ", ";
    const CDone& done = call->arrDone[i];
    out += "{\"status\": " + std::to_string(done.nStatus) + ", \"command\": " + std::to_string(done.nCommand) +
           ", \"count\": " + std::to_string(done.nCount) + "}";
  }
  out += "], \"return\": " + std::to_string(returnValue) + "}";
  return CopyOut(out, buffer, size);
}

int odsdouble_misuses(SRV_PROC* call, char* buffer, int size) {
  std::lock_guard<std::mutex> lock(call->mutex);
  std::string out;
  for (const std::string& misuse : call->arrMisuses) out += misuse + "\n";
  return CopyOut(out, buffer, size);
}

}  // extern "C"
