// The installation's settings as the query runner of a message sees them: the same
// values, but the procedure's strings are in the code page of the message's text (UTF-8,
// an ISO-8859 part), so the database client hands over result values in it, every
// character kept that it can hold. Reports nothing; every other setting passes through.
#pragma once

#include <string>

#include "platform/Settings.h"

namespace varnel {

class CCodePageSettings final : public ISettings {
 public:
  CCodePageSettings(ISettings& settings, int codePage) : m_pSettings(&settings), m_nCodePage(codePage) {}

  SettingState BindIP(std::string& value) override { return m_pSettings->BindIP(value); }
  std::string OdbcDriver() override { return m_pSettings->OdbcDriver(); }
  std::string OdbcAttributes() override { return m_pSettings->OdbcAttributes(); }
  int AnsiCodePage() override { return m_nCodePage; }
  SettingState Value(const char* name, const char* variable, std::string& value) override {
    return m_pSettings->Value(name, variable, value);
  }
  std::string Origin(const char* name, const char* variable) override { return m_pSettings->Origin(name, variable); }
  SettingState SecretValue(const char* name, const char* variable, std::string& value, std::string& reason) override {
    return m_pSettings->SecretValue(name, variable, value, reason);
  }

 private:
  ISettings* m_pSettings;
  int m_nCodePage;
};

}  // namespace varnel
