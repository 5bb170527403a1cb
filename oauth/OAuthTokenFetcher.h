// What a client-credentials token request needs (RFC 6749 section 4.4), the token it
// yields, and the seam between the token cache and whatever asks the endpoint, so that
// the cache can be tested with a fetcher of the test's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace varnel {

struct COAuthRequest {
  std::string strTokenUrl;
  std::string strClientId;
  std::string strClientSecret;
  std::string strScope;
  // Local address the request leaves from (empty: any), as the relay's connection does.
  std::string strBindAddress;
  // CA certificates the endpoint's certificate may also chain to, besides the system's
  // roots (empty: the system's alone). The file is read at the handshake.
  std::string strCaFile{};
};

struct COAuthToken {
  std::string strAccessToken;
  // Seconds the token lives from the moment it was asked for; -1 when the endpoint did not say.
  std::int64_t nExpiresIn = -1;
};

class IOAuthTokenFetcher {
 public:
  virtual ~IOAuthTokenFetcher() = default;
  // Asks the endpoint for a new token, finishing by deadline. False with error set (the
  // endpoint's words when it gave some) when no token came.
  virtual bool Fetch(const COAuthRequest& request, std::chrono::steady_clock::time_point deadline, COAuthToken& token,
                     std::string& error) = 0;
};

}  // namespace varnel
