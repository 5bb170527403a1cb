#include "procedure/CallProfile.h"

#include "platform/AsciiCase.h"

namespace varnel {
namespace {

// How much a TLS mode protects: 0 nothing, 1 TLS when offered, 2 TLS or no mail.
int TlsStrength(std::int32_t mode) { return mode >= TlsMode::Required ? 2 : mode; }

bool SameRelay(const CRelay& given, const CRelay& held, std::int32_t heldDefaultPort, std::int32_t givenDefaultPort) {
  std::int32_t givenPort = given.nPort > 0 ? given.nPort : givenDefaultPort;
  std::int32_t heldPort = held.nPort > 0 ? held.nPort : heldDefaultPort;
  return AsciiLower(given.strHost) == AsciiLower(held.strHost) && givenPort == heldPort;
}

// Whether a call's @smtpport, given without @address, leaves every relay of the profile
// where it is: it replaces their ports, so each must already be on that port.
bool PortOfEveryRelay(const CRelayProfile& profile, std::int32_t port) {
  const std::int32_t heldPort = profile.nPort > 0 ? profile.nPort : 25;
  if (profile.arrRelays.empty()) return port == heldPort;
  for (const CRelay& relay : profile.arrRelays) {
    if ((relay.nPort > 0 ? relay.nPort : heldPort) != port) return false;
  }
  return true;
}

}  // namespace

bool NamesRelayOutsideProfile(const CRelayProfile& profile, const CXpParameters& p) {
  const std::int32_t heldPort = profile.nPort > 0 ? profile.nPort : 25;
  if (!p.m_strAddress) return p.m_nSMTPPort > 0 && !PortOfEveryRelay(profile, p.m_nSMTPPort);
  const std::int32_t givenPort = p.m_nSMTPPort > 0 ? p.m_nSMTPPort : heldPort;
  for (const CRelay& given : ParseRelayList(*p.m_strAddress)) {
    bool held = false;
    for (const CRelay& relay : profile.arrRelays) held = held || SameRelay(given, relay, heldPort, givenPort);
    if (!held) return true;
  }
  return false;
}

bool IsProfileName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letter && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

CCallProfile FindCallProfile(IProfileStore* store, const CXpParameters& parameters) {
  CCallProfile call;
  const bool named = parameters.m_strProfile.has_value();
  const std::string name = named ? *parameters.m_strProfile : std::string("default");
  auto fail = [&call](Status status, std::string text) {
    call.nStatus = status;
    call.strError = std::move(text);
    return call;
  };
  if (named && !IsProfileName(name)) {
    std::string shown;
    for (char c : name.substr(0, 64)) shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    return fail(Status::Registry, "@profile '" + shown + "' is not a profile name (letters, digits, '-', '_', '.')");
  }
  if (store == nullptr) {
    return named ? fail(Status::Registry, "no profile '" + name + "': this installation keeps no profiles") : call;
  }
  CStoredProfile stored;
  std::string error;
  switch (store->Read(name, stored, error)) {
    case SettingState::Missing:
      if (named) return fail(Status::Registry, "no profile '" + name + "' in " + store->Origin());
      return call;
    case SettingState::Error:
      return fail(Status::Registry, error);
    case SettingState::Found:
      break;
  }
  CRelayProfile profile;
  bool tlsFault = false;
  if (!ParseRelayProfile(stored, profile, error, &tlsFault)) return fail(tlsFault ? Status::Tls : Status::Registry, error);
  call.bOwnRelay = NamesRelayOutsideProfile(profile, parameters);
  call.profile = std::move(profile);
  return call;
}

bool HasMinimumParameters(const CXpParameters& parameters, const CCallProfile& call) {
  if (!call.strError.empty()) return true;
  bool from = parameters.m_strFrom.has_value() || (call.profile && !call.profile->strFrom.empty());
  bool address = parameters.m_strAddress.has_value() || (call.profile && !call.profile->arrRelays.empty());
  return from && address;
}

std::string LockedProfileRefusal(const CRelayProfile& profile, const CXpParameters& p) {
  if (!profile.bLocked) return {};
  const std::string locked = "the " + profile.Describe() + " is locked: ";
  const std::int32_t heldPort = profile.nPort > 0 ? profile.nPort : 25;
  if (p.m_nSMTPPort > 0 && (p.m_strAddress ? p.m_nSMTPPort != heldPort : !PortOfEveryRelay(profile, p.m_nSMTPPort))) {
    return locked + "@smtpport " + std::to_string(p.m_nSMTPPort) + " is not its port";
  }
  if (NamesRelayOutsideProfile(profile, p)) return locked + "@address names a relay it does not hold";
  struct {
    const std::optional<std::string>& value;
    const char* pName;
  } const credentials[] = {{p.m_strSMTPUsername, "@smtpusername"},     {p.m_strSMTPPassword, "@smtppassword"},
                           {p.m_strSMTPOAuthToken, "@smtpoauthtoken"}, {p.m_strOAuthTokenUrl, "@oauthtokenurl"},
                           {p.m_strOAuthClientId, "@oauthclientid"},   {p.m_strOAuthClientSecret, "@oauthclientsecret"},
                           {p.m_strOAuthScope, "@oauthscope"}};
  for (const auto& credential : credentials) {
    if (credential.value) return locked + std::string(credential.pName) + " cannot replace its credentials";
  }
  std::string lowered = TlsLoweredByCall(profile, p);
  return lowered.empty() ? lowered : locked + lowered;
}

std::string TlsLoweredByCall(const CRelayProfile& profile, const CXpParameters& p) {
  if (p.m_bTlsNamed && p.m_nTls >= TlsMode::Never && p.m_nTls <= TlsMode::Implicit) {
    bool weaker = profile.nTlsMode >= 0 ? TlsStrength(p.m_nTls) < TlsStrength(profile.nTlsMode)
                                        : p.m_nTls == TlsMode::Never && !profile.strUsername.empty();
    if (weaker) return "@tls=" + std::to_string(p.m_nTls) + " is weaker than its TLS mode";
  }
  if (p.m_bTlsVerifyNamed && p.m_nTlsVerify == 0) return "@tlsverify=0 would not check the relay's certificate";
  return {};
}

bool ApplyCallProfile(const CCallProfile& call, const CXpParameters& p, CSMTPChannel& channel) {
  auto refuse = [&channel](Status status, const std::string& text) {
    channel.WriteLog("Profile refused: " + text);
    channel.m_nStatus = status;
    channel.m_strErrorDetail = text;
    return false;
  };
  if (!call.strError.empty()) return refuse(call.nStatus, call.strError);
  // Entries of @address may carry their port ("relay:587").
  if (p.m_strAddress) channel.m_arrRelays = ParseRelayList(*p.m_strAddress);
  if (!call.profile) return true;
  const CRelayProfile& profile = *call.profile;
  if (std::string refusal = LockedProfileRefusal(profile, p); !refusal.empty()) return refuse(Status::Registry, refusal);
  channel.WriteLog("Profile " + profile.strName);

  if (!p.m_strAddress && !profile.arrRelays.empty()) {
    channel.m_arrRelays = profile.arrRelays;
    channel.m_strAddress = profile.arrRelays.front().strHost;
    // A port of the call's own replaces the ports the profile gives.
    if (p.m_nSMTPPort > 0) {
      for (CRelay& relay : channel.m_arrRelays) relay.nPort = 0;
    }
  }
  if (p.m_nSMTPPort <= 0 && profile.nPort > 0) channel.m_nPort = profile.nPort;
  if (p.m_nTimeout == 0 && profile.nTimeout > 0) channel.m_nTimeout = profile.nTimeout * 1000;
  bool tlsGiven = p.m_bTlsNamed && p.m_nTls >= TlsMode::Never && p.m_nTls <= TlsMode::Implicit;
  if (!tlsGiven && profile.nTlsMode >= 0) channel.m_nTlsMode = profile.nTlsMode;
  if (!p.m_strFrom && !profile.strFrom.empty()) channel.m_strFrom = profile.strFrom;
  if (!p.m_bPartialRecipientsNamed && profile.nPartialRecipients >= 0) {
    channel.m_bPartialRecipients = profile.nPartialRecipients == 1;
  }
  // The profile's credentials go as a whole, unless the call brings its own, and only to
  // the profile's own relays: a caller cannot point them at a relay of its choosing.
  bool ownCredentials = p.m_strSMTPUsername || p.m_strSMTPPassword || p.m_strSMTPOAuthToken;
  if (!ownCredentials && call.bOwnRelay && (!profile.strUsername.empty() || !profile.strOAuthTokenUrl.empty())) {
    channel.WriteLog("The profile's credentials go only to its own relays: the call names another, and signs in "
                     "with none of them");
  }
  if (!ownCredentials && !call.bOwnRelay && !profile.strUsername.empty()) {
    // Nor do they go with less protection than the profile gives them: without TLS, or to
    // a relay whose certificate is not checked, they would reach whoever sits in between.
    if (std::string lowered = TlsLoweredByCall(profile, p); !lowered.empty()) {
      return refuse(Status::Registry, "the " + profile.Describe() + " signs in only with its own TLS: " + lowered +
                                          " (a call that brings its own credentials may lower it)");
    }
    channel.m_strSMTPUsername = profile.strUsername;
    channel.m_bAuthenticate = true;
    if (profile.HasPassword()) {
      std::string password;
      std::string error;
      auto limit = std::chrono::milliseconds(channel.m_nTimeout > 0 ? channel.m_nTimeout : 30000);
      if (!ReadProfilePassword(profile, limit, password, error)) return refuse(Status::Registry, error);
      channel.m_strSMTPPassword = std::move(password);
    }
  }
  return true;
}

}  // namespace varnel
