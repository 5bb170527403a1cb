// The token request over a network and TLS layer of the test's own: the exact request,
// the trust settings handed to TLS, each way a request fails, the URLs taken, where the
// request's values come from, and what the log shows.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <cstdio>
#include <stdlib.h>
#include <unistd.h>

#include "platform/Network.h"
#include "platform/Settings.h"
#include "platform/Tls.h"
#include "oauth/OAuthTokenClient.h"
#include "smtp/InstallationSettings.h"
#include "smtp/OAuthSignIn.h"
#include "smtp/RelayProfile.h"
#include "smtp/SMTPChannel.h"

using namespace varnel;
using namespace std::chrono_literals;

namespace {

struct CPeer {
  std::string strSent;
  std::deque<std::string> arrReplies;  // one Receive each; then Closed (or Timeout)
  bool bHangs = false;
  std::string strConnectedTo;
  std::string strConnectError;
};

class CFakeConnection final : public IConnection {
 public:
  explicit CFakeConnection(CPeer& peer) : m_peer(peer) {}
  IoResult SendAll(const char* data, std::size_t size, std::chrono::milliseconds) override {
    m_peer.strSent.append(data, size);
    return IoResult::Ok;
  }
  IoResult Receive(char* buffer, std::size_t max, std::size_t& received, std::chrono::milliseconds) override {
    received = 0;
    if (m_peer.arrReplies.empty()) return m_peer.bHangs ? IoResult::Timeout : IoResult::Closed;
    std::string& next = m_peer.arrReplies.front();
    received = std::min(max, next.size());
    next.copy(buffer, received);
    next.erase(0, received);
    if (next.empty()) m_peer.arrReplies.pop_front();
    return IoResult::Ok;
  }

 private:
  CPeer& m_peer;
};

class CFakeSocket final : public IClientSocket {
 public:
  explicit CFakeSocket(CPeer& peer) : m_peer(peer) {}
  std::unique_ptr<IConnection> Connect(const std::string& host, int port, std::chrono::milliseconds,
                                       std::string& error) override {
    m_peer.strConnectedTo = host + ":" + std::to_string(port);
    if (!m_peer.strConnectError.empty()) {
      error = m_peer.strConnectError;
      return nullptr;
    }
    return std::make_unique<CFakeConnection>(m_peer);
  }

 private:
  CPeer& m_peer;
};

class CFakeNetwork final : public INetwork {
 public:
  explicit CFakeNetwork(CPeer& peer) : m_peer(peer) {}
  bool StartSocketLibrary() override { return true; }
  std::string QueryHostName() override { return "localhost"; }
  bool LookupIPv4(const std::string&, std::vector<std::uint32_t>&) override { return false; }
  std::unique_ptr<IClientSocket> CreateSocket(const std::string& bindAddress, std::string&) override {
    m_strBind = bindAddress;
    return std::make_unique<CFakeSocket>(m_peer);
  }
  std::string m_strBind = "(none)";

 private:
  CPeer& m_peer;
};

// Passes the bytes through unchanged, or fails as a handshake would.
class CFakeTls final : public ITlsClient {
 public:
  std::unique_ptr<IConnection> Handshake(std::unique_ptr<IConnection> plain, const CTlsSettings& settings,
                                         std::chrono::milliseconds, std::string& error) override {
    m_settings = settings;
    if (!m_strError.empty()) {
      error = m_strError;
      return nullptr;
    }
    return plain;
  }
  std::string LibraryVersion() override { return "fake"; }
  CTlsSettings m_settings;
  std::string m_strError;
};

class CMapSettings final : public ISettings {
 public:
  SettingState BindIP(std::string&) override { return SettingState::Missing; }
  std::string OdbcDriver() override { return {}; }
  std::string OdbcAttributes() override { return {}; }
  SettingState Value(const char* name, const char*, std::string& value) override {
    if (m_strBroken == name) return SettingState::Error;
    auto found = m_mapValues.find(name);
    if (found == m_mapValues.end()) return SettingState::Missing;
    value = found->second;
    return SettingState::Found;
  }
  std::map<std::string, std::string> m_mapValues;
  std::string m_strBroken;
};

struct CTokenPlatform {
  CPeer peer;
  CFakeNetwork network{peer};
  CFakeTls tls;
  CMapSettings settings;
  CPlatform Get() {
    CPlatform platform;
    platform.pNetwork = &network;
    platform.pTls = &tls;
    platform.pSettings = &settings;
    return platform;
  }
};

const std::string kGranted =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 62\r\n\r\n"
    R"({"token_type":"Bearer","expires_in":3600,"access_token":"tok"})";

bool Fetch(CTokenPlatform& platform, const COAuthRequest& request, COAuthToken& token, std::string& error) {
  COAuthTokenClient client(platform.Get());
  return client.Fetch(request, std::chrono::steady_clock::now() + 2s, token, error);
}

}  // namespace

