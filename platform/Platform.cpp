#include "platform/Platform.h"

namespace varnel {

CPlatform DefaultPlatform() {
  CPlatform platform;
  platform.pNetwork = &DefaultNetwork();
  platform.pSettings = &DefaultSettings();
  platform.pFileSystem = &DefaultFileSystem();
  platform.pDatabase = &DefaultDatabaseClient();
  platform.pTls = &DefaultTlsClient();
  return platform;
}

}  // namespace varnel
