// EHLO replies from an untrusted relay: any bytes must parse without a crash, and the
// mechanisms listed must be upper case and unique.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "smtp/SMTPCapabilities.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  varnel::CSMTPCapabilities capabilities = varnel::CSMTPCapabilities::Parse(text);
  for (std::size_t i = 0; i < capabilities.arrAuthMechanisms.size(); ++i) {
    for (char c : capabilities.arrAuthMechanisms[i]) {
      if (c >= 'a' && c <= 'z') std::abort();
    }
    for (std::size_t j = i + 1; j < capabilities.arrAuthMechanisms.size(); ++j) {
      if (capabilities.arrAuthMechanisms[i] == capabilities.arrAuthMechanisms[j]) std::abort();
    }
  }
  return 0;
}
