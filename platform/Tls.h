// TLS client sessions over an established connection (RFC 8446 / RFC 5246, at least TLS 1.2),
// for STARTTLS, implicit TLS and HTTPS. The layer wraps an IConnection, so the protocol
// code above it never knows which library encrypts. Failures are reported as text, never
// thrown.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/Network.h"

namespace varnel {

struct CTlsSettings {
  // The peer as the caller named it: a DNS name (sent as SNI and matched against the
  // certificate's DNS names) or an IPv4/IPv6 address literal (matched against IP entries).
  std::string strPeerName;
  // true: the certificate must chain to a trusted root and name the peer.
  bool bVerify = true;
  // A PEM bundle of further trusted roots (empty: the system's store only).
  std::string strCaFile;
};

class ITlsClient {
 public:
  virtual ~ITlsClient() = default;
  // Runs the client handshake over plain, bounded as a whole by timeout. On success the
  // returned connection owns plain and encrypts everything sent and received; on failure
  // it is null and error names the reason ("certificate verify failed: hostname
  // mismatch", "handshake failed: wrong version number", ...).
  virtual std::unique_ptr<IConnection> Handshake(std::unique_ptr<IConnection> plain,
                                                 const CTlsSettings& settings,
                                                 std::chrono::milliseconds timeout,
                                                 std::string& error) = 0;
  // The library in use and its version, for --version and the log.
  virtual std::string LibraryVersion() = 0;
};

// The words both TLS layers use for a handshake that the connection itself ended.
inline std::string TransportFailure(IoResult result) {
  switch (result) {
    case IoResult::Timeout: return "timed out";
    case IoResult::Closed: return "connection lost";
    case IoResult::Error: return "connection error";
    case IoResult::Ok: break;
  }
  return "connection error";
}

}  // namespace varnel
