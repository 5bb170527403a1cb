#include "oauth/OAuthTokenCache.h"

#include <utility>
#include <vector>

namespace varnel {
namespace {

// The secret is part of the key: a caller who names a client but not its secret must not
// receive the token another caller's secret obtained.
std::string KeyOf(const COAuthRequest& request) {
  std::string key;
  for (const std::string* part : {&request.strTokenUrl, &request.strClientId, &request.strScope, &request.strClientSecret}) {
    key += std::to_string(part->size());
    key += ':';
    key += *part;
  }
  return key;
}

}  // namespace

COAuthTokenCache::COAuthTokenCache(Clock clock) : m_clock(std::move(clock)) {}

bool COAuthTokenCache::Usable(const CEntry& entry, std::chrono::steady_clock::time_point now) const {
  return !entry.strToken.empty() && entry.bCacheable && now + kRenewalMargin < entry.expiresAt;
}

void COAuthTokenCache::TrimLocked(std::chrono::steady_clock::time_point now) {
  if (m_mapEntries.size() < kMaxEntries) return;
  std::vector<std::string> idle;
  for (const auto& [key, entry] : m_mapEntries) {
    if (entry->bFetching || entry.use_count() > 1) continue;
    if (!Usable(*entry, now)) {
      idle.insert(idle.begin(), key);  // expired ones go first
    } else {
      idle.push_back(key);
    }
  }
  for (const std::string& key : idle) {
    if (m_mapEntries.size() < kMaxEntries) break;
    m_mapEntries.erase(key);
  }
}

bool COAuthTokenCache::Obtain(const COAuthRequest& request, IOAuthTokenFetcher& fetcher,
                              std::chrono::steady_clock::time_point deadline, bool forceFresh, std::string& token,
                              std::string& error, Source* source) {
  std::string key = KeyOf(request);
  std::unique_lock<std::mutex> lock(m_mutex);
  std::shared_ptr<CEntry> entry;
  auto found = m_mapEntries.find(key);
  if (found != m_mapEntries.end()) {
    entry = found->second;
  } else {
    TrimLocked(m_clock());
    entry = std::make_shared<CEntry>();
    m_mapEntries.emplace(key, entry);
  }

  if (!forceFresh && Usable(*entry, m_clock())) {
    token = entry->strToken;
    if (source != nullptr) *source = Source::Cache;
    return true;
  }

  if (entry->bFetching) {
    // Another call is asking the endpoint: its answer, good or bad, is this call's too.
    std::uint64_t awaited = entry->nGeneration + 1;
    bool finished = m_changed.wait_until(lock, deadline, [&] { return entry->nGeneration >= awaited; });
    if (!finished) {
      error = "timed out waiting for the token request of another call";
      return false;
    }
    if (source != nullptr) *source = Source::SharedRequest;
    if (!entry->bLastSucceeded) {
      error = entry->strLastError;
      return false;
    }
    token = entry->strLastToken;
    return true;
  }

  entry->bFetching = true;
  auto askedAt = m_clock();
  lock.unlock();
  COAuthToken fetched;
  std::string fetchError;
  bool succeeded = false;
  try {
    succeeded = fetcher.Fetch(request, deadline, fetched, fetchError);
  } catch (...) {
    fetchError = "the token request failed unexpectedly";
  }
  if (succeeded && fetched.strAccessToken.empty()) {
    succeeded = false;
    fetchError = "no access token came";
  }
  lock.lock();

  entry->bFetching = false;
  ++entry->nGeneration;
  entry->bLastSucceeded = succeeded;
  entry->strLastError = succeeded ? std::string() : fetchError;
  entry->strLastToken = succeeded ? fetched.strAccessToken : std::string();
  if (succeeded) {
    // The lifetime counts from the moment of asking, which errs on the early side. A token
    // of unknown lifetime serves this call and those waiting for it, and is not kept.
    entry->strToken = fetched.strAccessToken;
    entry->bCacheable = fetched.nExpiresIn >= 0;
    entry->expiresAt = askedAt + std::chrono::seconds(fetched.nExpiresIn < 0 ? 0 : fetched.nExpiresIn);
  }
  m_changed.notify_all();
  if (source != nullptr) *source = Source::Request;
  if (!succeeded) {
    error = fetchError;
    return false;
  }
  token = fetched.strAccessToken;
  return true;
}

void COAuthTokenCache::Invalidate(const std::string& token) {
  if (token.empty()) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& [key, entry] : m_mapEntries) {
    if (entry->strToken == token) {
      entry->strToken.clear();
      entry->bCacheable = false;
    }
  }
}

}  // namespace varnel
