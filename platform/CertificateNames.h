// Whether a DNS name of a certificate's subjectAltName names a host (RFC 9525 section 6.3,
// as OpenSSL checks it with partial wildcards refused): letter case aside the names are
// equal, or the entry's left-most label is "*" alone and stands for exactly one label of
// the host, below a parent of at least two labels. For a TLS layer that checks names
// itself (Schannel under Wine takes a common name when no subjectAltName matches).
#pragma once

#include <string>
#include <string_view>

#include "platform/AsciiCase.h"

namespace varnel {

inline bool CertificateDnsNameMatches(std::string_view entry, std::string_view host) {
  // A final dot is the same name (an absolute domain name).
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (!entry.empty() && entry.back() == '.') entry.remove_suffix(1);
  if (entry.empty() || host.empty()) return false;
  std::string pattern = AsciiLower(entry);
  std::string name = AsciiLower(host);
  if (pattern.rfind("*.", 0) != 0) return pattern.find('*') == std::string::npos && pattern == name;
  std::string_view parent = std::string_view(pattern).substr(2);
  if (parent.find('.') == std::string_view::npos || parent.find('*') != std::string_view::npos) return false;
  std::size_t dot = name.find('.');
  return dot != std::string::npos && dot > 0 && std::string_view(name).substr(dot + 1) == parent;
}

}  // namespace varnel
