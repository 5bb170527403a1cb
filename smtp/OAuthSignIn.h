// Sign-in with an OAuth 2.0 access token that Varnel fetches itself (client credentials,
// RFC 6749 section 4.4) for the XOAUTH2 login: where the request's values come from
// (the call's @oauth* values, else the server-wide settings) and the process-wide token
// cache. The log shows the endpoint and the outcome, never the secret or the token.
// Failures are a false result with a text for ErrorMessage.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/Platform.h"
#include "oauth/OAuthTokenCache.h"
#include "oauth/OAuthTokenFetcher.h"

namespace varnel {

class CSMTPChannel;

using OAuthLogFunction = std::function<void(const std::string&)>;

enum class OAuthSetup {
  None,   // no token endpoint named: no OAuth sign-in
  Ready,  // request filled
  Failed  // error says why (a setting unreadable, no client id)
};

// The request of a channel: each of @oauthtokenurl, @oauthclientid, @oauthclientsecret and
// @oauthscope, when the call did not give it, comes from the setting OAuthTokenUrl,
// OAuthClientId, OAuthClientSecret or OAuthScope. The OAuthClientSecret setting is only
// ever sent to the OAuthTokenUrl endpoint, never to one the call names instead. The
// bind address is left empty (any); delivery may set the one its relay socket uses.
OAuthSetup ReadOAuthRequest(const CSMTPChannel& channel, COAuthRequest& request, std::string& error);

// A token for request from the process-wide cache, asking the endpoint when there is no
// good one (or forceFresh). The whole wait, the request included, lasts at most timeout.
// False with error set ("invalid_client: AADSTS7000215: Invalid client secret provided",
// "cannot connect to the token endpoint: ...", ...) when no token came.
bool ObtainOAuthToken(const CPlatform& platform, const COAuthRequest& request, std::chrono::milliseconds timeout,
                      std::string& token, std::string& error, bool forceFresh, const OAuthLogFunction& log = {});

// What delivery calls before it connects to the relay: the channel's request as
// ReadOAuthRequest reads it, then its token as ObtainOAuthToken gets it, bounded by the
// channel's time-out and logged in the channel's log. None: no endpoint named, no OAuth;
// Ready: token set; Failed: error set (the call ends with status 16).
OAuthSetup ObtainChannelOAuthToken(const CSMTPChannel& channel, bool forceFresh, std::string& token,
                                   std::string& error);

// A relay refused token (535): the next ObtainOAuthToken asks the endpoint again.
void InvalidateOAuthToken(const std::string& token);

// The cache shared by every call of the process.
COAuthTokenCache& ProcessOAuthTokenCache();

}  // namespace varnel
