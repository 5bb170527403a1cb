// The relay profile of one call: the one @profile names, else the profile "default" when
// the store holds one. Its values fill what the call left out; a locked profile refuses a
// call that names another relay, port or credentials, or weaker TLS.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/ProfileStore.h"
#include "procedure/XpParameters.h"
#include "smtp/RelayProfile.h"
#include "smtp/SMTPChannel.h"

namespace varnel {

struct CCallProfile {
  std::optional<CRelayProfile> profile;  // none: the call stands on its own parameters
  // Non-empty: the profile cannot be used and the call ends with nStatus, nothing sent.
  std::string strError;
  Status nStatus = Status::Success;
  // The call names a relay or port the profile does not hold: the profile's password and
  // OAuth client are not used for it.
  bool bOwnRelay = false;
};

// Whether @address or @smtpport name a relay that is not one of the profile's.
bool NamesRelayOutsideProfile(const CRelayProfile& profile, const CXpParameters& parameters);

// A name a call may give in @profile: letters, digits, "-", "_" and ".", at most 64.
bool IsProfileName(const std::string& name);
// Looks the call's profile up (store may be null: no profiles).
CCallProfile FindCallProfile(IProfileStore* store, const CXpParameters& parameters);
// Whether the call has a sender and a relay, of its own or from its profile (or the
// profile's fault will answer it).
bool HasMinimumParameters(const CXpParameters& parameters, const CCallProfile& profile);
// Why a locked profile refuses the call; empty when it does not.
std::string LockedProfileRefusal(const CRelayProfile& profile, const CXpParameters& parameters);
// Why the call's @tls or @tlsverify gives less protection than the profile's TLS; empty
// when it does not.
std::string TlsLoweredByCall(const CRelayProfile& profile, const CXpParameters& parameters);
// After the channel holds the call's parameters: the relay list of @address, then the
// profile's values where the call gave none and its secrets where they are used. False,
// with the channel's status and m_strErrorDetail set, when the call must end unsent.
bool ApplyCallProfile(const CCallProfile& profile, const CXpParameters& parameters, CSMTPChannel& channel);

}  // namespace varnel
