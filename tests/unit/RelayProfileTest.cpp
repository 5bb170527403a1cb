// Relay profiles: the keys a profile may hold and each refusal, relay entries with ports,
// profiles that fill a call through a scripted relay, the locked profile's refusals with
// nothing sent, secret files and commands, and varnel.conf read from the settings folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>

#include "host/HostServerCall.h"
#include "procedure/CallProfile.h"
#include "procedure/XpVarnel.h"
#include "smtp/RelayProfile.h"
#include "tests/unit/MimeTestSupport.h"
#include "tests/unit/TestRelay.h"

using namespace varnel;
using namespace varnel::test;

namespace {

CStoredValue Text(std::string text) {
  CStoredValue value;
  value.strText = std::move(text);
  return value;
}
CStoredValue Number(std::int64_t number) {
  CStoredValue value;
  value.eKind = CStoredValue::Kind::Number;
  value.nNumber = number;
  return value;
}
CStoredValue Flag(bool flag) {
  CStoredValue value;
  value.eKind = CStoredValue::Kind::Boolean;
  value.bValue = flag;
  return value;
}
CStoredValue List(std::vector<std::string> items) {
  CStoredValue value;
  value.eKind = CStoredValue::Kind::List;
  value.arrItems = std::move(items);
  return value;
}
CStoredValue Secret(std::string text) {
  CStoredValue value = Text(std::move(text));
  value.eKind = CStoredValue::Kind::Secret;
  return value;
}

CStoredProfile Stored(const std::string& name, std::vector<std::pair<std::string, CStoredValue>> values) {
  CStoredProfile profile;
  profile.strName = name;
  profile.strOrigin = "file /test/varnel.conf";
  profile.arrValues = std::move(values);
  return profile;
}

class CMemoryStore final : public IProfileStore {
 public:
  std::map<std::string, CStoredProfile> m_mapProfiles;
  std::string m_strBroken;  // non-empty: the store cannot be read
  SettingState Read(const std::string& name, CStoredProfile& profile, std::string& error) override {
    if (!m_strBroken.empty()) {
      error = m_strBroken;
      return SettingState::Error;
    }
    auto found = m_mapProfiles.find(name);
    if (found == m_mapProfiles.end()) return SettingState::Missing;
    profile = found->second;
    return SettingState::Found;
  }
  SettingState Names(std::vector<std::string>& names, std::string&) override {
    for (const auto& entry : m_mapProfiles) names.push_back(entry.first);
    return SettingState::Found;
  }
  std::string Origin() override { return "file /test/varnel.conf"; }
};

struct CProfileCall {
  CHostServerCall server;
  CTestPlatform platform;
  CMemoryStore store;
  CProfileCall& Add(CHostParameter parameter) {
    server.AddParameter(std::move(parameter));
    return *this;
  }
  std::uint16_t Run() {
    CPlatform used = platform.Get();
    used.pProfiles = &store;
    return XpVarnel(server, used);
  }
  int Status() const { return server.Report() ? server.Report()->nStatus : -100; }
  std::string ErrorMessage() const {
    return server.Rows().empty() || server.Rows()[0].size() < 2 ? std::string() : server.Rows()[0][1].data;
  }
};

std::vector<CStep> SendFrom(const std::string& from) {
  std::vector<CStep> steps = PlainEnvelope(from, {"a@example.com"});
  steps.push_back(CStep::Data());
  steps.push_back(CStep::Send("250 queued\r\n"));
  steps.push_back(CStep::Expect("QUIT\r\n"));
  steps.push_back(CStep::Send("221 bye\r\n"));
  return steps;
}

std::string Relay(int port) { return "127.0.0.1:" + std::to_string(port); }

}  // namespace

