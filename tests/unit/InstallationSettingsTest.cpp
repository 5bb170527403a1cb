// Installation settings fail closed: each value that cannot be read or does not parse ends
// the call with a message naming the setting, before any socket exists: status 15 for the
// TLS settings, 7 for the others.
#include <gtest/gtest.h>

#include <string>

#include "smtp/InstallationSettings.h"
#include "smtp/SMTPChannel.h"
#include "tests/unit/TestRelay.h"

using namespace varnel;
using namespace varnel::test;

TEST(InstallationSettingsTest, EachFaultySettingStopsTheCallBeforeAnySocket) {
  struct {
    const char* pName;
    const char* pSetting;
    std::string strValue;
    int nStatus;
    std::string strMessage;
  } const cases[] = {
      {"unknown TLS mode", "TlsMode", "9", 15,
       "TLS could not be established: the TlsMode setting \"9\" (the installation's settings) is not one of 0, 1, 2 "
       "or 3"},
      {"TLS mode as a word", "TlsMode", "required", 15, "TLS could not be established: the TlsMode setting \"required\""},
      {"empty TLS mode", "TlsMode", "", 15, "TLS could not be established: the TlsMode setting \"\""},
      {"two TLS digits", "TlsMode", "2 3", 15, "TLS could not be established: the TlsMode setting \"2 3\""},
      {"plain sign-in as a word", "AllowPlainSignIn", "yes", 15,
       "TLS could not be established: the AllowPlainSignIn setting \"yes\" (the installation's settings) is not one "
       "of 0 or 1"},
      {"missing CA file", "TlsCaFile", "/nonexistent/varnel/ca.pem", 15,
       "TLS could not be established: the TlsCaFile setting \"/nonexistent/varnel/ca.pem\" (the installation's "
       "settings) names a file that cannot be read"},
      {"greeting name with a blank", "HeloName", "db 01", 7,
       "Error accessing the registry: the HeloName setting \"db 01\" (the installation's settings) holds a blank"},
      {"greeting name with a control character", "HeloName", "db01\x1b", 7,
       "Error accessing the registry: the HeloName setting \"db01\\x1B\""},
      {"token URL without TLS", "OAuthTokenUrl", "http://idp.example/token", 7,
       "Error accessing the registry: the OAuthTokenUrl setting \"http://idp.example/token\""},
      {"secret with a line break inside", "OAuthClientSecret", "top\nsecret", 7,
       "Error accessing the registry: the OAuthClientSecret setting (value not shown) (the installation's settings) "
       "holds a control character"},
  };
  for (const auto& c : cases) {
    CTestPlatform platform;
    platform.settings.m_mapValues[c.pSetting] = c.strValue;
    CSMTPChannel channel(platform.Get());
    channel.m_strAddress = "127.0.0.1";
    channel.m_strRecipient = "to@example.com";
    EXPECT_FALSE(channel.Initialise()) << c.pName;
    EXPECT_EQ(channel.m_nStatus, c.nStatus) << c.pName;
    EXPECT_EQ(channel.GetErrorMessage().find(c.strMessage), 0u)
        << c.pName << ": " << channel.GetErrorMessage();
    // A secret's value never appears in the message.
    EXPECT_EQ(channel.GetErrorMessage().find("top"), std::string::npos) << c.pName;
    EXPECT_EQ(platform.network.m_strLastBind, "(none)") << c.pName;
  }
}

TEST(InstallationSettingsTest, UnreadableStoreNamesTheSettingAndStopsTheCall) {
  const struct {
    const char* pName;
    int nStatus;
  } cases[] = {{"TlsMode", 15}, {"AllowPlainSignIn", 15}, {"TlsCaFile", 15}, {"HeloName", 7},
               {"OAuthTokenUrl", 7}, {"OAuthClientSecret", 7}};
  for (const auto& c : cases) {
    const char* name = c.pName;
    CTestPlatform platform;
    platform.settings.m_strBroken = name;
    CSMTPChannel channel(platform.Get());
    channel.m_strAddress = "127.0.0.1";
    channel.m_strRecipient = "to@example.com";
    EXPECT_FALSE(channel.Initialise()) << name;
    EXPECT_EQ(channel.m_nStatus, c.nStatus) << name;
    EXPECT_EQ(channel.GetErrorMessage(), std::string(CSMTPChannel::GetStatusText(c.nStatus)) + ": the " + name +
                                             " setting cannot be read (the installation's settings)");
    EXPECT_EQ(platform.network.m_strLastBind, "(none)") << name;
  }
}

TEST(InstallationSettingsTest, ValuesAsEditorsWriteThemAreRead) {
  struct {
    const char* pText;
    int nMode;
  } const modes[] = {{"0", 0}, {"3", 3}, {"2 ", 2}, {"1\r\n", 1}, {"\t2\n", 2}};
  for (const auto& c : modes) {
    int mode = -1;
    EXPECT_TRUE(ParseTlsModeSetting(c.pText, mode)) << c.pText;
    EXPECT_EQ(mode, c.nMode) << c.pText;
  }
  for (const char* text : {"", " ", "4", "-1", "02", "2x", "required", "\xEF\xBC\x92"}) {
    int mode = -1;
    EXPECT_FALSE(ParseTlsModeSetting(text, mode)) << text;
  }
  CTestSettings settings;
  settings.m_mapValues = {{"TlsMode", "2 \n"},
                          {"HeloName", "db01.example.com\n"},
                          {"OAuthClientSecret", std::string("s3cret\0tail", 11)},
                          {"OAuthScope", "https://outlook.office365.com/.default offline_access"}};
  settings.m_eBindState = SettingState::Found;
  settings.m_strBindIP = "127.0.0.2\n";
  CInstallationSettings values;
  std::string error;
  ASSERT_TRUE(ReadInstallationSettings(settings, values, error)) << error;
  EXPECT_EQ(values.nTlsMode, 2);
  EXPECT_EQ(values.strHeloName, "db01.example.com");
  EXPECT_EQ(values.strOAuthClientSecret, "s3cret");
  EXPECT_EQ(values.strOAuthScope, "https://outlook.office365.com/.default offline_access");
  EXPECT_EQ(values.strBindIP, "127.0.0.2");
}

TEST(InstallationSettingsTest, TrimmedTlsModeIsHonouredNotDropped) {
  // "2 " means STARTTLS or no mail: a relay that does not offer STARTTLS gets no envelope.
  CScriptedRelay relay({CStep::Send("220 ready\r\n"), CStep::Expect("EHLO [127.0.0.1]\r\n"),
                        CStep::Send("250 relay\r\n"), CStep::Pause(300)});
  CTestPlatform platform;
  platform.settings.m_mapValues["TlsMode"] = "2 ";
  CSMTPChannel channel(platform.Get());
  channel.m_strAddress = "127.0.0.1";
  channel.m_nPort = relay.Port();
  channel.m_strRecipient = "to@example.com";
  channel.m_strFrom = "from@example.com";
  channel.m_nTimeout = 2000;
  channel.Initialise();
  EXPECT_EQ(channel.m_nStatus, Status::Tls);
  EXPECT_EQ(relay.Transcript(), "EHLO [127.0.0.1]\r\nQUIT\r\n");
}
