#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/Settings.h"
#include "procedure/SendLogLine.h"

using varnel::CCallReport;

namespace {

class CSyslogSetting final : public varnel::ISettings {
 public:
  CSyslogSetting(varnel::SettingState state, std::string value) : m_state(state), m_strValue(std::move(value)) {}
  varnel::SettingState BindIP(std::string&) override { return varnel::SettingState::Missing; }
  varnel::SettingState Value(const char* name, const char* variable, std::string& value) override {
    if (std::string(name) != "Syslog" || std::string(variable) != "VARNEL_SYSLOG") return varnel::SettingState::Missing;
    value = m_strValue;
    return m_state;
  }
  std::string OdbcDriver() override { return {}; }
  std::string OdbcAttributes() override { return {}; }

 private:
  varnel::SettingState m_state;
  std::string m_strValue;
};

}  // namespace

TEST(SendLogLineTest, OneLineWithTheFactsOfTheSend) {
  CCallReport accepted;
  accepted.bAccepted = true;
  accepted.strSender = "sqlserver@example.com";
  accepted.nRecipients = 3;
  accepted.strRelayHost = "smtp.example.com";
  accepted.nRelayPort = 587;
  accepted.bRelayConnected = true;
  accepted.strTlsVersion = "TLSv1.3";
  accepted.strTlsCipher = "TLS_AES_256_GCM_SHA384";
  accepted.strMessageId = "<a.b@example.com>";
  accepted.nSize = 1234;
  accepted.nMilliseconds = 87;

  CCallReport refused;
  refused.nStatus = 6;
  refused.strSender = "odd \"name\"\r\n@example.com";
  refused.nRecipients = 1;
  refused.strRelayHost = "127.0.0.1";
  refused.nRelayPort = 25;
  refused.bRelayConnected = true;

  CCallReport unreachable;
  unreachable.nStatus = 3;
  unreachable.strRelayHost = "relay.invalid";
  unreachable.nRelayPort = 25;

  CCallReport noQuery;
  noQuery.nStatus = -1;

  struct Case {
    const CCallReport* pReport;
    std::string strLine;
  };
  const std::vector<Case> cases = {
      {&accepted,
       "from=sqlserver@example.com recipients=3 relay=smtp.example.com:587 tls=TLSv1.3 cipher=TLS_AES_256_GCM_SHA384 "
       "size=1234 duration=87ms status=0 outcome=accepted messageid=<a.b@example.com>"},
      {&refused,
       "from=\"odd \\\"name\\\"??@example.com\" recipients=1 relay=127.0.0.1:25 tls=none size=0 duration=0ms status=6 "
       "outcome=\"Destination returned error : See log\""},
      {&unreachable,
       "from=\"\" recipients=0 relay=relay.invalid:25 connected=no tls=none size=0 duration=0ms status=3 "
       "outcome=\"Unable to Connect to SMTP Server\""},
      {&noQuery,
       "from=\"\" recipients=0 relay=none tls=none size=0 duration=0ms status=-1 outcome=\"query could not connect\""},
  };
  for (const Case& c : cases) EXPECT_EQ(varnel::FormatSendLogLine(*c.pReport), c.strLine);
}

TEST(SendLogLineTest, SyslogSettingTurnsItOn) {
  struct Case {
    varnel::SettingState eState;
    const char* pValue;
    bool bWanted;
  };
  const std::vector<Case> cases = {
      {varnel::SettingState::Missing, "", false}, {varnel::SettingState::Found, "", false},
      {varnel::SettingState::Found, "0", false},  {varnel::SettingState::Found, "1", true},
      {varnel::SettingState::Found, "yes", true}, {varnel::SettingState::Error, "", true},
  };
  for (const Case& c : cases) {
    CSyslogSetting settings(c.eState, c.pValue);
    EXPECT_EQ(varnel::SystemLogWanted(settings), c.bWanted) << c.pValue;
  }
}