TEST(RelayProfileTest, ReadsEveryKey) {
  CScratchDirectory scratch;
  std::string ca = scratch.Write("ca.pem", "roots");
  CRelayProfile profile;
  std::string error;
  ASSERT_TRUE(ParseRelayProfile(
      Stored("m365", {{"address", List({"smtp.example.com", "backup.example.com:2525", "[::1]:26"})},
                      {"port", Number(587)}, {"tls", Number(2)}, {"ca_file", Text(ca)},
                      {"helo_name", Text("db01.example.com")}, {"from", Text("SQL <sql@example.com>")},
                      {"username", Text("sql@example.com")}, {"oauth_token_url", Text("https://login.example.com/t")},
                      {"oauth_client_id", Text("client")}, {"oauth_client_secret_file", Text("/etc/varnel/s")},
                      {"oauth_scope", Text("https://outlook.office365.com/.default")}, {"timeout", Number(20)},
                      {"retries", Number(2)}, {"retry_delay", Number(10)}, {"max_seconds", Number(90)},
                      {"partial_recipients", Flag(true)}, {"locked", Flag(true)}}),
      profile, error))
      << error;
  ASSERT_EQ(profile.arrRelays.size(), 3u);
  EXPECT_EQ(profile.arrRelays[1].strHost, "backup.example.com");
  EXPECT_EQ(profile.arrRelays[1].nPort, 2525);
  EXPECT_EQ(profile.arrRelays[2].strHost, "[::1]");
  EXPECT_EQ(profile.arrRelays[2].nPort, 26);
  EXPECT_EQ(profile.nPort, 587);
  EXPECT_EQ(profile.nTlsMode, 2);
  EXPECT_EQ(profile.nPartialRecipients, 1);
  EXPECT_TRUE(profile.bLocked);
  EXPECT_EQ(profile.nMaxSeconds, 90);
}

TEST(RelayProfileTest, RefusesEachFaultNamingKeyProfileAndFile) {
  struct Case {
    std::vector<std::pair<std::string, CStoredValue>> values;
    std::string strExpected;
    bool bTls = false;
  };
  const std::vector<Case> cases = {
      {{{"adress", Text("relay")}}, "key adress of profile 'p' (file /test/varnel.conf) is not a profile key"},
      {{{"port", Text("587")}}, "key port of profile 'p' (file /test/varnel.conf) \"587\" is not a whole number"},
      {{{"port", Number(70000)}}, "key port of profile 'p' (file /test/varnel.conf) is 70000, not a whole number from 1 to 65535"},
      {{{"tls", Number(9)}}, "key tls of profile 'p' (file /test/varnel.conf) is 9, not one of 0, 1, 2 or 3", true},
      {{{"tls", Text("required")}}, "key tls of profile 'p' (file /test/varnel.conf) \"required\" is not a whole number", true},
      {{{"ca_file", Text("/nonexistent/ca.pem")}}, "key ca_file of profile 'p' (file /test/varnel.conf) names \"/nonexistent/ca.pem\", a file that cannot be read", true},
      {{{"locked", Number(1)}}, "key locked of profile 'p' (file /test/varnel.conf) is a whole number, not true or false"},
      {{{"address", Number(25)}}, "key address of profile 'p' (file /test/varnel.conf) is a whole number, not a string or an array of strings"},
      {{{"address", Text("relay:smtp")}}, "entry \"relay:smtp\" is not \"host\" or \"host:port\""},
      {{{"address", List({"a", "b c"})}}, "entry \"b c\" is not \"host\" or \"host:port\""},
      {{{"address", List({})}}, "key address of profile 'p' (file /test/varnel.conf) lists no relay"},
      {{{"helo_name", Text("two words")}}, "holds a blank"},
      {{{"from", Text("")}}, "key from of profile 'p' (file /test/varnel.conf) is empty"},
      {{{"username", Text("u")}, {"password", Text("hunter2")}}, "key password of profile 'p' (file /test/varnel.conf) is kept as plain text"},
      {{{"username", Text("u")}, {"password_file", Text("/a")}, {"password_command", Text("pass x")}}, "comes with another password source"},
      {{{"password_file", Text("/a")}}, "gives a password, but the profile names no username"},
      {{{"username", Text("u")}, {"oauth_client_id", Text("c")}}, "key oauth_token_url of profile 'p' (file /test/varnel.conf) is missing"},
      {{{"timeout", Number(0)}}, "key timeout of profile 'p' (file /test/varnel.conf) is 0"},
      {{{"retries", Number(-1)}}, "key retries of profile 'p' (file /test/varnel.conf) is -1"},
      {{{"port", Number(25)}, {"port", Number(26)}}, "key port of profile 'p' (file /test/varnel.conf) is given twice"},
  };
  for (const Case& c : cases) {
    CRelayProfile profile;
    std::string error;
    bool tls = false;
    EXPECT_FALSE(ParseRelayProfile(Stored("p", c.values), profile, error, &tls)) << c.strExpected;
    EXPECT_NE(error.find(c.strExpected), std::string::npos) << error;
    EXPECT_EQ(tls, c.bTls) << error;
    EXPECT_EQ(error.find("hunter2"), std::string::npos) << error;
  }
}

