#include "oauth/OAuthTokens.h"

#include <memory>
#include <mutex>

#include "oauth/OAuthTokenClient.h"
#include "oauth/OAuthTokenReply.h"
#include "oauth/SharedTokenStore.h"

namespace varnel {
namespace {

// The files shared with other processes, when they are in use.
struct CSharing {
  std::mutex mutex;
  bool bOn = false;
  std::string strFolder;
  std::string strFault;
  std::unique_ptr<ISharedFolder> pFolder;
  std::unique_ptr<CSharedTokenStore> pStore;
};

CSharing& Sharing() {
  static CSharing sharing;
  return sharing;
}

// The store when sharing is on and its folder can be used; null with error set when it is
// on and cannot; null with error empty when it is off.
CSharedTokenStore* SharedStore(std::string& error) {
  CSharing& sharing = Sharing();
  std::lock_guard<std::mutex> lock(sharing.mutex);
  error.clear();
  if (!sharing.bOn) return nullptr;
  if (!sharing.strFault.empty()) {
    error = "shared token cache: " + sharing.strFault;
    return nullptr;
  }
  if (!sharing.pStore) {
    std::string reason;
    sharing.pFolder = OpenSharedFolder(sharing.strFolder, reason);
    if (!sharing.pFolder) {
      error = "shared token cache: " + reason;
      return nullptr;
    }
    sharing.pStore = std::make_unique<CSharedTokenStore>(*sharing.pFolder);
  }
  return sharing.pStore.get();
}

}  // namespace

void ShareOAuthTokensThrough(const std::string& folder, const std::string& fault) {
  CSharing& sharing = Sharing();
  std::lock_guard<std::mutex> lock(sharing.mutex);
  sharing.bOn = true;
  sharing.strFolder = folder;
  sharing.strFault = fault;
  sharing.pStore.reset();
  sharing.pFolder.reset();
}

std::string OAuthTokenSharingFolder() {
  CSharing& sharing = Sharing();
  std::lock_guard<std::mutex> lock(sharing.mutex);
  return sharing.bOn ? sharing.strFolder : std::string();
}

std::string OAuthEndpointName(const std::string& url) {
  CHttpsUrl parsed;
  std::string ignored;
  if (ParseHttpsUrl(url, parsed, ignored)) return parsed.LogName();
  // Not an https URL: only its scheme is shown, as the rest could hold anything.
  std::size_t scheme = url.find("://");
  return scheme == std::string::npos || scheme > 16 ? std::string("(not a URL)") : url.substr(0, scheme + 3) + "...";
}

COAuthTokenCache& ProcessOAuthTokenCache() {
  static COAuthTokenCache cache;
  return cache;
}

bool ObtainOAuthToken(const CPlatform& platform, const COAuthRequest& request, std::chrono::milliseconds timeout,
                      std::string& token, std::string& error, bool forceFresh, const OAuthLogFunction& log) {
  std::string endpoint = OAuthEndpointName(request.strTokenUrl);
  auto deadline = std::chrono::steady_clock::now() + (timeout.count() > 0 ? timeout : std::chrono::milliseconds(0));
  COAuthTokenClient client(platform);
  COAuthTokenCache::Source source = COAuthTokenCache::Source::Request;
  token.clear();
  bool obtained = false;
  bool fromFile = false;
  std::string sharingError;
  if (CSharedTokenStore* store = SharedStore(sharingError)) {
    CSharedTokenFetcher shared(*store, client);
    obtained = ProcessOAuthTokenCache().Obtain(request, shared, deadline, forceFresh, token, error, &source);
    fromFile = source == COAuthTokenCache::Source::Request && shared.FromFile();
  } else if (sharingError.empty()) {
    obtained = ProcessOAuthTokenCache().Obtain(request, client, deadline, forceFresh, token, error, &source);
  } else {
    error = sharingError;
  }
  if (log) {
    const char* how = fromFile                                            ? "token shared by another process"
                      : source == COAuthTokenCache::Source::Cache           ? "cached token"
                      : source == COAuthTokenCache::Source::SharedRequest ? "token from another call's request"
                                                                          : "token requested";
    if (obtained) {
      log(std::string("OAuth ") + how + " from " + endpoint + (request.strScope.empty() ? "" : " for scope " + PrintablePeerText(request.strScope, 200)));
    } else {
      log("OAuth token from " + endpoint + " could not be obtained: " + error);
    }
  }
  return obtained;
}

void InvalidateOAuthToken(const std::string& token) {
  ProcessOAuthTokenCache().Invalidate(token);
  std::string ignored;
  if (CSharedTokenStore* store = SharedStore(ignored)) {
    store->Invalidate(token, std::chrono::steady_clock::now() + std::chrono::seconds(5));
  }
}

}  // namespace varnel
