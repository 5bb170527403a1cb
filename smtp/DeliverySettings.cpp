#include "smtp/DeliverySettings.h"

namespace varnel {
namespace {

// How much a TLS mode protects: 0 nothing, 1 TLS when the relay offers it, 2 TLS or no
// mail (STARTTLS required and implicit TLS alike).
int TlsStrength(std::int32_t mode) { return mode >= TlsMode::Required ? 2 : mode; }

}  // namespace

bool ReadDeliverySettings(ISettings* settings, CDeliverySettings& values, std::string& error, Status& status) {
  values.installation = CInstallationSettings();
  values.bRead = false;
  status = Status::Success;
  bool tlsFault = false;
  if (settings != nullptr && !ReadInstallationSettings(*settings, values.installation, error, &tlsFault)) {
    status = tlsFault ? Status::Tls : Status::Registry;
    return false;
  }
  values.bRead = true;
  return true;
}

std::int32_t DefaultTlsMode(int port, bool credentials) {
  if (port == 465) return TlsMode::Implicit;
  return credentials ? TlsMode::Opportunistic : TlsMode::Never;
}

std::int32_t ResolveTlsMode(std::int32_t given, int configured, int port, bool credentials, bool& raised) {
  raised = false;
  if (given < TlsMode::Never || given > TlsMode::Implicit) {
    return configured >= 0 ? configured : DefaultTlsMode(port, credentials);
  }
  // The setting is a floor: a call may ask for more protection, never for less.
  if (configured >= 0 && TlsStrength(given) < TlsStrength(configured)) {
    raised = true;
    return configured;
  }
  return given;
}

}  // namespace varnel
