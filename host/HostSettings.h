// The installation settings as the host command sees them: those of this machine, with the
// ODBC driver and attributes replaced when the command line names them.
#pragma once

#include <optional>
#include <string>

#include "platform/Settings.h"

namespace varnel::host {

class CHostSettings final : public ISettings {
 public:
  CHostSettings(ISettings& base, std::optional<std::string> odbcDriver, std::optional<std::string> odbcAttributes,
                int codePage = 1252)
      : m_pBase(&base),
        m_strOdbcDriver(std::move(odbcDriver)),
        m_strOdbcAttributes(std::move(odbcAttributes)),
        m_nCodePage(codePage) {}

  SettingState BindIP(std::string& value) override { return m_pBase->BindIP(value); }
  SettingState Value(const char* name, const char* variable, std::string& value) override {
    return m_pBase->Value(name, variable, value);
  }
  std::string Origin(const char* name, const char* variable) override { return m_pBase->Origin(name, variable); }
  SettingState SecretValue(const char* name, const char* variable, std::string& value, std::string& reason) override {
    return m_pBase->SecretValue(name, variable, value, reason);
  }
  std::string OdbcDriver() override { return m_strOdbcDriver ? *m_strOdbcDriver : m_pBase->OdbcDriver(); }
  std::string OdbcAttributes() override {
    return m_strOdbcAttributes ? *m_strOdbcAttributes : m_pBase->OdbcAttributes();
  }
  // The connection's code page is the one the command's strings are in.
  int AnsiCodePage() override { return m_nCodePage; }

 private:
  ISettings* m_pBase;
  std::optional<std::string> m_strOdbcDriver;
  std::optional<std::string> m_strOdbcAttributes;
  int m_nCodePage;
};

}  // namespace varnel::host
