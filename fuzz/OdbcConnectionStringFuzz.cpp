// Feeds arbitrary connection settings to the connection-string builder: it must never
// crash; a refusal says why and leaves no string behind; an accepted string must read
// back, by the rules of the driver it was made for, into exactly the values it was given.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/OdbcConnectionString.h"

namespace {

using varnel::OdbcDriverFamily;

// Reads KEY=value; pairs. Braced values end at a "}" that is not doubled ("}}" stands for
// one) in ODBC's rule, at the first "}" before ";" or the end in FreeTDS's; plain values
// end at ";". Nullopt when the text does not read as pairs.
std::optional<std::map<std::string, std::string>> ReadPairs(std::string_view text, OdbcDriverFamily family) {
  std::map<std::string, std::string> pairs;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t equals = text.find('=', i);
    if (equals == std::string_view::npos) return std::nullopt;
    std::string key(text.substr(i, equals - i));
    std::size_t j = equals + 1;
    std::string value;
    bool braced = j < text.size() && text[j] == '{' &&
                  !(key != "DRIVER" && key != "PWD" && family == OdbcDriverFamily::PostgreSQL) &&
                  family != OdbcDriverFamily::SQLite;
    if (key == "DRIVER" && j < text.size() && text[j] == '{') braced = true;
    if (braced) {
      ++j;
      bool verbatim = family == OdbcDriverFamily::FreeTDS && key != "DRIVER";
      for (;;) {
        if (j >= text.size()) return std::nullopt;
        if (text[j] == '}') {
          if (verbatim) {
            if (j + 1 == text.size() || text[j + 1] == ';') break;
          } else if (j + 1 < text.size() && text[j + 1] == '}') {
            value += '}';
            j += 2;
            continue;
          } else {
            break;
          }
        }
        value += text[j++];
      }
      ++j;
      if (j < text.size() && text[j] != ';') return std::nullopt;
    } else {
      std::size_t end = text.find(';', j);
      if (end == std::string_view::npos) end = text.size();
      value.assign(text.substr(j, end - j));
      j = end;
    }
    if (pairs.count(key) != 0) return std::nullopt;
    pairs[key] = value;
    i = j + 1;
  }
  return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the driver and integrated security; the rest, cut at 0xFF bytes,
  // gives server, database, user, password and the driver's own name.
  static const char* const kDrivers[] = {"ODBC Driver 18 for SQL Server", "FreeTDS", "PostgreSQL ANSI", "SQLite3"};
  std::vector<std::string> fields(5);
  std::size_t field = 0;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0xFF) {
      if (++field == fields.size()) break;
      continue;
    }
    fields[field] += static_cast<char>(data[i]);
  }
  varnel::CDatabaseProperties properties;
  properties.strDriver = (data[0] & 0x08) != 0 && !fields[4].empty() ? fields[4] : kDrivers[data[0] & 0x03];
  properties.bIntegrated = (data[0] & 0x04) != 0;
  properties.strServer = fields[0];
  properties.strDatabase = fields[1];
  properties.strUser = fields[2];
  properties.strPassword = fields[3];

  std::string text;
  std::string problem;
  if (!varnel::BuildOdbcConnectionString(properties, text, problem)) {
    if (problem.empty() || !text.empty()) __builtin_trap();
    return 0;
  }
  OdbcDriverFamily family = varnel::OdbcFamilyOf(properties.strDriver);
  if (family == OdbcDriverFamily::SQLite) return 0;  // a file name and StepAPI, read by the driver alone
  std::optional<std::map<std::string, std::string>> pairs = ReadPairs(text, family);
  if (!pairs) __builtin_trap();
  auto expect = [&](const char* key, const std::string& value) {
    auto found = pairs->find(key);
    if (found == pairs->end() || found->second != value) __builtin_trap();
  };
  expect("DRIVER", properties.strDriver);
  expect("SERVER", properties.strServer);
  expect("DATABASE", properties.strDatabase);
  if (!properties.bIntegrated) {
    expect("UID", properties.strUser);
    expect("PWD", properties.strPassword);
  }
  return 0;
}
