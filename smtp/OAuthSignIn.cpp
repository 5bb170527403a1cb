#include "smtp/OAuthSignIn.h"

#include <chrono>

#include "oauth/OAuthTokens.h"
#include "platform/AsciiCase.h"
#include "smtp/RelayProfile.h"
#include "smtp/SMTPChannel.h"

namespace varnel {
namespace {

// A parameter's value, else the setting's.
std::string Effective(const std::string& given, const std::string& setting) { return given.empty() ? setting : given; }

// The first of the call's relays that the OAuthRelays setting does not name ("host:port"),
// or empty when it names them all. An entry without a port names the host on any port.
std::string RelayOutsideSetting(const CSMTPChannel& channel, const std::string& setting) {
  std::vector<CRelay> allowed;
  for (const CRelay& entry : SplitRelayList(setting)) {
    CRelay relay;
    if (ParseRelayEntry(entry.strHost, true, relay)) allowed.push_back(relay);
  }
  for (const CRelay& relay : channel.m_arrRelays) {
    std::int32_t port = relay.nPort > 0 ? relay.nPort : channel.m_nPort;
    bool named = false;
    for (const CRelay& entry : allowed) {
      if (AsciiLower(entry.strHost) == AsciiLower(relay.strHost) && (entry.nPort == 0 || entry.nPort == port)) {
        named = true;
        break;
      }
    }
    if (!named) return relay.strHost + ":" + std::to_string(port);
  }
  return {};
}

}  // namespace

OAuthSetup ReadOAuthRequest(const CSMTPChannel& channel, COAuthRequest& request, std::string& error) {
  request = COAuthRequest();
  const CDeliverySettings& given = channel.m_settings;
  // Delivery has read the settings before its worker started; a channel that has not
  // been through it has them read now.
  CDeliverySettings read;
  if (!given.bRead) {
    Status status = Status::Success;
    if (!ReadDeliverySettings(channel.Platform().pSettings, read, error, status)) return OAuthSetup::Failed;
  }
  const CInstallationSettings* settings = given.bRead ? &given.installation : &read.installation;
  request.strTokenUrl = Effective(given.strOAuthTokenUrl, settings->strOAuthTokenUrl);
  if (request.strTokenUrl.empty()) return OAuthSetup::None;
  request.strClientId = Effective(given.strOAuthClientId, settings->strOAuthClientId);
  request.strScope = Effective(given.strOAuthScope, settings->strOAuthScope);
  request.strClientSecret = given.strOAuthClientSecret;
  request.strCaFile = settings->strTlsCaFile;
  // The server's secret goes only where the server's setting points: a call that names
  // its own endpoint must bring its own secret.
  if (request.strClientSecret.empty() && settings->strOAuthTokenUrl == request.strTokenUrl) {
    request.strClientSecret = settings->strOAuthClientSecret;
    // Nor does it ask for more than the server's scope: a token for another resource
    // (a mail store, a directory) would give the caller what the server's client may do
    // there, and the token goes to the relay the call names.
    if (!request.strClientSecret.empty() && request.strScope != settings->strOAuthScope) {
      error = "@oauthscope cannot choose the scope of a token asked for with the OAuthClientSecret setting (it "
              "asks for the OAuthScope setting's scope only); a call that brings its own secret may";
      return OAuthSetup::Failed;
    }
    // The token stands for the server's client: it goes only to relays the server named,
    // never to one the call chose.
    std::string outside = request.strClientSecret.empty() ? std::string()
                                                           : RelayOutsideSetting(channel, settings->strOAuthRelays);
    if (!outside.empty()) {
      error = "a token asked for with the OAuthClientSecret setting goes only to the relays the OAuthRelays setting "
              "names, and " + outside + (settings->strOAuthRelays.empty() ? " is not named (the setting is not set)"
                                                                         : " is not among them") +
              "; a call that brings its own secret, or a relay profile with its own client, may name others";
      return OAuthSetup::Failed;
    }
  }
  if (request.strClientId.empty()) {
    error = "no OAuth client id (@oauthclientid or the OAuthClientId setting)";
    return OAuthSetup::Failed;
  }
  if (request.strClientSecret.empty()) {
    error = "no OAuth client secret for " + OAuthEndpointName(request.strTokenUrl) +
            " (@oauthclientsecret, or the OAuthClientSecret setting with its OAuthTokenUrl)";
    return OAuthSetup::Failed;
  }
  return OAuthSetup::Ready;
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

bool CChannelTokenSource::Get(bool fresh, std::string& token) {
  if (!fresh) {
    token = m_channel.m_strSMTPOAuthToken;
    return !token.empty();
  }
  InvalidateOAuthToken(m_channel.m_strSMTPOAuthToken);
  std::string error;
  if (ObtainChannelOAuthToken(m_channel, true, token, error) != OAuthSetup::Ready) return false;
  m_channel.m_strSMTPOAuthToken = token;
  return true;
}

}  // namespace varnel
