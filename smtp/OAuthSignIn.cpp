#include "smtp/OAuthSignIn.h"

#include "oauth/OAuthTokenClient.h"
#include "oauth/OAuthTokenReply.h"
#include "smtp/SMTPChannel.h"

namespace varnel {
namespace {

// A parameter's value, else the setting's.
std::string Effective(const std::string& given, const std::string& setting) { return given.empty() ? setting : given; }

std::string EndpointName(const std::string& url) {
  CHttpsUrl parsed;
  std::string ignored;
  if (ParseHttpsUrl(url, parsed, ignored)) return parsed.LogName();
  // Not an https URL: only its scheme is shown, as the rest could hold anything.
  std::size_t scheme = url.find("://");
  return scheme == std::string::npos || scheme > 16 ? std::string("(not a URL)") : url.substr(0, scheme + 3) + "...";
}

}  // namespace

COAuthTokenCache& ProcessOAuthTokenCache() {
  static COAuthTokenCache cache;
  return cache;
}

OAuthSetup ReadOAuthRequest(const CSMTPChannel& channel, COAuthRequest& request, std::string& error) {
  request = COAuthRequest();
  const CInstallationSettings* settings = channel.InstallationValues(error);
  if (settings == nullptr) return OAuthSetup::Failed;
  request.strTokenUrl = Effective(channel.m_strOAuthTokenUrl, settings->strOAuthTokenUrl);
  if (request.strTokenUrl.empty()) return OAuthSetup::None;
  request.strClientId = Effective(channel.m_strOAuthClientId, settings->strOAuthClientId);
  request.strScope = Effective(channel.m_strOAuthScope, settings->strOAuthScope);
  request.strClientSecret = channel.m_strOAuthClientSecret;
  // The server's secret goes only where the server's setting points: a call that names
  // its own endpoint must bring its own secret.
  if (request.strClientSecret.empty() && settings->strOAuthTokenUrl == request.strTokenUrl) {
    request.strClientSecret = settings->strOAuthClientSecret;
  }
  if (request.strClientId.empty()) {
    error = "no OAuth client id (@oauthclientid or the OAuthClientId setting)";
    return OAuthSetup::Failed;
  }
  if (request.strClientSecret.empty()) {
    error = "no OAuth client secret for " + EndpointName(request.strTokenUrl) +
            " (@oauthclientsecret, or the OAuthClientSecret setting with its OAuthTokenUrl)";
    return OAuthSetup::Failed;
  }
  return OAuthSetup::Ready;
}

bool ObtainOAuthToken(const CPlatform& platform, const COAuthRequest& request, std::chrono::milliseconds timeout,
                      std::string& token, std::string& error, bool forceFresh, const OAuthLogFunction& log) {
  std::string endpoint = EndpointName(request.strTokenUrl);
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

OAuthSetup ObtainChannelOAuthToken(const CSMTPChannel& channel, bool forceFresh, std::string& token,
                                   std::string& error) {
  COAuthRequest request;
  OAuthSetup setup = ReadOAuthRequest(channel, request, error);
  if (setup == OAuthSetup::Failed) channel.WriteLog("OAuth sign-in not possible: " + error);
  if (setup != OAuthSetup::Ready) return setup;
  auto log = [&channel](const std::string& line) { channel.WriteLog(line); };
  if (!ObtainOAuthToken(channel.Platform(), request, std::chrono::milliseconds(channel.m_nTimeout), token, error,
                        forceFresh, log)) {
    return OAuthSetup::Failed;
  }
  return OAuthSetup::Ready;
}

void InvalidateOAuthToken(const std::string& token) { ProcessOAuthTokenCache().Invalidate(token); }

}  // namespace varnel
