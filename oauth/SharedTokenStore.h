// Tokens shared by the processes of one account: each token is kept in a locked 0600
// file of a private folder. A process that needs a token takes the file's lock, uses the
// token it finds there while it is good, and otherwise asks the endpoint itself and leaves
// the answer for the others; processes that start together queue on the lock, so they
// make one request between them. The file is named by a hash of (endpoint, client, scope,
// secret) and holds a second hash of the same to tell a stranger's entry apart. Tokens of
// unknown lifetime are not shared.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "oauth/OAuthTokenFetcher.h"
#include "platform/SharedFile.h"

namespace varnel {

class CSharedTokenStore {
 public:
  using WallClock = std::function<std::chrono::system_clock::time_point()>;
  // A shared token is handed out only while it has this long to live, the same margin the
  // in-process cache keeps, so that the two never disagree about a token.
  static constexpr std::chrono::minutes kRenewalMargin{5};

  explicit CSharedTokenStore(ISharedFolder& folder, WallClock clock = &std::chrono::system_clock::now);

  // The file's token for request while it is good, else one from endpoint, left in the file.
  // fromFile (when given) says which.
  bool Fetch(const COAuthRequest& request, IOAuthTokenFetcher& endpoint, std::chrono::steady_clock::time_point deadline,
             COAuthToken& token, std::string& error, bool* fromFile = nullptr);
  // A relay refused token: the file that holds it is emptied, so that no process uses it
  // again. A token this process never took from a file, or one replaced since, is left alone.
  void Invalidate(const std::string& token, std::chrono::steady_clock::time_point deadline);

  // The file content for a token ending at expires (seconds since 1970), and its reading
  // (false for anything that is not such a content, or not for check).
  static std::string Format(const std::string& check, std::int64_t expires, const std::string& token);
  static bool Parse(const std::string& content, const std::string& check, std::int64_t& expires, std::string& token);
  // The file name and the check line of a request.
  static std::string FileName(const COAuthRequest& request);
  static std::string CheckOf(const COAuthRequest& request);

 private:
  ISharedFolder& m_folder;
  WallClock m_clock;
  std::mutex m_mutex;
  std::map<std::string, std::string> m_mapFileOfToken;
};

// The endpoint's fetcher seen through a store, for the in-process cache to call.
class CSharedTokenFetcher final : public IOAuthTokenFetcher {
 public:
  CSharedTokenFetcher(CSharedTokenStore& store, IOAuthTokenFetcher& endpoint) : m_store(store), m_endpoint(endpoint) {}
  bool Fetch(const COAuthRequest& request, std::chrono::steady_clock::time_point deadline, COAuthToken& token,
             std::string& error) override {
    return m_store.Fetch(request, m_endpoint, deadline, token, error, &m_bFromFile);
  }
  // The last token came from another process's request.
  bool FromFile() const { return m_bFromFile; }

 private:
  CSharedTokenStore& m_store;
  IOAuthTokenFetcher& m_endpoint;
  bool m_bFromFile = false;
};

}  // namespace varnel
