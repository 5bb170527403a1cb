// Token requests through the real network and TLS layers to a local HTTPS token endpoint
// (tests/e2e/token_endpoint.py with the tests' PKI): a grant, a refused client in the
// endpoint's words, renewal of a short-lived token, an endpoint without TLS.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/Platform.h"
#include "platform/Settings.h"
#include "smtp/OAuthSignIn.h"

extern char** environ;

using namespace varnel;
using namespace std::chrono_literals;

namespace {

// The endpoint as a child process, ended when the test ends.
class CTokenEndpointProcess {
 public:
  explicit CTokenEndpointProcess(const std::vector<std::string>& options) {
    std::string script = std::string(VARNEL_TEST_DATA_DIR) + "/../e2e/token_endpoint.py";
    std::vector<std::string> words = {"/usr/bin/python3", script, "serve"};
    words.insert(words.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&m_nPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_nPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::FILE* stream = ::fdopen(out[0], "r");
    char line[1024] = {};
    if (stream != nullptr && std::fgets(line, sizeof line, stream) != nullptr) {
      std::string text(line);
      std::size_t space = text.find(' ');
      if (space != std::string::npos) {
        m_strUrl = text.substr(0, space);
        m_strCaFile = text.substr(space + 1, text.find_last_not_of("\r\n") - space);
      }
    }
    if (stream != nullptr) std::fclose(stream);
  }
  ~CTokenEndpointProcess() {
    if (m_nPid > 0) {
      ::kill(m_nPid, SIGTERM);
      int status = 0;
      ::waitpid(m_nPid, &status, 0);
    }
  }
  std::string m_strUrl;
  std::string m_strCaFile;

 private:
  pid_t m_nPid = -1;
};

// The system's settings, but the CA file is the test's.
class CCaFileSettings final : public ISettings {
 public:
  explicit CCaFileSettings(std::string caFile) : m_strCaFile(std::move(caFile)) {}
  SettingState BindIP(std::string&) override { return SettingState::Missing; }
  std::string OdbcDriver() override { return {}; }
  std::string OdbcAttributes() override { return {}; }
  SettingState Value(const char* name, const char*, std::string& value) override {
    if (std::string(name) != "TlsCaFile" || m_strCaFile.empty()) return SettingState::Missing;
    value = m_strCaFile;
    return SettingState::Found;
  }

 private:
  std::string m_strCaFile;
};

struct CEndpointCase {
  CTokenEndpointProcess endpoint;
  CCaFileSettings settings;
  CPlatform platform = DefaultPlatform();

  explicit CEndpointCase(const std::vector<std::string>& options)
      : endpoint(options), settings(endpoint.m_strCaFile) {
    platform.pSettings = &settings;
  }
  bool Obtain(const std::string& secret, std::string& tokenOrError) {
    // A client id of its own per endpoint: the process-wide cache must not answer instead.
    COAuthRequest request{endpoint.m_strUrl, "varnel-app", secret, "https://outlook.office365.com/.default", ""};
    std::string token;
    std::string error;
    bool obtained = ObtainOAuthToken(platform, request, 10s, token, error, false);
    tokenOrError = obtained ? token : error;
    return obtained;
  }
};

}  // namespace

TEST(OAuthTokenEndpointTest, GrantIsCachedAndARefusalCarriesTheEndpointsWords) {
  CEndpointCase c({"--expires-in", "3600"});
  ASSERT_FALSE(c.endpoint.m_strUrl.empty());
  std::string outcome;
  EXPECT_TRUE(c.Obtain("s3cret&value=1", outcome)) << outcome;
  EXPECT_EQ(outcome, "token-1");
  EXPECT_TRUE(c.Obtain("s3cret&value=1", outcome)) << outcome;
  EXPECT_EQ(outcome, "token-1");
  EXPECT_FALSE(c.Obtain("wrong", outcome));
  EXPECT_EQ(outcome, "invalid_client: AADSTS7000215: Invalid client secret provided.");
}

TEST(OAuthTokenEndpointTest, ShortLivedTokenIsRequestedAgain) {
  // 200 s is inside the 5-minute renewal margin: every call asks anew.
  CEndpointCase c({"--expires-in", "200"});
  std::string outcome;
  EXPECT_TRUE(c.Obtain("s3cret&value=1", outcome)) << outcome;
  EXPECT_EQ(outcome, "token-1");
  EXPECT_TRUE(c.Obtain("s3cret&value=1", outcome)) << outcome;
  EXPECT_EQ(outcome, "token-2");
}

TEST(OAuthTokenEndpointTest, EndpointWithoutTlsIsRefused) {
  CEndpointCase c({"--plain"});
  ASSERT_EQ(c.endpoint.m_strUrl.rfind("http://", 0), 0u);
  std::string outcome;
  EXPECT_FALSE(c.Obtain("s3cret&value=1", outcome));
  EXPECT_EQ(outcome, "the token endpoint is not TLS: only https:// URLs are used");
  // Named https://, the plain endpoint fails the handshake.
  c.endpoint.m_strUrl.replace(0, 4, "https");
  EXPECT_FALSE(c.Obtain("s3cret&value=1", outcome));
  EXPECT_EQ(outcome.rfind("TLS with the token endpoint failed: ", 0), 0u) << outcome;
}