TEST(RelayProfileTest, RegistryTypesAreLoose) {
  CStoredProfile stored = Stored("r", {{"port", Text("587")}, {"locked", Number(1)}, {"username", Text("u")},
                                       {"password", Secret("pw")}});
  stored.bLooseTypes = true;
  CRelayProfile profile;
  std::string error;
  ASSERT_TRUE(ParseRelayProfile(stored, profile, error)) << error;
  EXPECT_EQ(profile.nPort, 587);
  EXPECT_TRUE(profile.bLocked);
  std::string password;
  ASSERT_TRUE(ReadProfilePassword(profile, std::chrono::seconds(1), password, error));
  EXPECT_EQ(password, "pw");
}

TEST(RelayProfileTest, RelayEntriesOfACall) {
  struct Case {
    const char* pEntry;
    const char* pHost;
    int nPort;
  };
  const Case cases[] = {
      {"relay.example.com", "relay.example.com", 0}, {"relay.example.com:587", "relay.example.com", 587},
      {"[::1]:2525", "[::1]", 2525},                 {"::1", "::1", 0},
      {"relay:smtp", "relay:smtp", 0},               {"relay:0", "relay:0", 0},
      {"relay:65536", "relay:65536", 0},             {"[::1]", "[::1]", 0},
  };
  for (const Case& c : cases) {
    CRelay relay;
    ASSERT_TRUE(ParseRelayEntry(c.pEntry, false, relay));
    EXPECT_EQ(relay.strHost, c.pHost) << c.pEntry;
    EXPECT_EQ(relay.nPort, c.nPort) << c.pEntry;
  }
  std::vector<CRelay> list = ParseRelayList("a:26; b ,c:27");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].nPort, 26);
  EXPECT_EQ(list[1].strHost, "b");
  EXPECT_EQ(list[2].nPort, 27);
}

TEST(RelayProfileTest, DefaultProfileServesACallWithoutSenderOrRelay) {
  CScriptedRelay relay(SendFrom("profile@example.com"));
  CProfileCall call;
  call.store.m_mapProfiles["default"] =
      Stored("default", {{"address", Text(Relay(relay.Port()))}, {"from", Text("profile@example.com")}});
  call.Add(CHostServerCall::Text("@recipient", "a@example.com"));
  EXPECT_EQ(call.Run(), 0) << call.ErrorMessage();
  EXPECT_EQ(call.Status(), 0);
  EXPECT_TRUE(relay.Failures().empty());
}

TEST(RelayProfileTest, CallParametersOverrideAnUnlockedProfile) {
  CScriptedRelay relay(SendFrom("caller@example.com"));
  CQuietPort other;
  CProfileCall call;
  // The profile's credentials stay with its own relay: the caller's relay sees no AUTH.
  call.store.m_mapProfiles["ops"] =
      Stored("ops", {{"address", Text(Relay(other.Port()))}, {"from", Text("profile@example.com")},
                     {"timeout", Number(5)}, {"username", Text("svc")}, {"password_command", Text("echo pa55")}});
  call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@profile", "ops"));
  call.Add(CHostServerCall::Text("@from", "caller@example.com"));
  call.Add(CHostServerCall::Text("@address", Relay(relay.Port())));
  EXPECT_EQ(call.Run(), 0) << call.ErrorMessage();
  EXPECT_TRUE(relay.Failures().empty());
  EXPECT_FALSE(other.Contacted());
}

TEST(RelayProfileTest, AddressEntriesCarryTheirPortWithoutAProfile) {
  CScriptedRelay relay(SendFrom("from@example.com"));
  CProfileCall call;
  call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "from@example.com"));
  call.Add(CHostServerCall::Text("@address", "127.0.0.1:" + std::to_string(ClosedPort()) + "; " + Relay(relay.Port())));
  EXPECT_EQ(call.Run(), 0) << call.ErrorMessage();
  ASSERT_TRUE(call.server.Report());
  ASSERT_EQ(call.server.Report()->arrAttempts.size(), 2u);
  EXPECT_EQ(call.server.Report()->arrAttempts[1].nPort, relay.Port());
  EXPECT_TRUE(relay.Failures().empty());
}

