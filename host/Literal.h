// A literal of an EXEC statement and its typing: as the value the server would pass for it,
// or converted by CAST(literal AS type). A conversion the server would refuse gives false
// and a message that says why.
#pragma once

#include <cstdint>
#include <string>

#include "platform/CodePage.h"
#include "host/HostServerCall.h"

namespace varnel::host {

struct CLiteral {
  enum class Kind { Null, Text, UnicodeText, Integer, Decimal, Float, Binary, Money };
  Kind eKind = Kind::Null;
  std::string strText;       // Text: code-page bytes; numbers: the digits as written, sign first
  std::u16string strUnicode;  // UnicodeText
  std::string strBytes;      // Binary
};

// The target of a CAST: a type name in lower case and its length, precision and scale.
struct CCastType {
  std::string strName;
  bool bHasLength = false;
  bool bMax = false;   // (max)
  int nLength = 0;     // or the precision of decimal and numeric
  bool bHasScale = false;
  int nScale = 0;
};

// The server type a type name stands for; 0 when this command does not support it.
int CastTypeCode(const std::string& name);

// The value the server passes for the literal as written.
bool TypeLiteral(CLiteral literal, CHostParameter& parameter, std::string& error);
// The value of CAST(literal AS type).
bool CastLiteral(const CLiteral& literal, const CCastType& type, const CCodePage& codePage,
                 CHostParameter& parameter, std::string& error);

}  // namespace varnel::host
