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

#include "oauth/OAuthTokens.h"
#include "platform/Platform.h"
#include "tests/unit/TokenEndpointProcess.h"

using namespace varnel;
using varnel::test::CTokenEndpointProcess;
using namespace std::chrono_literals;

namespace {

struct CEndpointCase {
  CTokenEndpointProcess endpoint;
  CPlatform platform = DefaultPlatform();

  explicit CEndpointCase(const std::vector<std::string>& options) : endpoint(options) {}
  bool Obtain(const std::string& secret, std::string& tokenOrError) {
    // A client id of its own per endpoint: the process-wide cache must not answer instead.
    // The endpoint's certificate chains to the tests' CA.
    COAuthRequest request{endpoint.m_strUrl, "varnel-app", secret, "https://outlook.office365.com/.default", "",
                          endpoint.m_strCaFile};
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