TEST(RelayProfileTest, RefusalsSendNothing) {
  struct Case {
    const char* pWhat;
    std::vector<std::pair<std::string, CStoredValue>> values;
    std::vector<CHostParameter> parameters;
    int nStatus;
    std::string strExpected;
    bool bBroken = false;
  };
  CScratchDirectory scratch;
  std::string open = scratch.Write("open-password", "pw\n");
  ::chmod(open.c_str(), 0644);
  const std::vector<std::pair<std::string, CStoredValue>> locked = {
      {"username", Text("u")}, {"password_command", Text("echo pw")}, {"tls", Number(2)}, {"locked", Flag(true)}};
  const std::vector<std::pair<std::string, CStoredValue>> unlocked = {
      {"username", Text("u")}, {"password_command", Text("echo pw")}, {"tls", Number(2)}};
  auto with = [](std::vector<std::pair<std::string, CStoredValue>> values, std::pair<std::string, CStoredValue> more) {
    values.push_back(std::move(more));
    return values;
  };
  const std::vector<Case> cases = {
      {"unknown profile", {}, {CHostServerCall::Text("@profile", "nosuch")}, 7,
       "no profile 'nosuch' in file /test/varnel.conf"},
      {"profile name", {}, {CHostServerCall::Text("@profile", "../x")}, 7, "is not a profile name"},
      {"unknown key", {{"colour", Text("red")}}, {}, 7, "key colour of profile 'p'"},
      {"TLS mode", {{"tls", Number(7)}}, {}, 15, "key tls of profile 'p'"},
      {"store", {}, {}, 7, "the profiles file cannot be parsed", true},
      {"readable password file", {{"username", Text("u")}, {"password_file", Text(open)}}, {}, 7,
       "key password_file of profile 'p' (file /test/varnel.conf) cannot be used: the file " + open +
           " is refused: it can be read or written by others"},
      {"failing command", {{"username", Text("u")}, {"password_command", Text("exit 3")}}, {}, 7,
       "key password_command of profile 'p' (file /test/varnel.conf) failed: the command exited with status 3"},
      {"locked relay", locked, {CHostServerCall::Text("@address", "127.0.0.2")}, 7,
       "is locked: @address names a relay it does not hold"},
      {"locked port", with(locked, {"port", Number(587)}), {CHostServerCall::Int("@smtpport", 25)}, 7,
       "is locked: @smtpport 25 is not its port"},
      {"locked user", locked, {CHostServerCall::Text("@smtpusername", "other")}, 7,
       "is locked: @smtpusername cannot replace its credentials"},
      {"locked token url", locked, {CHostServerCall::Text("@oauthtokenurl", "https://evil.example/t")}, 7,
       "is locked: @oauthtokenurl cannot replace its credentials"},
      {"locked TLS", locked, {CHostServerCall::Int("@tls", 1)}, 7, "is locked: @tls=1 is weaker than its TLS mode"},
      {"locked verify", locked, {CHostServerCall::Int("@tlsverify", 0)}, 7, "is locked: @tlsverify=0"},
      {"locked, the default port for a relay on its own", locked, {CHostServerCall::Int("@smtpport", 25)}, 7,
       "is locked: @smtpport 25 is not its port"},
      {"its credentials without TLS", unlocked, {CHostServerCall::Int("@tls", 0)}, 7,
       "signs in only with its own TLS: @tls=0 is weaker than its TLS mode"},
      {"its credentials to an unchecked certificate", unlocked, {CHostServerCall::Int("@tlsverify", 0)}, 7,
       "signs in only with its own TLS: @tlsverify=0 would not check"},
  };
  for (const Case& c : cases) {
    CQuietPort port;
    CProfileCall call;
    auto values = c.values;
    values.push_back({"address", Text(Relay(port.Port()))});
    values.push_back({"from", Text("p@example.com")});
    call.store.m_mapProfiles["p"] = Stored("p", values);
    call.store.m_strBroken = c.bBroken ? "the profiles file cannot be parsed" : "";
    call.Add(CHostServerCall::Text("@recipient", "a@example.com"));
    bool named = false;
    for (const CHostParameter& parameter : c.parameters) named = named || parameter.strName == "@profile";
    if (!named) call.Add(CHostServerCall::Text("@profile", "p"));
    for (const CHostParameter& parameter : c.parameters) call.Add(parameter);
    if (std::string(c.pWhat) == "unknown profile" || std::string(c.pWhat) == "profile name") {
      call.Add(CHostServerCall::Text("@from", "x@example.com")).Add(CHostServerCall::Text("@address", Relay(port.Port())));
    }
    EXPECT_EQ(call.Run(), 1) << c.pWhat;
    EXPECT_EQ(call.Status(), c.nStatus) << c.pWhat;
    EXPECT_NE(call.ErrorMessage().find(c.strExpected), std::string::npos) << c.pWhat << ": " << call.ErrorMessage();
    EXPECT_FALSE(port.Contacted()) << c.pWhat;
  }
}

