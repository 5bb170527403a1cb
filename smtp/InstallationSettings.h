// The installation's settings that a send uses, read once before the delivery worker
// starts, with one rule for all of them: a value that cannot be read or does not parse
// stops the call with a message naming the setting and where it came from. Nothing falls
// back to a default, so a mistyped setting never sends less protected than meant.
#pragma once

#include <string>

#include "platform/Settings.h"

namespace varnel {

struct CInstallationSettings {
  std::string strBindIP;           // empty: any local address
  int nTlsMode = -1;               // -1: not set (chosen by port and credentials)
  int nAllowPlainSignIn = -1;      // -1: not set (as 0)
  std::string strTlsCaFile;        // empty: the system's trust store
  std::string strHeloName;         // empty: chosen from the host's name or address
  std::string strOAuthTokenUrl;
  std::string strOAuthClientId;
  std::string strOAuthClientSecret;
  std::string strOAuthScope;
  // The relays ("host" or "host:port", separated by "," or ";") that a token asked for with
  // the OAuthClientSecret setting may be sent to; empty: none.
  std::string strOAuthRelays;
  int nRetries = -1;               // rounds after the first; -1: not set (none)
  int nRetryDelay = -1;            // seconds before the second round; -1: not set (5)
  int nMaxSeconds = -1;            // bound on the whole call; -1: not set (none)
};

// Reads every setting above; false with `error` set at the first one at fault, and
// `tlsFault` (when given) true if that is one of the TLS settings.
bool ReadInstallationSettings(ISettings& settings, CInstallationSettings& values, std::string& error,
                              bool* tlsFault = nullptr);

// The TlsCaFile setting alone (empty when not set): the file it names must be readable.
bool ReadTlsCaFileSetting(ISettings& settings, std::string& value, std::string& error);

// A value as a message shows it, in double quotes: printable ASCII as written, anything
// else (and `"`, `\`) as \xHH, cut after 60 bytes with "...".
std::string ShownValue(const std::string& text);

// A TlsMode value as written: one digit 0-3, blanks and line breaks around it allowed.
bool ParseTlsModeSetting(const std::string& text, int& mode);
// A setting of one digit from low to high, blanks and line breaks around it allowed.
bool ParseDigitSetting(const std::string& text, int low, int high, int& value);

}  // namespace varnel
