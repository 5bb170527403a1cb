// Asks an OAuth 2.0 token endpoint for a client-credentials token (RFC 6749 section 4.4):
// one HTTPS POST (RFC 9112) over the platform's network and TLS layers, the certificate
// checked against the system's roots and the request's CA file, bounded as a whole by the
// caller's deadline. Only https:// endpoints are used. Everything it needs comes in as
// values: it reads no setting. Failures are texts, never throws.
#pragma once

#include <string>

#include "oauth/OAuthTokenFetcher.h"
#include "platform/Platform.h"

namespace varnel {

struct CHttpsUrl {
  std::string strHost;       // DNS name or address, without the brackets of an IPv6 one
  int nPort = 443;
  std::string strAuthority;  // host[:port] as written, for the Host field
  std::string strTarget;     // path and query, at least "/"

  // The endpoint as the log shows it: no query, which could carry a credential.
  std::string LogName() const;
};

// Reads an https:// URL (RFC 9110 section 4.2.2). False with error set for anything else;
// a URL of another scheme is refused as "not TLS".
bool ParseHttpsUrl(const std::string& text, CHttpsUrl& url, std::string& error);
// application/x-www-form-urlencoded value (RFC 6749 appendix B): all but unreserved
// characters percent-encoded.
std::string FormEncode(const std::string& text);
// The whole HTTP request for request to url.
std::string BuildTokenRequest(const CHttpsUrl& url, const COAuthRequest& request);

class COAuthTokenClient final : public IOAuthTokenFetcher {
 public:
  explicit COAuthTokenClient(const CPlatform& platform) : m_platform(platform) {}

  bool Fetch(const COAuthRequest& request, std::chrono::steady_clock::time_point deadline, COAuthToken& token,
             std::string& error) override;

 private:
  CPlatform m_platform;
};

}  // namespace varnel