TEST(RelayProfileTest, ALockedProfileTakesACallsPortThatIsItsRelaysOwn) {
  CScriptedRelay relay(SendFrom("p@example.com"));
  CProfileCall call;
  call.store.m_mapProfiles["p"] = Stored(
      "p", {{"address", Text(Relay(relay.Port()))}, {"from", Text("p@example.com")}, {"locked", Flag(true)}});
  call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@profile", "p"));
  call.Add(CHostServerCall::Int("@smtpport", relay.Port()));
  EXPECT_EQ(call.Run(), 0) << call.ErrorMessage();
  EXPECT_TRUE(relay.Failures().empty());
}

TEST(RelayProfileTest, WithoutAProfileTheMinimumStands) {
  CProfileCall call;
  call.store.m_mapProfiles["other"] = Stored("other", {{"from", Text("p@example.com")}});
  call.Add(CHostServerCall::Text("@recipient", "a@example.com")).Add(CHostServerCall::Text("@from", "b@example.com"));
  EXPECT_EQ(call.Run(), 1);
  ASSERT_FALSE(call.server.Messages().empty());
  EXPECT_EQ(call.server.Messages()[0], "The minimum parameters are Recipient, From and Address. All must be supplied.\n");
  EXPECT_TRUE(call.server.Rows().empty());
}

TEST(SecretSourceTest, SecretFilesMustBePrivate) {
  CScratchDirectory scratch;
  struct Case {
    const char* pContent;
    mode_t nMode;
    const char* pExpected;  // null: accepted, the value "pw"
  };
  const Case cases[] = {
      {"pw\nsecond line\n", 0600, nullptr},
      {"pw", 0400, nullptr},
      {"pw\n", 0640, "can be read or written by others (mode 0640"},
      {"pw\n", 0604, "can be read or written by others (mode 0604"},
      {"pw\n", 0620, "can be read or written by others"},
      {"\nlater\n", 0600, "holds no secret"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string path = scratch.Write("secret" + std::to_string(n++), c.pContent);
    ASSERT_EQ(::chmod(path.c_str(), c.nMode), 0);
    std::string value;
    std::string error;
    bool read = ReadSecretFile(path, value, error);
    EXPECT_EQ(read, c.pExpected == nullptr) << path << ": " << error;
    if (c.pExpected == nullptr) {
      EXPECT_EQ(value, "pw");
    } else {
      EXPECT_NE(error.find(c.pExpected), std::string::npos) << error;
      EXPECT_NE(error.find(path), std::string::npos) << error;
    }
  }
  std::string value;
  std::string error;
  EXPECT_FALSE(ReadSecretFile(scratch.Path() + "/missing", value, error));
  EXPECT_NE(error.find("cannot be read"), std::string::npos);
  EXPECT_FALSE(ReadSecretFile(scratch.Path(), value, error));
}

TEST(SecretSourceTest, SecretCommands) {
  struct Case {
    const char* pCommand;
    int nLimitMs;
    const char* pValue;     // null: refused
    const char* pExpected;  // part of the error
  };
  const Case cases[] = {
      {"printf 'pw\\nrest\\n'", 5000, "pw", nullptr},
      {"echo secret-$((6*7))", 5000, "secret-42", nullptr},
      {"echo pw; exit 3", 5000, nullptr, "exited with status 3"},
      {"sleep 20", 300, nullptr, "did not finish within 300 ms"},
      {"sleep 20 & echo pw", 300, "pw", nullptr},
      {"head -c 100000 /dev/zero | tr '\\0' x", 5000, nullptr, "more than 64 KiB"},
      {"true", 5000, nullptr, "printed no secret"},
      {"kill -9 $$", 5000, nullptr, "ended by a signal"},
  };
  for (const Case& c : cases) {
    std::string value;
    std::string error;
    auto start = std::chrono::steady_clock::now();
    bool ran = RunSecretCommand(c.pCommand, std::chrono::milliseconds(c.nLimitMs), value, error);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(4)) << c.pCommand;
    EXPECT_EQ(ran, c.pValue != nullptr) << c.pCommand << ": " << error;
    if (c.pValue != nullptr) {
      EXPECT_EQ(value, c.pValue) << c.pCommand;
    }
    if (c.pExpected != nullptr) {
      EXPECT_NE(error.find(c.pExpected), std::string::npos) << c.pCommand << ": " << error;
      EXPECT_EQ(error.find("pw"), std::string::npos) << error;
    }
  }
}

