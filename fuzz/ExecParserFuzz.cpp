// Feeds arbitrary bytes to the EXEC statement parser: it must answer with parameters or a
// positioned error, never crash, and an accepted statement must also type cleanly in every
// code page and format as output.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/ExecParser.h"
#include "host/OutcomePrinter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the code page, the rest is the statement.
  static constexpr int kCodePages[] = {1252, 1250, 1251, 1253, 1255, 1256, 28591, 437, 874, 65001};
  const int codePage = kCodePages[data[0] % (sizeof kCodePages / sizeof kCodePages[0])];
  std::string_view statement(reinterpret_cast<const char*>(data + 1), size - 1);

  const varnel::CCodePage page = *varnel::CCodePage::Find(codePage);
  std::vector<varnel::CHostParameter> parameters;
  varnel::host::CParseError error;
  if (!varnel::host::CExecParser(page).Parse(statement, parameters, error)) {
    if (error.nLine < 1 || error.nColumn < 1 || error.strMessage.empty()) __builtin_trap();
    return 0;
  }
  // Every accepted value goes through the server call and back out as text and JSON.
  varnel::CHostServerCall call;
  for (const varnel::CHostParameter& parameter : parameters) {
    call.AddParameter(parameter);
    call.SendMessage(parameter.strName + parameter.data);
  }
  for (int n = 1; n <= call.ParamCount(); ++n) {
    std::int32_t value = 0;
    call.Convert(call.ParamType(n), call.ParamData(n), call.ParamLength(n), varnel::ServerType::Int, &value, 4);
    varnel::CParamInfo info;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(call.ParamLength(n)) + 1);
    call.ParamInfo(n, info, buffer.data());
  }
  std::string json = varnel::host::FormatOutcomeJson(call, page, 0);
  std::string table = varnel::host::FormatOutcomeTable(call, page);
  return json.empty() && table.empty() ? 1 : 0;
}
