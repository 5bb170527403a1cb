// Unpredictable tokens for names that must never repeat or be guessed: multipart
// boundaries and message identifiers.
#pragma once

#include <cstddef>
#include <string>

namespace varnel {

// bytes random bytes from the system's source, as lower-case hexadecimal.
std::string RandomHex(std::size_t bytes);

}  // namespace varnel
