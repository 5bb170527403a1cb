// Where relay profiles are kept: a TOML file (varnel.conf in the settings folder) on
// POSIX, registry keys under HKLM\Software\Corvane\Profiles on Windows. The store only
// hands over what it holds, typed as the store typed it; which names and values a profile
// may hold is decided above it. Secrets are read from files or commands named there.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Settings.h"

namespace varnel {

// One value of a stored profile, as its store typed it.
struct CStoredValue {
  enum class Kind { Text, Number, Boolean, List, Secret };
  Kind eKind = Kind::Text;
  std::string strText;                 // Text; Secret: the unprotected secret
  std::int64_t nNumber = 0;            // Number
  bool bValue = false;                 // Boolean
  std::vector<std::string> arrItems;   // List (of texts)
  std::string strProblem;              // non-empty: the value exists but cannot be used (why)
};

struct CStoredProfile {
  std::string strName;
  // Where it was read, for messages: "file /etc/varnel/varnel.conf", a registry key.
  std::string strOrigin;
  // The registry has no booleans and its users write numbers as text too: a Number 0 or 1
  // stands for a Boolean, and decimal Text for a Number.
  bool bLooseTypes = false;
  std::vector<std::pair<std::string, CStoredValue>> arrValues;
};

class IProfileStore {
 public:
  virtual ~IProfileStore() = default;
  // The profile `name`: Found; Missing when the store holds no such profile (or there is
  // no store at all); Error, with `error` naming the store, when it exists but cannot be
  // read or parsed.
  virtual SettingState Read(const std::string& name, CStoredProfile& profile, std::string& error) = 0;
  // The names of every profile; Missing when there is no store.
  virtual SettingState Names(std::vector<std::string>& names, std::string& error) = 0;
  // The store itself, for messages.
  virtual std::string Origin() = 0;
};

IProfileStore& DefaultProfileStore();

// A secret kept in a file: its first line. Refused, with the reason in `error`, when the
// file cannot be read, is not a regular file, belongs to another user or is open to group
// or others (as ssh treats keys).
bool ReadSecretFile(const std::string& path, std::string& value, std::string& error);
// A secret printed by a command (POSIX: run by /bin/sh -c): the first line of its output.
// Fails when it runs past `limit`, prints more than 64 KiB, or exits other than 0. The
// output is never logged or quoted in `error`.
bool RunSecretCommand(const std::string& command, std::chrono::milliseconds limit, std::string& value,
                      std::string& error);

}  // namespace varnel
