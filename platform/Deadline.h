// Time left until a deadline, for the waits that a deadline bounds as a whole (a TLS
// handshake, a token request): never negative, so a deadline that has passed reads as
// zero, which the network layer takes as "do not wait".
#pragma once

#include <chrono>

namespace varnel {

inline std::chrono::milliseconds TimeLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? std::chrono::milliseconds(0) : left;
}

}  // namespace varnel
