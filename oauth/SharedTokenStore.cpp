#include "oauth/SharedTokenStore.h"

#include <cstdio>
#include <utility>

namespace varnel {
namespace {

constexpr const char* kHeader = "varnel-token 1";

// FNV-1a over the length-prefixed fields, from the given starting value.
std::uint64_t HashOf(const COAuthRequest& request, std::uint64_t basis) {
  std::uint64_t hash = basis;
  auto add = [&hash](const std::string& text) {
    std::string field = std::to_string(text.size()) + ':' + text;
    for (unsigned char c : field) {
      hash ^= c;
      hash *= 0x100000001b3ULL;
    }
  };
  for (const std::string* part : {&request.strTokenUrl, &request.strClientId, &request.strScope, &request.strClientSecret}) {
    add(*part);
  }
  return hash;
}

std::string Hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::int64_t Seconds(std::chrono::system_clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
}

}  // namespace

CSharedTokenStore::CSharedTokenStore(ISharedFolder& folder, WallClock clock) : m_folder(folder), m_clock(std::move(clock)) {}

std::string CSharedTokenStore::FileName(const COAuthRequest& request) {
  return "token-" + Hex(HashOf(request, 0xcbf29ce484222325ULL));
}

std::string CSharedTokenStore::CheckOf(const COAuthRequest& request) {
  return Hex(HashOf(request, 0x84222325cbf29ce4ULL));
}

std::string CSharedTokenStore::Format(const std::string& check, std::int64_t expires, const std::string& token) {
  return std::string(kHeader) + "\n" + check + "\n" + std::to_string(expires) + "\n" + token + "\n";
}

bool CSharedTokenStore::Parse(const std::string& content, const std::string& check, std::int64_t& expires,
                                std::string& token) {
  std::string lines[4];
  std::size_t at = 0;
  for (std::string& line : lines) {
    std::size_t end = content.find('\n', at);
    if (end == std::string::npos) return false;
    line = content.substr(at, end - at);
    at = end + 1;
  }
  if (at != content.size() || lines[0] != kHeader || lines[1] != check || lines[3].empty()) return false;
  const std::string& number = lines[2];
  // Only the form Format writes: digits, no leading zero.
  if (number.empty() || number.size() > 18 || number.find_first_not_of("0123456789") != std::string::npos ||
      (number.size() > 1 && number[0] == '0')) {
    return false;
  }
  expires = std::stoll(number);
  // A token is sent as it stands in a SASL line: nothing that could break the line.
  for (unsigned char c : lines[3]) {
    if (c <= ' ' || c == 0x7f) return false;
  }
  token = lines[3];
  return true;
}

bool CSharedTokenStore::Fetch(const COAuthRequest& request, IOAuthTokenFetcher& endpoint,
                              std::chrono::steady_clock::time_point deadline, COAuthToken& token, std::string& error,
                              bool* fromFile) {
  if (fromFile != nullptr) *fromFile = false;
  std::string name = FileName(request);
  std::string check = CheckOf(request);
  std::unique_ptr<ILockedFile> file = m_folder.Lock(name, deadline, error);
  if (!file) {
    error = "shared token cache: " + error;
    return false;
  }
  std::string content;
  if (!file->Read(content, error)) {
    error = "shared token cache: " + error;
    return false;
  }
  std::int64_t expires = 0;
  std::string stored;
  std::int64_t now = Seconds(m_clock());
  if (Parse(content, check, expires, stored) &&
      expires - now > std::chrono::duration_cast<std::chrono::seconds>(kRenewalMargin).count()) {
    token.strAccessToken = stored;
    token.nExpiresIn = expires - now;
    if (fromFile != nullptr) *fromFile = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mapFileOfToken[stored] = name;
    return true;
  }
  // The lock stays held while the endpoint answers: the others wait for this answer.
  auto askedAt = m_clock();
  if (!endpoint.Fetch(request, deadline, token, error)) return false;
  if (token.nExpiresIn < 0 || token.strAccessToken.empty()) {
    file->Replace("", error);
    return true;
  }
  std::string written;
  if (!file->Replace(Format(check, Seconds(askedAt) + token.nExpiresIn, token.strAccessToken), written)) {
    // This process has its token; the others will ask for their own.
    return true;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_mapFileOfToken[token.strAccessToken] = name;
  return true;
}

void CSharedTokenStore::Invalidate(const std::string& token, std::chrono::steady_clock::time_point deadline) {
  std::string name;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_mapFileOfToken.find(token);
    if (found == m_mapFileOfToken.end()) return;
    name = found->second;
    m_mapFileOfToken.erase(found);
  }
  std::string error;
  std::unique_ptr<ILockedFile> file = m_folder.Lock(name, deadline, error);
  if (!file) return;
  std::string content;
  if (!file->Read(content, error)) return;
  // Another process may have put a newer token there since: only the refused one goes.
  std::string::size_type last = content.rfind('\n', content.size() >= 2 ? content.size() - 2 : 0);
  if (last != std::string::npos && content.compare(last + 1, std::string::npos, token + "\n") == 0) {
    file->Replace("", error);
  }
}

}  // namespace varnel
