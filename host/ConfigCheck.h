// varnel --check-config: reads every installation setting as a send would, prints the
// effective values with secrets masked, and fails at the first setting at fault. No relay
// or token endpoint is contacted.
#pragma once

#include <iosfwd>

#include "platform/Settings.h"

namespace varnel::host {

inline constexpr int kExitConfigFault = 1;

// 0 when every setting is usable; kExitConfigFault with the fault on errors otherwise.
int RunConfigCheck(ISettings& settings, std::ostream& output, std::ostream& errors);

}  // namespace varnel::host
