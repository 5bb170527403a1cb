// Reads one T-SQL EXEC statement of xp_Varnel and turns its arguments into the parameters
// the server would pass: named or positional, each literal typed as the server types it.
// A statement it cannot read gives false with a message and the line and column where the
// reading stopped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/CodePage.h"
#include "host/HostServerCall.h"

namespace varnel::host {

struct CParseError {
  std::string strMessage;
  int nLine = 0;
  int nColumn = 0;  // in characters, from 1
  // "line L, column C: message"
  std::string Text() const;
};

class CExecParser {
 public:
  explicit CExecParser(const CCodePage& codePage) : m_codePage(codePage) {}

  bool Parse(std::string_view statement, std::vector<CHostParameter>& parameters, CParseError& error) const;

 private:
  CCodePage m_codePage;
};

}  // namespace varnel::host
