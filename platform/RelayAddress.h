// Addresses as both socket layers read and write them: the relay's, a literal IPv4 or
// IPv6 address (an IPv6 one with or without brackets) or a name, whose lookup prefers
// IPv4; and the local end's as an SMTP address literal. Include it after the platform's
// socket headers (netdb.h and arpa/inet.h, or ws2tcpip.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace varnel {

struct CRelayAddress {
  sockaddr_storage address{};
  int nLength = 0;  // 0 until an address is set

  bool IsIPv6() const { return address.ss_family == AF_INET6; }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&address); }
  void SetPort(int port) {
    std::uint16_t network = htons(static_cast<std::uint16_t>(port));
    if (IsIPv6()) {
      reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = network;
    } else {
      reinterpret_cast<sockaddr_in*>(&address)->sin_port = network;
    }
  }
};

// The host without the brackets of an IPv6 literal: "[::1]" is "::1".
inline std::string UnbracketedHost(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
  return host;
}

// The SMTP address literal of an address (RFC 5321 section 4.1.3): "[192.0.2.7]",
// "[IPv6:2001:db8::7]", and an IPv4-mapped IPv6 address in its IPv4 form. Empty for
// another family or when it cannot be formatted.
inline std::string AddressLiteral(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) == nullptr) return {};
    return "[" + std::string(text) + "]";
  }
  if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      if (inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text) == nullptr) return {};
      return "[" + std::string(text) + "]";
    }
    if (inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) == nullptr) return {};
    return "[IPv6:" + std::string(text) + "]";
  }
  return {};
}

// Sets relay from a literal address; false for anything else (a name to look up).
inline bool ParseAddressLiteral(const std::string& host, CRelayAddress& relay) {
  relay = CRelayAddress();
  auto* v4 = reinterpret_cast<sockaddr_in*>(&relay.address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&relay.address);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    relay.nLength = sizeof(sockaddr_in);
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    relay.nLength = sizeof(sockaddr_in6);
    return true;
  }
  relay = CRelayAddress();
  return false;
}

// Sets relay from a lookup's list: its first IPv4 entry, or its first IPv6 entry when it
// has none. False when it has neither.
inline bool ChooseAddress(const addrinfo* list, CRelayAddress& relay) {
  const addrinfo* chosen = nullptr;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET) {
      chosen = entry;
      break;
    }
    if (entry->ai_family == AF_INET6 && chosen == nullptr) chosen = entry;
  }
  relay = CRelayAddress();
  if (chosen == nullptr || chosen->ai_addrlen > sizeof relay.address) return false;
  std::memcpy(&relay.address, chosen->ai_addr, chosen->ai_addrlen);
  relay.nLength = static_cast<int>(chosen->ai_addrlen);
  return true;
}

// Looks a name up (both families) and chooses its address; 0, the resolver's error code,
// or notFound when the name has no address of either family.
inline int LookUpRelay(const std::string& name, CRelayAddress& relay, int notFound) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (rc == 0 && !ChooseAddress(found, relay)) rc = notFound;
  if (found != nullptr) freeaddrinfo(found);
  return rc;
}

enum class LookupOutcome { Found, Failed, TimedOut, NoThread };

// The resolver has no time-out of its own that the caller controls: lookup(relay), which
// returns 0 or an error code, runs on a thread of its own, and a caller whose time is up
// at deadline leaves it to finish alone.
template <typename Lookup>
LookupOutcome LookUpWithin(Lookup lookup, std::chrono::steady_clock::time_point deadline, CRelayAddress& relay,
                           int& code) {
  struct CState {
    std::mutex mutex;
    std::condition_variable done;
    bool bFinished = false;
    int nResult = 0;
    CRelayAddress relay;
  };
  auto state = std::make_shared<CState>();
  try {
    std::thread([state, lookup] {
      CRelayAddress found;
      int rc = lookup(found);
      std::lock_guard<std::mutex> lock(state->mutex);
      state->nResult = rc;
      state->relay = found;
      state->bFinished = true;
      state->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return LookupOutcome::NoThread;
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  if (!state->done.wait_until(lock, deadline, [&] { return state->bFinished; })) return LookupOutcome::TimedOut;
  code = state->nResult;
  if (code != 0) return LookupOutcome::Failed;
  relay = state->relay;
  return LookupOutcome::Found;
}

// LookUpWithin with its outcome as text: false and error set unless an address was found.
// describe turns a lookup's error code into text.
template <typename Lookup, typename Describe>
bool ResolveRelayWithin(Lookup lookup, std::chrono::steady_clock::time_point deadline, CRelayAddress& relay,
                        std::string& error, Describe describe) {
  int code = 0;
  switch (LookUpWithin(lookup, deadline, relay, code)) {
    case LookupOutcome::Found:
      return true;
    case LookupOutcome::Failed:
      error = describe(code);
      return false;
    case LookupOutcome::TimedOut:
      error = "name resolution timed out";
      return false;
    case LookupOutcome::NoThread:
      break;
  }
  error = "cannot start the resolver";
  return false;
}

}  // namespace varnel
