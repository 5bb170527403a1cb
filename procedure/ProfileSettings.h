// The installation's settings as a call with a relay profile sees them: the profile's
// greeting name, CA file, OAuth client and retry limits stand in for the settings of the
// same meaning, checked by the same rules and named by the profile's key in messages.
// Every other setting passes through.
#pragma once

#include <string>

#include "platform/Settings.h"
#include "smtp/RelayProfile.h"

namespace varnel {

class CProfileSettings final : public ISettings {
 public:
  // ownRelay: the call names a relay of its own, to which the profile's OAuth client (and
  // the installation's) gives no token.
  CProfileSettings(ISettings& settings, const CRelayProfile& profile, bool ownRelay = false)
      : m_pSettings(&settings), m_profile(profile), m_bOwnRelay(ownRelay) {}

  SettingState BindIP(std::string& value) override { return m_pSettings->BindIP(value); }
  std::string OdbcDriver() override { return m_pSettings->OdbcDriver(); }
  std::string OdbcAttributes() override { return m_pSettings->OdbcAttributes(); }
  int AnsiCodePage() override { return m_pSettings->AnsiCodePage(); }
  SettingState Value(const char* name, const char* variable, std::string& value) override;
  std::string Origin(const char* name, const char* variable) override;
  SettingState SecretValue(const char* name, const char* variable, std::string& value, std::string& reason) override;

 private:
  // The profile's key for a setting; null where the setting is not the profile's to give.
  const char* ProfileKey(const std::string& name) const;

  ISettings* m_pSettings;
  CRelayProfile m_profile;
  bool m_bOwnRelay;
};

}  // namespace varnel
