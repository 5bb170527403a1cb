// The process-wide token cache over a fetcher of the test's own and a clock the test
// moves: the renewal margin, one request for many concurrent calls, refused tokens.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "oauth/OAuthTokenCache.h"

using namespace varnel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class CCountingFetcher final : public IOAuthTokenFetcher {
 public:
  bool Fetch(const COAuthRequest&, Clock::time_point deadline, COAuthToken& token, std::string& error) override {
    int number = ++m_nCalls;
    if (m_delay.count() > 0) std::this_thread::sleep_until(std::min(deadline, Clock::now() + m_delay));
    if (!m_strError.empty()) {
      error = m_strError;
      return false;
    }
    token.strAccessToken = "token-" + std::to_string(number);
    token.nExpiresIn = m_nExpiresIn;
    return true;
  }
  std::atomic<int> m_nCalls{0};
  std::int64_t m_nExpiresIn = 3600;
  std::chrono::milliseconds m_delay{0};
  std::string m_strError;
};

struct CCacheFixture {
  Clock::time_point now = Clock::now();
  COAuthTokenCache cache{[this] { return now; }};
  CCountingFetcher fetcher;
  COAuthRequest request{"https://idp.example/token", "client", "secret", "scope", ""};

  std::string Obtain(bool forceFresh = false, COAuthTokenCache::Source* source = nullptr) {
    std::string token;
    std::string error;
    bool obtained = cache.Obtain(request, fetcher, Clock::now() + 5s, forceFresh, token, error, source);
    return obtained ? token : "error: " + error;
  }
};

}  // namespace

TEST(OAuthTokenCacheTest, TokenIsReusedUntilFiveMinutesBeforeItsEnd) {
  struct {
    std::int64_t nExpiresIn;
    std::chrono::seconds later;
    int nCallsAfter;
  } const cases[] = {
      {3600, 0s, 1},    {3600, 3299s, 1}, {3600, 3300s, 2}, {3600, 4000s, 2},
      {301, 0s, 1},     {300, 0s, 2},     {60, 0s, 2},      {-1, 0s, 2},  // no lifetime given: not kept
  };
  for (const auto& c : cases) {
    CCacheFixture f;
    f.fetcher.m_nExpiresIn = c.nExpiresIn;
    EXPECT_EQ(f.Obtain(), "token-1");
    f.now += c.later;
    COAuthTokenCache::Source source;
    std::string second = f.Obtain(false, &source);
    EXPECT_EQ(f.fetcher.m_nCalls, c.nCallsAfter) << c.nExpiresIn << " s, " << c.later.count() << " s later";
    EXPECT_EQ(second, "token-" + std::to_string(c.nCallsAfter));
    EXPECT_EQ(source, c.nCallsAfter == 1 ? COAuthTokenCache::Source::Cache : COAuthTokenCache::Source::Request);
  }
}

TEST(OAuthTokenCacheTest, EightConcurrentCallsMakeOneRequest) {
  CCacheFixture f;
  f.fetcher.m_delay = 300ms;
  std::vector<std::string> tokens(8);
  std::vector<std::thread> threads;
  for (std::size_t n = 0; n < tokens.size(); ++n) threads.emplace_back([&, n] { tokens[n] = f.Obtain(); });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(f.fetcher.m_nCalls, 1);
  for (const std::string& token : tokens) EXPECT_EQ(token, "token-1");
}

TEST(OAuthTokenCacheTest, CallsWaitingForAFailedRequestShareItsErrorWithoutAskingAgain) {
  CCacheFixture f;
  f.fetcher.m_delay = 300ms;
  f.fetcher.m_strError = "invalid_client: bad secret";
  std::vector<std::string> outcomes(4);
  std::vector<std::thread> threads;
  for (std::size_t n = 0; n < outcomes.size(); ++n) threads.emplace_back([&, n] { outcomes[n] = f.Obtain(); });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(f.fetcher.m_nCalls, 1);
  for (const std::string& outcome : outcomes) EXPECT_EQ(outcome, "error: invalid_client: bad secret");
  f.fetcher.m_delay = 0ms;
  f.fetcher.m_strError.clear();
  EXPECT_EQ(f.Obtain(), "token-2");  // a failure is not kept
}

TEST(OAuthTokenCacheTest, AWaitingCallGivesUpAtItsOwnDeadline) {
  CCacheFixture f;
  f.fetcher.m_delay = 2000ms;
  std::thread first([&] { f.Obtain(); });
  while (f.fetcher.m_nCalls == 0) std::this_thread::sleep_for(1ms);
  std::string token;
  std::string error;
  auto start = Clock::now();
  EXPECT_FALSE(f.cache.Obtain(f.request, f.fetcher, Clock::now() + 100ms, false, token, error));
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_EQ(error, "timed out waiting for the token request of another call");
  first.join();
  EXPECT_EQ(f.fetcher.m_nCalls, 1);
}

TEST(OAuthTokenCacheTest, InvalidatedTokenIsReplacedByTheNextCall) {
  CCacheFixture f;
  EXPECT_EQ(f.Obtain(), "token-1");
  f.cache.Invalidate("some-other-token");
  EXPECT_EQ(f.Obtain(), "token-1");
  f.cache.Invalidate("token-1");
  EXPECT_EQ(f.Obtain(), "token-2");
  EXPECT_EQ(f.Obtain(), "token-2");
  EXPECT_EQ(f.fetcher.m_nCalls, 2);
}

TEST(OAuthTokenCacheTest, ForceFreshAsksTheEndpointDespiteAGoodToken) {
  CCacheFixture f;
  EXPECT_EQ(f.Obtain(), "token-1");
  EXPECT_EQ(f.Obtain(true), "token-2");
  EXPECT_EQ(f.Obtain(), "token-2");
}

TEST(OAuthTokenCacheTest, EachEndpointClientScopeAndSecretHasItsOwnToken) {
  CCacheFixture f;
  EXPECT_EQ(f.Obtain(), "token-1");
  for (std::string COAuthRequest::*member : {&COAuthRequest::strTokenUrl, &COAuthRequest::strClientId,
                                             &COAuthRequest::strScope, &COAuthRequest::strClientSecret}) {
    COAuthRequest saved = f.request;
    f.request.*member += "-other";
    int before = f.fetcher.m_nCalls;
    EXPECT_EQ(f.Obtain(), "token-" + std::to_string(before + 1));
    f.request = saved;
  }
  EXPECT_EQ(f.Obtain(), "token-1");
}
