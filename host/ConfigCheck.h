// varnel --check-config: reads every installation setting as a send would, prints the
// effective values with secrets masked, and fails at the first setting at fault. No relay
// or token endpoint is contacted.
#pragma once

#include <iosfwd>

#include <optional>
#include <string>

#include "platform/Platform.h"
#include "platform/ProfileStore.h"
#include "platform/Settings.h"

namespace varnel::host {

inline constexpr int kExitConfigFault = 1;

// 0 when every setting is usable; kExitConfigFault with the fault on errors otherwise.
int RunConfigCheck(ISettings& settings, std::ostream& output, std::ostream& errors);
// The same, then every relay profile of the store (or only `profile`): each is read as a
// call would read it, its secrets included, and printed with them masked.
// With `probe` (the platform given) each profile's relays are contacted as a send would
// contact them: connected, TLS set up, signed in, then QUIT where MAIL would follow.
int RunConfigCheck(ISettings& settings, IProfileStore* profiles, const std::optional<std::string>& profile,
                   std::ostream& output, std::ostream& errors, const CPlatform* probe = nullptr);

}  // namespace varnel::host
