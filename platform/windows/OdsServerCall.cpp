#include "platform/windows/OdsServerCall.h"

#include <cstring>

namespace varnel {

namespace {
// sp_getbindtoken hands out at most 255 characters; the rest is room for the NUL and
// for a server that writes more than it documents.
constexpr std::size_t kBindTokenBuffer = 1024;
}  // namespace

int COdsServerCall::ParamCount() { return srv_rpcparams(m_pServer); }

std::string COdsServerCall::ParamName(int n) {
  int length = 0;
  const char* name = srv_paramname(m_pServer, n, &length);
  if (name == nullptr || length <= 0) return {};
  return std::string(name, static_cast<std::size_t>(length));
}

bool COdsServerCall::ParamInfo(int n, CParamInfo& info, std::uint8_t* data) {
  unsigned char type = 0;
  unsigned long maxLength = 0;
  unsigned long actualLength = 0;
  int isNull = 0;
  if (srv_paraminfo(m_pServer, n, &type, &maxLength, &actualLength, data, &isNull) != SUCCEED) return false;
  info.nType = type;
  info.nMaxLength = static_cast<std::uint32_t>(maxLength);
  info.nActualLength = static_cast<std::uint32_t>(actualLength);
  info.bNull = isNull != 0;
  return true;
}

int COdsServerCall::ParamType(int n) { return srv_paramtype(m_pServer, n); }

int COdsServerCall::ParamLength(int n) { return srv_paramlen(m_pServer, n); }

const void* COdsServerCall::ParamData(int n) { return srv_paramdata(m_pServer, n); }

int COdsServerCall::Convert(int srcType, const void* src, int srcLength, int destType, void* dest,
                            int destLength) {
  // The server reports a conversion it cannot make with -1; the seam knows only 0.
  int converted = srv_convert(m_pServer, srcType, const_cast<void*>(src), srcLength, destType, dest,
                              destLength);
  return converted > 0 ? converted : 0;
}

void COdsServerCall::SendMessage(const std::string& text) {
  srv_sendmsg(m_pServer, SRV_MSG_INFO, 0, 0, 0, nullptr, 0, 0, const_cast<char*>(text.c_str()),
              SRV_NULLTERM);
}

void COdsServerCall::SendDone(std::uint16_t status, std::uint16_t command, int count) {
  srv_senddone(m_pServer, status, command, count);
}

void COdsServerCall::DescribeColumn(int column, const std::string& name, int destType,
                                    int destLength, int srcType, int srcLength) {
  srv_describe(m_pServer, column, const_cast<char*>(name.c_str()), SRV_NULLTERM, destType, destLength,
               srcType, srcLength, nullptr);
}

void COdsServerCall::SetColumnData(int column, const void* data) {
  srv_setcoldata(m_pServer, column, const_cast<void*>(data));
}

void COdsServerCall::SetColumnLength(int column, int length) { srv_setcollen(m_pServer, column, length); }

void COdsServerCall::SendRow() { srv_sendrow(m_pServer); }

std::optional<std::string> COdsServerCall::ConnectionField(int field) {
  int length = 0;
  const char* value = srv_pfieldex(m_pServer, field, &length);
  if (value == nullptr) return std::nullopt;
  // The text is NUL-terminated; the length is taken when the server gives one.
  std::size_t size = length >= 0 ? static_cast<std::size_t>(length) : std::strlen(value);
  return std::string(value, size);
}

std::string COdsServerCall::BindToken() {
  char token[kBindTokenBuffer] = {};
  if (srv_getbindtoken(m_pServer, token) != SUCCEED) return {};
  token[kBindTokenBuffer - 1] = '\0';
  return token;
}

}  // namespace varnel
