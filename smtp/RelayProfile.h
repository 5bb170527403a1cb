// A relay profile: the relays, TLS, sender, credentials and limits a call may name by
// @profile instead of carrying them itself. Read from the store's neutral form with one
// rule for every key: an unknown key, a value of the wrong type or out of range, or a
// file that cannot be read refuses the profile with a message naming the key, the profile
// and where it is kept. Secrets are never part of the profile's text: they come from a
// file, a command, or (Windows) a DPAPI-protected value.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ProfileStore.h"
#include "smtp/SMTPChannel.h"

namespace varnel {

struct CRelayProfile {
  std::string strName;
  std::string strOrigin;              // where the store keeps it
  std::vector<CRelay> arrRelays;      // address: in order, port 0 where none is given
  std::int32_t nPort = 0;             // 0: not set
  std::int32_t nTlsMode = -1;         // -1: not set
  std::string strCaFile;
  std::string strHeloName;
  std::string strFrom;
  std::string strUsername;
  std::string strPasswordFile;
  std::string strPasswordCommand;
  std::string strStoredPassword;      // Windows: unprotected from its DPAPI value
  bool bPasswordStored = false;
  std::string strOAuthTokenUrl;
  std::string strOAuthClientId;
  std::string strOAuthClientSecretFile;
  std::string strStoredOAuthClientSecret;
  bool bOAuthClientSecretStored = false;
  std::string strOAuthScope;
  std::int32_t nTimeout = 0;          // seconds; 0: not set
  std::int32_t nRetries = -1;         // -1: not set
  std::int32_t nRetryDelay = -1;
  std::int32_t nMaxSeconds = -1;
  std::int32_t nPartialRecipients = -1;  // -1: not set, else 0 or 1
  bool bLocked = false;

  bool HasPassword() const { return !strPasswordFile.empty() || !strPasswordCommand.empty() || bPasswordStored; }
  bool HasOAuthClientSecret() const { return !strOAuthClientSecretFile.empty() || bOAuthClientSecretStored; }
  // "profile 'NAME' (file /etc/varnel/varnel.conf)", for messages.
  std::string Describe() const;
  // Where one key of it is kept: "key tls of profile 'NAME' (file ...)".
  std::string KeyOrigin(const char* key) const;
};

// Checks and converts a stored profile. False with `error` naming the key, the profile and
// the store; `tlsFault` true when that key is one of the TLS keys (tls, ca_file).
bool ParseRelayProfile(const CStoredProfile& stored, CRelayProfile& profile, std::string& error,
                       bool* tlsFault = nullptr);

// One relay as written: "host", "host:port" or "[v6 address]:port". With `strict` false
// (a call's @address) an entry whose ending is no port stays one host name, as before;
// with `strict` true it is an error (false).
bool ParseRelayEntry(const std::string& entry, bool strict, CRelay& relay);
// A call's @address: relays separated by "," or ";", each as ParseRelayEntry reads them.
std::vector<CRelay> ParseRelayList(const std::string& address);

// The profile's password (password_file, password_command run within `limit`, or the
// stored value); false with `error` naming the key and the profile.
bool ReadProfilePassword(const CRelayProfile& profile, std::chrono::milliseconds limit, std::string& value,
                         std::string& error);
// The OAuth client secret (oauth_client_secret_file or the stored value).
bool ReadProfileOAuthClientSecret(const CRelayProfile& profile, std::string& value, std::string& error);

// The secret files every profile of the store names (password_file,
// oauth_client_secret_file), each with what it is ("the password file of profile 'gmail'"),
// whether or not the profile is otherwise sound. False with error naming the store when it
// cannot be read.
bool ProfileSecretFiles(IProfileStore& store, std::vector<std::pair<std::string, std::string>>& files,
                        std::string& error);

}  // namespace varnel
