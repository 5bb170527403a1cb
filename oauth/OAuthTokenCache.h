// Access tokens kept in memory per (endpoint, client, scope, secret), shared by every call
// of the process. A token is handed out until 5 minutes before it expires; calls that find
// none while another call is asking the endpoint wait for that one request instead of
// making their own, each no longer than its own deadline. Failures are texts, not throws.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "oauth/OAuthTokenFetcher.h"

namespace varnel {

class COAuthTokenCache {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // A token is renewed this long before its end, so that it cannot expire during a send.
  static constexpr std::chrono::minutes kRenewalMargin{5};
  // Distinct (endpoint, client, scope, secret) entries kept at most; unused ones beyond go.
  static constexpr std::size_t kMaxEntries = 64;

  enum class Source { Cache, Request, SharedRequest };

  explicit COAuthTokenCache(Clock clock = &std::chrono::steady_clock::now);

  // A token for request: a cached one that is still good (unless forceFresh), the result
  // of a request another call is making, or one requested through fetcher now. source
  // says which. False with error set when no token came by deadline.
  bool Obtain(const COAuthRequest& request, IOAuthTokenFetcher& fetcher, std::chrono::steady_clock::time_point deadline,
              bool forceFresh, std::string& token, std::string& error, Source* source = nullptr);
  // A relay refused token: it is no longer handed out, so the next Obtain asks the endpoint.
  void Invalidate(const std::string& token);

 private:
  struct CEntry {
    std::string strToken;
    bool bCacheable = false;
    std::chrono::steady_clock::time_point expiresAt{};
    bool bFetching = false;
    std::uint64_t nGeneration = 0;  // counts finished requests
    bool bLastSucceeded = false;
    std::string strLastToken;
    std::string strLastError;
  };

  bool Usable(const CEntry& entry, std::chrono::steady_clock::time_point now) const;
  void TrimLocked(std::chrono::steady_clock::time_point now);

  Clock m_clock;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::map<std::string, std::shared_ptr<CEntry>> m_mapEntries;
};

}  // namespace varnel