TEST(PosixProfileStoreTest, ReadsVarnelConf) {
  CScratchDirectory scratch;
  const char* before = std::getenv("VARNEL_CONFIG_DIR");
  std::string saved = before != nullptr ? before : "";
  ::setenv("VARNEL_CONFIG_DIR", scratch.Path().c_str(), 1);
  IProfileStore& store = DefaultProfileStore();
  CStoredProfile profile;
  std::string error;
  EXPECT_EQ(store.Read("default", profile, error), SettingState::Missing);

  std::string path = scratch.Write("varnel.conf",
                                   "# relays\n[profile.default]\naddress = [\"a.example.com\", \"b.example.com:2525\"]\n"
                                   "port = 587\nlocked = true\nratio = 1.5\n\n[profile.local]\naddress = \"localhost\"\n");
  ::chmod(path.c_str(), 0644);
  ASSERT_EQ(store.Read("default", profile, error), SettingState::Found) << error;
  EXPECT_EQ(profile.strOrigin, "file " + path);
  std::map<std::string, CStoredValue> values(profile.arrValues.begin(), profile.arrValues.end());
  ASSERT_EQ(values.size(), 4u);
  EXPECT_EQ(values["address"].eKind, CStoredValue::Kind::List);
  ASSERT_EQ(values["address"].arrItems.size(), 2u);
  EXPECT_EQ(values["address"].arrItems[1], "b.example.com:2525");
  EXPECT_EQ(values["port"].eKind, CStoredValue::Kind::Number);
  EXPECT_EQ(values["port"].nNumber, 587);
  EXPECT_EQ(values["locked"].eKind, CStoredValue::Kind::Boolean);
  EXPECT_TRUE(values["locked"].bValue);
  EXPECT_EQ(values["ratio"].strProblem, "is a floating-point number");
  EXPECT_EQ(store.Read("nosuch", profile, error), SettingState::Missing);
  std::vector<std::string> names;
  ASSERT_EQ(store.Names(names, error), SettingState::Found);
  EXPECT_EQ(names, (std::vector<std::string>{"default", "local"}));

  struct Case {
    const char* pText;
    mode_t nMode;
    const char* pExpected;
  };
  const Case cases[] = {
      {"[profile.default]\nport = \n", 0644, "does not parse at line 2"},
      {"relay = \"x\"\n", 0644, "holds \"relay\" at its top level"},
      {"[profile]\ndefault = 1\n", 0644, "profile.default is a whole number, not a table"},
      {"[profile.default]\nport = 25\n", 0664, "can be changed by group or others (mode 0664"},
  };
  for (const Case& c : cases) {
    scratch.Write("varnel.conf", c.pText);
    ::chmod(path.c_str(), c.nMode);
    EXPECT_EQ(store.Read("default", profile, error), SettingState::Error) << c.pText;
    EXPECT_NE(error.find(c.pExpected), std::string::npos) << error;
    EXPECT_NE(error.find(path), std::string::npos) << error;
  }
  if (before != nullptr) {
    ::setenv("VARNEL_CONFIG_DIR", saved.c_str(), 1);
  } else {
    ::unsetenv("VARNEL_CONFIG_DIR");
  }
}
