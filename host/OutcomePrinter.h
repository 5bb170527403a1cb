// Prints what a procedure call sent: as sqlcmd shows it (messages, then each row set as a
// table and its row count), or as one JSON object. Text from the procedure is in the
// connection's code page and is printed as UTF-8.
#pragma once

#include <string>

#include "platform/CodePage.h"
#include "host/HostServerCall.h"

namespace varnel::host {

std::string FormatOutcomeTable(const CHostServerCall& call, const CCodePage& codePage);
// The version of the --json shape; a change that could break a reader raises it.
inline constexpr int kJsonFormat = 1;
// One JSON object (the shape README and the manual page document as format 1): the call's
// status, messages, rows as objects by column name (typed: the outcome's SMTPErrorNumber is
// a number or null), done notices, and the report's relay, TLS, Message-ID, size, duration.
std::string FormatOutcomeJson(const CHostServerCall& call, const CCodePage& codePage, int returnValue);
// A JSON string literal of UTF-8 text, quotes included.
std::string JsonString(const std::string& utf8);

}  // namespace varnel::host
