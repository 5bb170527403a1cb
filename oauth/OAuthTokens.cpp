#include "oauth/OAuthTokens.h"

#include "oauth/OAuthTokenClient.h"
#include "oauth/OAuthTokenReply.h"

namespace varnel {

std::string OAuthEndpointName(const std::string& url) {
  CHttpsUrl parsed;
  std::string ignored;
  if (ParseHttpsUrl(url, parsed, ignored)) return parsed.LogName();
  // Not an https URL: only its scheme is shown, as the rest could hold anything.
  std::size_t scheme = url.find("://");
  return scheme == std::string::npos || scheme > 16 ? std::string("(not a URL)") : url.substr(0, scheme + 3) + "...";
}

COAuthTokenCache& ProcessOAuthTokenCache() {
  static COAuthTokenCache cache;
  return cache;
}

bool ObtainOAuthToken(const CPlatform& platform, const COAuthRequest& request, std::chrono::milliseconds timeout,
                      std::string& token, std::string& error, bool forceFresh, const OAuthLogFunction& log) {
  std::string endpoint = OAuthEndpointName(request.strTokenUrl);
  auto deadline = std::chrono::steady_clock::now() + (timeout.count() > 0 ? timeout : std::chrono::milliseconds(0));
  COAuthTokenClient client(platform);
  COAuthTokenCache::Source source = COAuthTokenCache::Source::Request;
  token.clear();
  bool obtained = ProcessOAuthTokenCache().Obtain(request, client, deadline, forceFresh, token, error, &source);
  if (log) {
    const char* how = source == COAuthTokenCache::Source::Cache           ? "cached token"
                      : source == COAuthTokenCache::Source::SharedRequest ? "token from another call's request"
                                                                          : "token requested";
    if (obtained) {
      log(std::string("OAuth ") + how + " from " + endpoint + (request.strScope.empty() ? "" : " for scope " + PrintablePeerText(request.strScope, 200)));
    } else {
      log("OAuth token from " + endpoint + " could not be obtained: " + error);
    }
  }
  return obtained;
}

void InvalidateOAuthToken(const std::string& token) { ProcessOAuthTokenCache().Invalidate(token); }

}  // namespace varnel
