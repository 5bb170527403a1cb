// What one send uses beyond the job record: the installation's settings, read once before
// the delivery worker starts (a setting at fault ends the call before anything is sent),
// the call's own OAuth client values, and what the call and the settings decide together.
// Nothing below the channel reads a setting of its own.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Settings.h"
#include "smtp/ChannelStatus.h"
#include "smtp/InstallationSettings.h"

namespace varnel {

// How the connection to the relay is secured.
namespace TlsMode {
inline constexpr int Never = 0;         // the plain dialogue
inline constexpr int Opportunistic = 1; // STARTTLS when the relay offers it
inline constexpr int Required = 2;      // STARTTLS or no mail
inline constexpr int Implicit = 3;      // TLS from the first byte (RFC 8314)
}  // namespace TlsMode

struct CDeliverySettings {
  // As read by ReadDeliverySettings; default (nothing set) until then.
  CInstallationSettings installation;
  bool bRead = false;
  // The call's OAuth 2.0 client credentials (@oauth*); empty ones come from the settings.
  std::string strOAuthTokenUrl;
  std::string strOAuthClientId;
  std::string strOAuthClientSecret;
  std::string strOAuthScope;
  // Credentials and tokens may go over a connection without TLS: the call gave @tls=0, or
  // the AllowPlainSignIn setting is 1 (decided with the TLS mode).
  bool bPlainSignInAllowed = false;
  // The name this send greeted the relay with (EHLO/HELO argument), once connected.
  std::string strHeloName;
};

// Reads the installation's settings into values.installation (none when settings is null);
// false with `error` naming the setting at fault and `status` the call's status: 15 for a
// TLS setting, else 7.
bool ReadDeliverySettings(ISettings* settings, CDeliverySettings& values, std::string& error, Status& status);

// The TLS mode when neither the call nor the settings give one: implicit TLS on port 465,
// STARTTLS when offered if credentials are sent, else none.
std::int32_t DefaultTlsMode(int port, bool credentials);

// The TLS mode of a send: the call's (`given`, -1: none), raised to the TlsMode setting
// (`configured`, -1: none) where that asks for more; when the call gave none the
// setting's, else DefaultTlsMode. `raised`: the call's mode was below the setting's.
std::int32_t ResolveTlsMode(std::int32_t given, int configured, int port, bool credentials, bool& raised);

}  // namespace varnel
