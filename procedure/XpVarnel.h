// The two procedures the library exports to the database server: the mail procedure
// and the interface version. Every exit of the mail procedure sends one done notice.
#pragma once

#include <cstdint>

#include "platform/Platform.h"
#include "platform/ServerCall.h"

namespace varnel {

// Runs one call of xp_Varnel; returns the procedure's 16-bit return value.
std::uint16_t XpVarnel(IServerCall& server, const CPlatform& platform);

// Interface version the library was built for (7.0).
std::uint32_t GetXpVersion();

}  // namespace varnel
