// The channel's side of the XOAUTH2 sign-in with a token that Varnel fetches itself
// (client credentials, RFC 6749 section 4.4): the request's values from the call's
// @oauth* values, else the server-wide settings, handed to oauth/ as plain values, and
// the token source the dialogue asks again when the relay refuses a token. Failures are
// a false result (or OAuthSetup::Failed) with a text for ErrorMessage.
#pragma once

#include <string>

#include "oauth/AccessTokenSource.h"
#include "oauth/OAuthTokenFetcher.h"

namespace varnel {

class CSMTPChannel;

enum class OAuthSetup {
  None,   // no token endpoint named: no OAuth sign-in
  Ready,  // request filled
  Failed  // error says why (a setting unreadable, no client id)
};

// The request of a channel: each of @oauthtokenurl, @oauthclientid, @oauthclientsecret and
// @oauthscope, when the call did not give it, comes from the setting OAuthTokenUrl,
// OAuthClientId, OAuthClientSecret or OAuthScope. The OAuthClientSecret setting is only
// ever sent to the OAuthTokenUrl endpoint, never to one the call names instead. The
// endpoint's certificate is checked with the TlsCaFile setting as the relay's is. The
// bind address is left empty (any); delivery may set the one its relay socket uses.
OAuthSetup ReadOAuthRequest(const CSMTPChannel& channel, COAuthRequest& request, std::string& error);

// What delivery calls before it connects to the relay: the channel's request as
// ReadOAuthRequest reads it, then its token from the process-wide cache (ObtainOAuthToken),
// bounded by the channel's time-out and logged in the channel's log. None: no endpoint
// named, no OAuth; Ready: token set; Failed: error set (the call ends with status 16).
OAuthSetup ObtainChannelOAuthToken(const CSMTPChannel& channel, bool forceFresh, std::string& token,
                                   std::string& error);

// The token the channel signs in with; a fresh one replaces it in the channel, the
// refused one no longer handed out by the cache, so that a later relay of the same call
// is offered the fresh one too.
class CChannelTokenSource final : public IAccessTokenSource {
 public:
  explicit CChannelTokenSource(CSMTPChannel& channel) : m_channel(channel) {}

  bool Get(bool fresh, std::string& token) override;

 private:
  CSMTPChannel& m_channel;
};

}  // namespace varnel
