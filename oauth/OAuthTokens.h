// Client-credentials tokens for a whole process: one cache shared by every call, filled
// through the token client, and the log line of each outcome. Takes the request as plain
// values (endpoint, client, scope, secret, CA file) and a time-out; the log shows the
// endpoint and the outcome, never the secret or the token. Failures are texts.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "oauth/OAuthTokenCache.h"
#include "oauth/OAuthTokenFetcher.h"
#include "platform/Platform.h"

namespace varnel {

using OAuthLogFunction = std::function<void(const std::string&)>;

// The endpoint as a log or message shows it: an https URL without its query, else only
// its scheme, as the rest could hold anything.
std::string OAuthEndpointName(const std::string& url);

// A token for request from the process-wide cache, asking the endpoint when there is no
// good one (or forceFresh). The whole wait, the request included, lasts at most timeout.
// False with error set ("invalid_client: AADSTS7000215: Invalid client secret provided",
// "cannot connect to the token endpoint: ...", ...) when no token came.
bool ObtainOAuthToken(const CPlatform& platform, const COAuthRequest& request, std::chrono::milliseconds timeout,
                      std::string& token, std::string& error, bool forceFresh, const OAuthLogFunction& log = {});

// A relay refused token (535): the next ObtainOAuthToken asks the endpoint again.
void InvalidateOAuthToken(const std::string& token);

// The cache shared by every call of the process.
COAuthTokenCache& ProcessOAuthTokenCache();

// From now on, tokens are also shared with the other processes of this account through
// files in folder (see CSharedTokenStore): the varnel command, one process per call, turns
// this on; the DLL keeps to its in-process cache. The folder is opened when a token is
// first needed. A non-empty fault (the folder's setting could not be read) fails every
// token request with that text instead: no request goes around the cache unannounced.
void ShareOAuthTokensThrough(const std::string& folder, const std::string& fault = {});

// The folder tokens are shared through; empty while they are kept in memory only.
std::string OAuthTokenSharingFolder();

}  // namespace varnel
