// Sockets over the POSIX API: non-blocking descriptors waited on with poll, so that
// connecting, sending and receiving are each bounded by the caller's time-out.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "platform/Deadline.h"
#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/RelayAddress.h"
#include "platform/System.h"

namespace varnel {
namespace {

// Owns one descriptor; closing cannot throw.
class CDescriptor {
 public:
  explicit CDescriptor(int fd = -1) : m_hSocket(fd) {}
  ~CDescriptor() {
    if (m_hSocket >= 0) ::close(m_hSocket);
  }
  CDescriptor(CDescriptor&& other) noexcept : m_hSocket(other.Release()) {}
  CDescriptor& operator=(CDescriptor&& other) noexcept {
    if (this != &other) {
      if (m_hSocket >= 0) ::close(m_hSocket);
      m_hSocket = other.Release();
    }
    return *this;
  }
  int Get() const { return m_hSocket; }
  int Release() {
    int fd = m_hSocket;
    m_hSocket = -1;
    return fd;
  }

 private:
  int m_hSocket;
};

int PollMilliseconds(std::chrono::milliseconds timeout) {
  auto count = timeout.count();
  if (count < 0) return 0;
  if (count > 0x7FFFFFFF) return 0x7FFFFFFF;
  return static_cast<int>(count);
}

// Waits for events on fd; false on time-out. Retries when a signal interrupts the wait,
// counting the time already spent.
bool WaitFor(int fd, short events, std::chrono::milliseconds timeout, short& revents) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, PollMilliseconds(TimeLeft(deadline)));
    if (ready > 0) {
      revents = entry.revents;
      return true;
    }
    if (ready == 0) return false;
    if (errno != EINTR) {
      revents = POLLERR;
      return true;
    }
  }
}

bool ResolveWithin(const std::string& host, std::chrono::steady_clock::time_point deadline, CRelayAddress& relay,
                   std::string& error) {
  auto lookup = [host](CRelayAddress& found) { return LookUpRelay(host, found, EAI_NONAME); };
  return ResolveRelayWithin(lookup, deadline, relay, error, [](int code) { return std::string(::gai_strerror(code)); });
}

class CPosixConnection final : public IConnection {
 public:
  explicit CPosixConnection(CDescriptor socket) : m_socket(std::move(socket)) {}

  IoResult SendAll(const char* data, std::size_t size, std::chrono::milliseconds timeout) override {
    while (size > 0) {
      ssize_t sent = ::send(m_socket.Get(), data, size, MSG_NOSIGNAL);
      if (sent > 0) {
        data += sent;
        size -= static_cast<std::size_t>(sent);
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        short revents = 0;
        if (!WaitFor(m_socket.Get(), POLLOUT, timeout, revents)) return IoResult::Timeout;
        if ((revents & (POLLERR | POLLNVAL)) != 0) return IoResult::Error;
        if ((revents & POLLHUP) != 0) return IoResult::Closed;
        continue;
      }
      return (errno == EPIPE || errno == ECONNRESET) ? IoResult::Closed : IoResult::Error;
    }
    return IoResult::Ok;
  }

  IoResult Receive(char* buffer, std::size_t max, std::size_t& received,
                   std::chrono::milliseconds timeout) override {
    received = 0;
    for (;;) {
      ssize_t count = ::recv(m_socket.Get(), buffer, max, 0);
      if (count > 0) {
        received = static_cast<std::size_t>(count);
        return IoResult::Ok;
      }
      if (count == 0) return IoResult::Closed;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        short revents = 0;
        if (!WaitFor(m_socket.Get(), POLLIN, timeout, revents)) return IoResult::Timeout;
        if ((revents & POLLNVAL) != 0) return IoResult::Error;
        continue;  // readable, hung up or in error: recv tells which
      }
      return errno == ECONNRESET ? IoResult::Closed : IoResult::Error;
    }
  }

  std::string LocalAddressLiteral() const override {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_socket.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return {};
    return AddressLiteral(local);
  }

 private:
  CDescriptor m_socket;
};

class CPosixClientSocket final : public IClientSocket {
 public:
  explicit CPosixClientSocket(CDescriptor socket) : m_socket(std::move(socket)) {}

