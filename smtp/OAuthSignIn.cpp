#include "smtp/OAuthSignIn.h"

#include "platform/Settings.h"
#include "smtp/OAuthTokenClient.h"
#include "smtp/OAuthTokenReply.h"
#include "smtp/SMTPChannel.h"

namespace varnel {
namespace {

// A parameter's value, else the setting's (ending at its first NUL, as BindIP's does).
bool Effective(const std::string& given, ISettings* settings, const char* name, const char* variable,
               std::string& value, std::string& error) {
  if (!given.empty()) {
    value = given;
    return true;
  }
  value.clear();
  if (settings == nullptr) return true;
  std::string stored;
  SettingState state = settings->Value(name, variable, stored);
  if (state == SettingState::Error) {
    error = std::string("the ") + name + " setting cannot be read";
    return false;
  }
  if (state == SettingState::Found) {
    std::size_t nul = stored.find('\0');
    if (nul != std::string::npos) stored.resize(nul);
    value = stored;
  }
  return true;
}

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
  ISettings* settings = channel.Platform().pSettings;
  std::string settingUrl;
  if (!Effective(channel.m_strOAuthTokenUrl, settings, "OAuthTokenUrl", "VARNEL_OAUTH_TOKEN_URL", request.strTokenUrl,
                 error)) {
    return OAuthSetup::Failed;
  }
  if (request.strTokenUrl.empty()) return OAuthSetup::None;
  if (!Effective(channel.m_strOAuthClientId, settings, "OAuthClientId", "VARNEL_OAUTH_CLIENT_ID", request.strClientId,
                 error) ||
      !Effective(channel.m_strOAuthScope, settings, "OAuthScope", "VARNEL_OAUTH_SCOPE", request.strScope, error)) {
    return OAuthSetup::Failed;
  }
  request.strClientSecret = channel.m_strOAuthClientSecret;
  if (request.strClientSecret.empty()) {
    // The server's secret goes only where the server's setting points: a call that names
    // its own endpoint must bring its own secret.
    if (!Effective({}, settings, "OAuthTokenUrl", "VARNEL_OAUTH_TOKEN_URL", settingUrl, error) ||
        (settingUrl == request.strTokenUrl &&
         !Effective({}, settings, "OAuthClientSecret", "VARNEL_OAUTH_CLIENT_SECRET", request.strClientSecret, error))) {
      return OAuthSetup::Failed;
    }
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
