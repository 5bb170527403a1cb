// The services of the host operating system that one procedure call uses, passed into
// the procedure as a bundle so that tests can replace any of them.
#pragma once

namespace varnel {

class INetwork;
class ISettings;
class IFileSystem;
class IDatabaseClient;
class ITlsClient;
class IProfileStore;

struct CPlatform {
  INetwork* pNetwork = nullptr;
  ISettings* pSettings = nullptr;
  IFileSystem* pFileSystem = nullptr;
  IDatabaseClient* pDatabase = nullptr;
  ITlsClient* pTls = nullptr;
  IProfileStore* pProfiles = nullptr;  // relay profiles; null: none
};

// The real services of this operating system (process-wide objects).
CPlatform DefaultPlatform();
INetwork& DefaultNetwork();
ISettings& DefaultSettings();
IFileSystem& DefaultFileSystem();
IDatabaseClient& DefaultDatabaseClient();
ITlsClient& DefaultTlsClient();

}  // namespace varnel