  std::unique_ptr<IConnection> Connect(const std::string& host, int port,
                                       std::chrono::milliseconds timeout,
                                       std::string& error) override {
    if (port <= 0 || port > 65535) {
      error = "port out of range";
      return nullptr;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    // A dotted IPv4 address, an IPv6 address (with or without brackets), or a name.
    std::string name = UnbracketedHost(host);
    CRelayAddress target;
    if (!ParseAddressLiteral(name, target) && !ResolveWithin(name, deadline, target, error)) return nullptr;
    target.SetPort(port);
    if (target.IsIPv6()) {
      // A relay reachable only over IPv6: the socket bound for IPv4 cannot reach it, so a
      // socket of the relay's family takes its place, on any local address.
      CDescriptor socket6(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      if (socket6.Get() < 0) {
        error = std::strerror(errno);
        return nullptr;
      }
      m_socket = std::move(socket6);
    }
    // Resolving and connecting share the one time-out.
    timeout = TimeLeft(deadline);
    int fd = m_socket.Get();
    int rc = ::connect(fd, target.Get(), static_cast<socklen_t>(target.nLength));
    if (rc != 0 && errno != EINPROGRESS) {
      error = std::strerror(errno);
      return nullptr;
    }
    if (rc != 0) {
      short revents = 0;
      if (!WaitFor(fd, POLLOUT, timeout, revents)) {
        error = "connect timed out";
        return nullptr;
      }
      int socketError = 0;
      socklen_t length = sizeof socketError;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &socketError, &length) != 0 || socketError != 0) {
        error = std::strerror(socketError != 0 ? socketError : errno);
        return nullptr;
      }
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return std::make_unique<CPosixConnection>(std::move(m_socket));
  }

 private:
  CDescriptor m_socket;
};

class CPosixNetwork final : public INetwork {
 public:
  bool StartSocketLibrary() override { return true; }

  // Queried once per process and kept; a failed query is retried by the next caller.
  std::string QueryHostName() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_strHostName.empty()) return m_strHostName;
    // A fixed name for hosts whose own name must not be resolved (tests, sandboxes).
    std::string name = EnvironmentValue("VARNEL_HOSTNAME");
    if (name.empty()) {
      char buffer[1000] = {};
      if (::gethostname(buffer, 999) != 0) return {};
      buffer[999] = '\0';
      name = buffer;
    }
    m_strHostName = name;
    return m_strHostName;
  }

  // The canonical name of the host name's lookup (what "hostname -f" shows), kept once
  // found; a failed lookup is tried again by the next caller.
  std::string QueryFullyQualifiedName() override {
    // A host named by VARNEL_HOSTNAME is not looked up.
    std::string overridden = EnvironmentValue("VARNEL_HOSTNAME");
    if (!overridden.empty()) return overridden.find('.') != std::string::npos ? overridden : std::string();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (!m_strQualifiedName.empty()) return m_strQualifiedName;
    }
    std::string name = QueryHostName();
    if (name.empty()) return {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    std::string canonical;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0) {
      if (found != nullptr && found->ai_canonname != nullptr) canonical = found->ai_canonname;
      ::freeaddrinfo(found);
    }
    if (canonical.find('.') == std::string::npos) return {};
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strQualifiedName = canonical;
    return m_strQualifiedName;
  }

  bool LookupIPv4(const std::string& host, std::vector<std::uint32_t>& addresses) override {
    addresses.clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET) continue;
      std::uint32_t address = reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
      bool seen = false;
      for (std::uint32_t known : addresses) seen = seen || known == address;
      if (!seen) addresses.push_back(address);
    }
    ::freeaddrinfo(found);
    return !addresses.empty();
  }

  std::unique_ptr<IClientSocket> CreateSocket(const std::string& bindAddress,
                                              std::string& error) override {
    CDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.Get() < 0) {
      error = std::strerror(errno);
      return nullptr;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = 0;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bindAddress.empty() && ::inet_pton(AF_INET, bindAddress.c_str(), &local.sin_addr) != 1) {
      error = "invalid local address";
      return nullptr;
    }
    if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      error = std::strerror(errno);
      return nullptr;
    }
    return std::make_unique<CPosixClientSocket>(std::move(socket));
  }

 private:
  std::mutex m_mutex;
  std::string m_strHostName;
  std::string m_strQualifiedName;
};

}  // namespace

std::string DottedAddress(std::uint32_t address) {
  in_addr value{};
  value.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &value, text, sizeof text);
  return text;
}

INetwork& DefaultNetwork() {
  static CPosixNetwork network;
  return network;
}

}  // namespace varnel
