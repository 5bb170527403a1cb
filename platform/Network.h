// Sockets and host names, as the delivery worker needs them. Every wait is bounded by
// the caller's time-out; failures are reported as results, never thrown.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace varnel {

enum class IoResult { Ok, Timeout, Closed, Error };

// One connected byte stream. A TLS layer can wrap it (decorator) without the dialogue
// knowing.
class IConnection {
 public:
  virtual ~IConnection() = default;
  // Hands every byte to the network; each wait for progress lasts at most timeout.
  virtual IoResult SendAll(const char* data, std::size_t size, std::chrono::milliseconds timeout) = 0;
  // Reads what has arrived, at most max bytes, waiting at most timeout for the first one.
  virtual IoResult Receive(char* buffer, std::size_t max, std::size_t& received,
                           std::chrono::milliseconds timeout) = 0;
  // The local end as an SMTP address literal ("[192.0.2.7]", "[IPv6:2001:db8::7]",
  // RFC 5321 section 4.1.3); empty when unknown.
  virtual std::string LocalAddressLiteral() const { return {}; }
  // On a TLS connection: the protocol version ("TLSv1.3") and the cipher suite as the
  // library names them; empty on a plain one.
  virtual std::string TlsVersion() const { return {}; }
  virtual std::string TlsCipher() const { return {}; }
};

// A client socket bound to a local address, not yet connected.
class IClientSocket {
 public:
  virtual ~IClientSocket() = default;
  // Connects to host (DNS name or dotted address) and port. On success the connection
  // is returned and the socket object must not be used again.
  virtual std::unique_ptr<IConnection> Connect(const std::string& host, int port,
                                               std::chrono::milliseconds timeout,
                                               std::string& error) = 0;
};

class INetwork {
 public:
  virtual ~INetwork() = default;
  // Starts the socket library for the calling thread.
  virtual bool StartSocketLibrary() = 0;
  // The local host name as the host name query returns it; empty when the query fails.
  virtual std::string QueryHostName() = 0;
  // The host's fully qualified domain name as the system knows it (its canonical name);
  // empty when unknown.
  virtual std::string QueryFullyQualifiedName() { return {}; }
  // IPv4 addresses of a host name, network byte order, in the lookup's order.
  virtual bool LookupIPv4(const std::string& host, std::vector<std::uint32_t>& addresses) = 0;
  // Creates a stream socket bound to the dotted local address (empty: any address), port 0.
  virtual std::unique_ptr<IClientSocket> CreateSocket(const std::string& bindAddress,
                                                      std::string& error) = 0;
};

// Dotted text of an IPv4 address in network byte order.
std::string DottedAddress(std::uint32_t address);

}  // namespace varnel
