#include "platform/Platform.h"

#include "platform/ProfileStore.h"

namespace varnel {

CPlatform DefaultPlatform() {
  CPlatform platform;
  platform.pNetwork = &DefaultNetwork();
  platform.pSettings = &DefaultSettings();
  platform.pFileSystem = &DefaultFileSystem();
  platform.pDatabase = &DefaultDatabaseClient();
  platform.pTls = &DefaultTlsClient();
  platform.pProfiles = &DefaultProfileStore();
  return platform;
}

}  // namespace varnel
