// The shared token file as another process (or anyone who could write the folder) left
// it: whatever is read back must be exactly what the writer makes of it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "oauth/SharedTokenStore.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::string check = "00112233aabbccdd";
  std::int64_t expires = 0;
  std::string token;
  if (varnel::CSharedTokenStore::Parse(content, check, expires, token)) {
    if (varnel::CSharedTokenStore::Format(check, expires, token) != content) std::abort();
  }
  return 0;
}
