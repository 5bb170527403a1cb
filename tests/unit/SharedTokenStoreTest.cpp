// Tokens shared between processes through locked files of a private folder: each opener
// of the folder stands for one process. Real files in a folder of the test's own.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "oauth/SharedTokenStore.h"

using namespace varnel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class CEndpoint final : public IOAuthTokenFetcher {
 public:
  bool Fetch(const COAuthRequest&, Clock::time_point, COAuthToken& token, std::string& error) override {
    int number = ++m_nCalls;
    if (m_delay.count() > 0) std::this_thread::sleep_for(m_delay);
    if (m_bFail) {
      error = "invalid_client";
      return false;
    }
    token.strAccessToken = "token-" + std::to_string(number);
    token.nExpiresIn = m_nExpiresIn;
    return true;
  }
  std::atomic<int> m_nCalls{0};
  std::int64_t m_nExpiresIn = 3600;
  std::chrono::milliseconds m_delay{0};
  bool m_bFail = false;
};

struct SharedTokenStoreTest : ::testing::Test {
  void SetUp() override {
    char pattern[] = "/tmp/varnel-shared-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
    path = root + "/tokens";
  }
  void TearDown() override { std::filesystem::remove_all(root); }

  std::unique_ptr<ISharedFolder> Open() {
    std::string error;
    auto folder = OpenSharedFolder(path, error);
    EXPECT_TRUE(folder) << error;
    return folder;
  }
  // What one process obtains, "error: ..." when nothing.
  std::string Obtain(ISharedFolder& folder, const COAuthRequest& asked) {
    CSharedTokenStore shared(folder, [this] { return now; });
    COAuthToken token;
    std::string error;
    return shared.Fetch(asked, endpoint, Clock::now() + 5s, token, error) ? token.strAccessToken : "error: " + error;
  }

  std::string root;
  std::string path;
  CEndpoint endpoint;
  std::chrono::system_clock::time_point now = std::chrono::system_clock::now();
  COAuthRequest request{"https://idp.example/token", "client", "secret", "scope", ""};
};

}  // namespace

TEST_F(SharedTokenStoreTest, ProcessesShareOneTokenUntilFiveMinutesBeforeItsEnd) {
  auto first = Open();
  auto second = Open();
  EXPECT_EQ(Obtain(*first, request), "token-1");
  EXPECT_EQ(Obtain(*second, request), "token-1");
  now += 3294s;
  EXPECT_EQ(Obtain(*second, request), "token-1");
  now += 10s;  // inside the margin
  EXPECT_EQ(Obtain(*first, request), "token-2");
  EXPECT_EQ(endpoint.m_nCalls, 2);

  COAuthRequest otherSecret = request;
  otherSecret.strClientSecret = "guessed";
  EXPECT_EQ(Obtain(*second, otherSecret), "token-3");

  endpoint.m_nExpiresIn = -1;  // a lifetime not given: never shared
  COAuthRequest otherScope = request;
  otherScope.strScope = "other";
  EXPECT_EQ(Obtain(*first, otherScope), "token-4");
  EXPECT_EQ(Obtain(*second, otherScope), "token-5");

  endpoint.m_bFail = true;
  otherScope.strScope = "third";
  EXPECT_EQ(Obtain(*first, otherScope), "error: invalid_client");
  struct stat info {};
  ASSERT_EQ(::stat((path + "/" + CSharedTokenStore::FileName(request)).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(SharedTokenStoreTest, ParallelProcessesMakeOneRequest) {
  endpoint.m_delay = 200ms;
  std::vector<std::unique_ptr<ISharedFolder>> folders;
  for (int i = 0; i < 8; ++i) folders.push_back(Open());
  std::vector<std::string> tokens(folders.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    threads.emplace_back([&, i] { tokens[i] = Obtain(*folders[i], request); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(endpoint.m_nCalls, 1);
  for (const std::string& token : tokens) EXPECT_EQ(token, "token-1");
}

TEST_F(SharedTokenStoreTest, RefusedTokenIsDroppedUnlessAnotherProcessReplacedIt) {
  auto first = Open();
  auto second = Open();
  CSharedTokenStore one(*first, [this] { return now; });
  CSharedTokenStore two(*second, [this] { return now; });
  COAuthToken token;
  std::string error;
  ASSERT_TRUE(one.Fetch(request, endpoint, Clock::now() + 5s, token, error));
  ASSERT_TRUE(two.Fetch(request, endpoint, Clock::now() + 5s, token, error));
  ASSERT_EQ(token.strAccessToken, "token-1");
  one.Invalidate("token-1", Clock::now() + 5s);
  ASSERT_TRUE(two.Fetch(request, endpoint, Clock::now() + 5s, token, error));
  EXPECT_EQ(token.strAccessToken, "token-2");
  // The second process's refusal of token-1 comes late: token-2 stays for everyone.
  two.Invalidate("token-1", Clock::now() + 5s);
  ASSERT_TRUE(one.Fetch(request, endpoint, Clock::now() + 5s, token, error));
  EXPECT_EQ(token.strAccessToken, "token-2");
  EXPECT_EQ(endpoint.m_nCalls, 2);
}

TEST_F(SharedTokenStoreTest, FolderOpenToOthersOrALinkIsRefused) {
  ASSERT_TRUE(Open());
  ASSERT_EQ(::chmod(path.c_str(), 0750), 0);
  std::string error;
  EXPECT_FALSE(OpenSharedFolder(path, error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  ASSERT_EQ(::chmod(path.c_str(), 0700), 0);
  std::string link = root + "/link";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  EXPECT_FALSE(OpenSharedFolder(link, error));
  // A token file others can read is not used either.
  auto folder = Open();
  std::string file = path + "/" + CSharedTokenStore::FileName(request);
  EXPECT_EQ(Obtain(*folder, request), "token-1");
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  EXPECT_EQ(Obtain(*folder, request).rfind("error: shared token cache: ", 0), 0u);
}

TEST(SharedTokenFileTest, OnlyAWholeEntryForTheSameRequestIsRead) {
  const std::string check = "00112233aabbccdd";
  const std::string good = CSharedTokenStore::Format(check, 1700000000, "eyJ0eXAi.abc-_");
  std::int64_t expires = 0;
  std::string token;
  ASSERT_TRUE(CSharedTokenStore::Parse(good, check, expires, token));
  EXPECT_EQ(expires, 1700000000);
  EXPECT_EQ(token, "eyJ0eXAi.abc-_");
  const std::string bad[] = {
      "",
      good.substr(0, good.size() - 1),                                     // cut short
      good + "more\n",                                                     // a line too many
      "varnel-token 2\n" + good.substr(good.find('\n') + 1),               // another format
      CSharedTokenStore::Format("ffffffffffffffff", 1700000000, "tok"),  // another request
      CSharedTokenStore::Format(check, 1700000000, ""),
      CSharedTokenStore::Format(check, 1700000000, "tok en"),
      CSharedTokenStore::Format(check, 1700000000, "tok\ren"),
      "varnel-token 1\n" + check + "\n-5\ntok\n",
      "varnel-token 1\n" + check + "\n99999999999999999999\ntok\n",
  };
  for (const std::string& content : bad) EXPECT_FALSE(CSharedTokenStore::Parse(content, check, expires, token)) << content;
}

#endif
