// What a relay announced in its EHLO reply (RFC 5321 section 4.1.1.1): the extensions
// this client uses. The reply is untrusted text: unknown or malformed lines are ignored.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnel {

struct CSMTPCapabilities {
  bool bStartTls = false;      // RFC 3207
  bool b8BitMime = false;      // RFC 6152
  bool bAuthListed = false;    // an AUTH line was present (RFC 4954)
  std::vector<std::string> arrAuthMechanisms;  // upper case, as listed
  bool bSize = false;          // RFC 1870: MAIL takes SIZE=
  std::uint64_t nMaxSize = 0;  // SIZE limit in bytes (RFC 1870); 0: none announced

  // Reads the lines of a complete EHLO reply (joined by CR LF, codes included).
  static CSMTPCapabilities Parse(std::string_view reply);
  bool OffersMechanism(std::string_view name) const;
};

}  // namespace varnel
