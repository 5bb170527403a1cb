#include "platform/Random.h"

#include <random>

namespace varnel {

std::string RandomHex(std::size_t bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  // random_device reads the system's source (getrandom, rand_s); one per call keeps
  // concurrent sends independent without a shared engine to lock.
  std::random_device source;
  std::string text;
  text.reserve(bytes * 2);
  unsigned value = 0;
  for (std::size_t i = 0; i < bytes; ++i) {
    if (i % 4 == 0) value = source();
    unsigned byte = (value >> ((i % 4) * 8)) & 0xFF;
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace varnel
