// Prints what a procedure call sent: as sqlcmd shows it (messages, then each row set as a
// table and its row count), or as one JSON object. Text from the procedure is in the
// connection's code page and is printed as UTF-8.
#pragma once

#include <string>

#include "platform/CodePage.h"
#include "host/HostServerCall.h"

namespace varnel::host {

std::string FormatOutcomeTable(const CHostServerCall& call, const CCodePage& codePage);
std::string FormatOutcomeJson(const CHostServerCall& call, const CCodePage& codePage, int returnValue);
// A JSON string literal of UTF-8 text, quotes included.
std::string JsonString(const std::string& utf8);

}  // namespace varnel::host