TEST(OAuthTokenClientTest, OneFormPostOverVerifiedTlsBringsTheToken) {
  CTokenPlatform platform;
  char caFile[] = "/tmp/varnel-ca-XXXXXX";
  int fd = ::mkstemp(caFile);
  ASSERT_GE(fd, 0);
  ::close(fd);
  platform.peer.arrReplies = {kGranted.substr(0, 20), kGranted.substr(20)};
  COAuthRequest request{"https://login.example:8443/tenant/oauth2/v2.0/token?x=1#frag", "id 1", "s&c=r t+%\xC3\xA9",
                        "https://outlook.office365.com/.default", "192.0.2.7", caFile};
  COAuthToken token;
  std::string error;
  ASSERT_TRUE(Fetch(platform, request, token, error)) << error;
  EXPECT_EQ(token.strAccessToken, "tok");
  EXPECT_EQ(token.nExpiresIn, 3600);
  std::string body =
      "grant_type=client_credentials&client_id=id%201&client_secret=s%26c%3Dr%20t%2B%25%C3%A9"
      "&scope=https%3A%2F%2Foutlook.office365.com%2F.default";
  EXPECT_EQ(platform.peer.strSent,
            "POST /tenant/oauth2/v2.0/token?x=1 HTTP/1.1\r\nHost: login.example:8443\r\nUser-Agent: Varnel/3.1\r\n"
            "Accept: application/json\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  EXPECT_EQ(platform.peer.strConnectedTo, "login.example:8443");
  EXPECT_EQ(platform.network.m_strBind, "192.0.2.7");
  EXPECT_EQ(platform.tls.m_settings.strPeerName, "login.example");
  EXPECT_TRUE(platform.tls.m_settings.bVerify);
  EXPECT_EQ(platform.tls.m_settings.strCaFile, caFile);
  ::unlink(caFile);
}

TEST(OAuthTokenClientTest, EachFailureSaysWhy) {
  struct {
    const char* pName;
    std::string strUrl;
    std::string strConnectError;
    std::string strTlsError;
    std::vector<std::string> arrReplies;
    bool bHangs;
    std::string strError;
    bool bConnects;
  } const cases[] = {
      {"not TLS", "http://127.0.0.1/token", "", "", {}, false,
       "the token endpoint is not TLS: only https:// URLs are used", false},
      {"refused connection", "https://127.0.0.1:1/token", "Connection refused", "", {}, false,
       "cannot connect to the token endpoint: Connection refused", true},
      {"certificate", "https://127.0.0.1/token", "", "certificate verify failed: hostname mismatch", {}, false,
       "TLS with the token endpoint failed: certificate verify failed: hostname mismatch", true},
      {"refused client", "https://127.0.0.1/token", "", "",
       {"HTTP/1.1 401 Unauthorized\r\nContent-Length: 68\r\n\r\n"
        R"({"error":"invalid_client","error_description":"Bad secret, go away"})"},
       false, "invalid_client: Bad secret, go away", true},
      {"silent endpoint", "https://127.0.0.1/token", "", "", {}, true, "timed out waiting for the token endpoint", true},
      {"closed early", "https://127.0.0.1/token", "", "", {"HTTP/1.1 200 OK\r\nContent-Len"}, false,
       "bad reply from the token endpoint: connection closed before the end of the reply", true},
      {"no token", "https://127.0.0.1/token", "", "", {"HTTP/1.1 200 OK\r\n\r\n{}"}, false,
       "no access_token in the token reply", true},
  };
  for (const auto& c : cases) {
    CTokenPlatform platform;
    platform.peer.strConnectError = c.strConnectError;
    platform.tls.m_strError = c.strTlsError;
    platform.peer.arrReplies.assign(c.arrReplies.begin(), c.arrReplies.end());
    platform.peer.bHangs = c.bHangs;
    COAuthToken token;
    std::string error;
    EXPECT_FALSE(Fetch(platform, {c.strUrl, "id", "secret", "", ""}, token, error)) << c.pName;
    EXPECT_EQ(error, c.strError) << c.pName;
    EXPECT_EQ(!platform.peer.strConnectedTo.empty(), c.bConnects) << c.pName;
  }
}

TEST(OAuthTokenClientTest, WithoutATlsLayerNothingIsSent) {
  CTokenPlatform platform;
  CPlatform bare = platform.Get();
  bare.pTls = nullptr;
  COAuthTokenClient client(bare);
  COAuthToken token;
  std::string error;
  EXPECT_FALSE(client.Fetch({"https://127.0.0.1/t", "id", "s", "", ""}, std::chrono::steady_clock::now() + 1s, token, error));
  EXPECT_EQ(error, "TLS is not available");
  EXPECT_EQ(platform.peer.strConnectedTo, "");
}

TEST(OAuthTokenClientTest, ReadsHttpsUrls) {
  struct {
    const char* pUrl;
    bool bTaken;
    const char* pHostPortTarget;  // taken: "host|port|authority|target"; else the error
  } const cases[] = {
      {"https://login.microsoftonline.com/contoso.onmicrosoft.com/oauth2/v2.0/token", true,
       "login.microsoftonline.com|443|login.microsoftonline.com|/contoso.onmicrosoft.com/oauth2/v2.0/token"},
      {"HTTPS://127.0.0.1:8443", true, "127.0.0.1|8443|127.0.0.1:8443|/"},
      {"https://[::1]:9443/t?a=b#c", true, "::1|9443|[::1]:9443|/t?a=b"},
      {"https://host?q", true, "host|443|host|/?q"},
      {"http://127.0.0.1/token", false, "the token endpoint is not TLS: only https:// URLs are used"},
      {"ftp://127.0.0.1/token", false, "the token endpoint is not TLS: only https:// URLs are used"},
      {"127.0.0.1/token", false, "bad token URL"},
      {"https://user:pw@host/t", false, "bad token URL (user information is not used)"},
      {"https:///t", false, "bad token URL (no host)"},
      {"https://host:0/t", false, "bad token URL (port)"},
      {"https://host:70000/t", false, "bad token URL (port)"},
      {"https://host:44x/t", false, "bad token URL (port)"},
      {"https://host/t\r\nX-Injected: 1", false, "bad token URL (space or control character)"},
      {"https://host/a b", false, "bad token URL (space or control character)"},
      {"https://[::1/t", false, "bad token URL"},
  };
  for (const auto& c : cases) {
    CHttpsUrl url;
    std::string error;
    bool taken = ParseHttpsUrl(c.pUrl, url, error);
    EXPECT_EQ(taken, c.bTaken) << c.pUrl;
    if (taken) {
      EXPECT_EQ(url.strHost + "|" + std::to_string(url.nPort) + "|" + url.strAuthority + "|" + url.strTarget,
                c.pHostPortTarget);
    } else {
      EXPECT_EQ(error, c.pHostPortTarget) << c.pUrl;
    }
  }
}

TEST(OAuthTokenClientTest, RequestValuesComeFromTheCallElseFromTheSettings) {
  const std::string kServerUrl = "https://idp.example/server";
  struct {
    const char* pName;
    std::vector<std::string> arrCall;  // url, id, secret, scope
    bool bSettings;
    OAuthSetup eSetup;
    std::string strRequestOrError;  // url|id|secret|scope
  } const cases[] = {
      {"nothing anywhere", {"", "", "", ""}, false, OAuthSetup::None, ""},
      {"all from the call", {"https://c/t", "cid", "csecret", "cs"}, false, OAuthSetup::Ready, "https://c/t|cid|csecret|cs"},
      {"all from the settings", {"", "", "", ""}, true, OAuthSetup::Ready, kServerUrl + "|sid|ssecret|sscope"},
      {"call overrides the client id", {"", "cid", "", ""}, true, OAuthSetup::Ready, kServerUrl + "|cid|ssecret|sscope"},
      {"call's scope with the server's secret", {"", "", "", "https://graph.example/.default"}, true,
       OAuthSetup::Failed,
       "@oauthscope cannot choose the scope of a token asked for with the OAuthClientSecret setting (it asks for "
       "the OAuthScope setting's scope only); a call that brings its own secret may"},
      {"the server's own scope named", {"", "", "", "sscope"}, true, OAuthSetup::Ready, kServerUrl + "|sid|ssecret|sscope"},
      {"call's scope with its own secret", {"", "", "csecret", "cs"}, true, OAuthSetup::Ready, kServerUrl + "|sid|csecret|cs"},
      {"same endpoint named", {kServerUrl, "", "", ""}, true, OAuthSetup::Ready, kServerUrl + "|sid|ssecret|sscope"},
      {"own endpoint, own secret", {"https://c/t", "", "csecret", ""}, true, OAuthSetup::Ready,
       "https://c/t|sid|csecret|sscope"},
      {"own endpoint, server's secret", {"https://c/t?x", "", "", ""}, true, OAuthSetup::Failed,
       "no OAuth client secret for https://c/t (@oauthclientsecret, or the OAuthClientSecret setting with its "
       "OAuthTokenUrl)"},
      {"no client id", {"https://c/t", "", "csecret", ""}, false, OAuthSetup::Failed,
       "no OAuth client id (@oauthclientid or the OAuthClientId setting)"},
  };
  for (const auto& c : cases) {
    CTokenPlatform platform;
    if (c.bSettings) {
      platform.settings.m_mapValues = {{"OAuthTokenUrl", kServerUrl},
                                       {"OAuthClientId", "sid"},
                                       {"OAuthClientSecret", std::string("ssecret\0rest", 12)},
                                       {"OAuthScope", "sscope"}};
    }
    CSMTPChannel channel(platform.Get());
    channel.m_settings.strOAuthTokenUrl = c.arrCall[0];
    channel.m_settings.strOAuthClientId = c.arrCall[1];
    channel.m_settings.strOAuthClientSecret = c.arrCall[2];
    channel.m_settings.strOAuthScope = c.arrCall[3];
    COAuthRequest request;
    std::string error;
    OAuthSetup setup = ReadOAuthRequest(channel, request, error);
    EXPECT_EQ(setup, c.eSetup) << c.pName;
    if (setup == OAuthSetup::Ready) {
      EXPECT_EQ(request.strTokenUrl + "|" + request.strClientId + "|" + request.strClientSecret + "|" + request.strScope,
                c.strRequestOrError)
          << c.pName;
    } else {
      EXPECT_EQ(error, c.strRequestOrError) << c.pName;
    }
  }
}

// A token of the server's client goes only to relays the OAuthRelays setting names (an
// entry without a port names every port); a call's own secret may go anywhere.
TEST(OAuthTokenClientTest, ServerSecretsTokenGoesOnlyToRelaysTheSettingNames) {
  struct {
    const char* pSetting;  // nullptr: not set
    const char* pAddress;
    const char* pCallSecret;
    const char* pOutside;  // empty: ready
  } const cases[] = {
      {nullptr, "smtp.example.com", "", "smtp.example.com:587"},
      {"smtp.example.com", "SMTP.example.com", "", ""},
      {"smtp.example.com:587", "smtp.example.com", "", ""},
      {"smtp.example.com:25", "smtp.example.com", "", "smtp.example.com:587"},
      {"a.example; smtp.example.com", "smtp.example.com, evil.example:587", "", "evil.example:587"},
      {"smtp.example.com", "smtp.example.com:2525", "", ""},
      {nullptr, "evil.example", "own-secret", ""},
  };
  for (const auto& c : cases) {
    CTokenPlatform platform;
    platform.settings.m_mapValues = {{"OAuthTokenUrl", "https://idp.example/t"},
                                     {"OAuthClientId", "sid"},
                                     {"OAuthClientSecret", "ssecret"}};
    if (c.pSetting != nullptr) platform.settings.m_mapValues["OAuthRelays"] = c.pSetting;
    CSMTPChannel channel(platform.Get());
    channel.m_arrRelays = ParseRelayList(c.pAddress);
    channel.m_nPort = 587;
    channel.m_settings.strOAuthClientSecret = c.pCallSecret;
    COAuthRequest request;
    std::string error;
    OAuthSetup setup = ReadOAuthRequest(channel, request, error);
    if (*c.pOutside == '\0') {
      EXPECT_EQ(setup, OAuthSetup::Ready) << c.pAddress << ": " << error;
    } else {
      EXPECT_EQ(setup, OAuthSetup::Failed) << c.pAddress;
      EXPECT_NE(error.find(std::string(c.pOutside) + " is not"), std::string::npos) << error;
    }
  }
  // An entry that is no relay fails the setting itself, by name.
  CTokenPlatform platform;
  platform.settings.m_mapValues = {{"OAuthRelays", "smtp.example.com:99999"}};
  CInstallationSettings values;
  std::string error;
  EXPECT_FALSE(ReadInstallationSettings(platform.settings, values, error));
  EXPECT_NE(error.find("the OAuthRelays setting"), std::string::npos) << error;
}

TEST(OAuthTokenClientTest, UnreadableSettingFailsTheSetup) {
  CTokenPlatform platform;
  platform.settings.m_strBroken = "OAuthTokenUrl";
  CSMTPChannel channel(platform.Get());
  COAuthRequest request;
  std::string error;
  EXPECT_EQ(ReadOAuthRequest(channel, request, error), OAuthSetup::Failed);
  EXPECT_EQ(error, "the OAuthTokenUrl setting cannot be read (the installation's settings)");
}

TEST(OAuthTokenClientTest, ChannelTokenComesWithItsLogLinesOrNotAtAll) {
  char name[] = "/tmp/varnel-oauth-log-XXXXXX";
  ::close(::mkstemp(name));
  struct {
    const char* pUrl;
    const char* pReply;
    OAuthSetup eSetup;
    const char* pTokenOrError;
  } const cases[] = {
      {"", "", OAuthSetup::None, ""},
      {"https://channel.example/t", R"({"access_token":"chan-tok","expires_in":3600})", OAuthSetup::Ready, "chan-tok"},
      {"https://channel.example/refused", R"({"error":"unauthorized_client"})", OAuthSetup::Failed,
       "unauthorized_client"},
  };
  for (const auto& c : cases) {
    CTokenPlatform platform;
    bool granted = std::string(c.pReply).find("access_token") != std::string::npos;
    platform.peer.arrReplies = {std::string(granted ? "HTTP/1.1 200 OK" : "HTTP/1.1 400 Bad Request") + "\r\n\r\n" +
                                c.pReply};
    CSMTPChannel channel(platform.Get());
    channel.m_nDebug = 1;
    channel.m_strLogFileName = name;
    channel.m_settings.strOAuthTokenUrl = c.pUrl;
    channel.m_settings.strOAuthClientId = "id";
    channel.m_settings.strOAuthClientSecret = "CHANNEL-SECRET";
    std::string token;
    std::string error;
    EXPECT_EQ(ObtainChannelOAuthToken(channel, false, token, error), c.eSetup) << c.pUrl;
    EXPECT_EQ(c.eSetup == OAuthSetup::Ready ? token : error, c.pTokenOrError) << c.pUrl;
  }
  std::string log;
  if (std::FILE* file = std::fopen(name, "rb")) {
    char buffer[4096];
    log.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
    std::fclose(file);
  }
  ::unlink(name);
  EXPECT_NE(log.find("OAuth token requested from https://channel.example/t"), std::string::npos) << log;
  EXPECT_NE(log.find("https://channel.example/refused could not be obtained: unauthorized_client"), std::string::npos);
  EXPECT_EQ(log.find("CHANNEL-SECRET"), std::string::npos);
  EXPECT_EQ(log.find("chan-tok"), std::string::npos);
}

TEST(OAuthTokenClientTest, ChannelSourceReplacesARefusedTokenWithAFreshOne) {
  auto granted = [](const std::string& token) {
    std::string body = R"({"access_token":")" + token + R"(","expires_in":3600})";
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  CTokenPlatform platform;
  char caFile[] = "/tmp/varnel-ca-XXXXXX";
  int fd = ::mkstemp(caFile);
  ASSERT_GE(fd, 0);
  ::close(fd);
  platform.settings.m_mapValues["TlsCaFile"] = caFile;
  platform.peer.arrReplies = {granted("first"), granted("second")};
  CSMTPChannel channel(platform.Get());
  channel.m_settings.strOAuthTokenUrl = "https://source.example/t";
  channel.m_settings.strOAuthClientId = "id";
  channel.m_settings.strOAuthClientSecret = "secret";
  std::string token;
  std::string error;
  ASSERT_EQ(ObtainChannelOAuthToken(channel, false, token, error), OAuthSetup::Ready) << error;
  EXPECT_EQ(token, "first");
  // The endpoint's certificate is checked with the relay's CA file.
  EXPECT_EQ(platform.tls.m_settings.strCaFile, caFile);
  channel.m_strSMTPOAuthToken = token;

  CChannelTokenSource source(channel);
  std::string held;
  EXPECT_TRUE(source.Get(false, held));
  EXPECT_EQ(held, "first");
  // The cache would hand out "first" for an hour yet: a fresh one is asked of the endpoint.
  std::string fresh;
  ASSERT_TRUE(source.Get(true, fresh));
  EXPECT_EQ(fresh, "second");
  EXPECT_EQ(channel.m_strSMTPOAuthToken, "second");
  ASSERT_EQ(ObtainChannelOAuthToken(channel, false, token, error), OAuthSetup::Ready) << error;
  EXPECT_EQ(token, "second");
  // An endpoint that gives nothing more: no token, and the channel keeps the one it has.
  EXPECT_FALSE(source.Get(true, fresh));
  EXPECT_EQ(channel.m_strSMTPOAuthToken, "second");
  ::unlink(caFile);
}
