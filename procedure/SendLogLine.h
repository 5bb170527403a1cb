// The one line per send for the system's log, as mail tools write theirs: the sender, how
// many recipients, the relay, the TLS in use, the outcome, the size and the time it took.
// It never holds a credential, a token, a subject, a body or a recipient's address.
#pragma once

#include <string>

#include "platform/ServerCall.h"

namespace varnel {

class ISettings;

// "from=a@example.com recipients=2 relay=smtp.example.com:587 tls=TLSv1.3 size=1234
// duration=87ms status=0 outcome=accepted messageid=<...>"; values with blanks or quotes
// are quoted, control characters become "?".
std::string FormatSendLogLine(const CCallReport& report);

// Whether the Syslog setting asks for the line: no value, an empty one or "0" do not; any
// other value does (a value that cannot be read too: the line is never lost to a typo).
bool SystemLogWanted(ISettings& settings);

}  // namespace varnel
