// Sockets over Windows Sockets 2: non-blocking sockets waited on with select, so that
// connecting, sending and receiving are each bounded by the caller's time-out. Every
// object that uses Winsock holds a use of the library, so that Winsock is cleaned up
// when the last socket of the last call is gone.
#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>

#include "platform/Deadline.h"
#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/System.h"
#include "platform/windows/WindowsHeaders.h"
// After the socket headers it builds on.
#include "platform/RelayAddress.h"

namespace varnel {
namespace {

// The library's own count of Winsock users, kept under one lock. The last WSACleanup of
// a process closes every socket it has, and Wine counts WSAStartup and WSACleanup without
// a lock: calls that start and clean up on several threads at once could drop that count
// to zero and close the sockets of other calls. Here the system sees one start while any
// object of this library needs Winsock, and one cleanup after the last.
std::mutex& WinsockLock() {
  static std::mutex lock;
  return lock;
}
int g_nWinsockUsers = 0;  // guarded by WinsockLock()

// One use of Winsock, released by its owner.
class CWinsockSession {
 public:
  CWinsockSession() {
    std::lock_guard<std::mutex> lock(WinsockLock());
    if (g_nWinsockUsers == 0) {
      WSADATA data{};
      m_nError = ::WSAStartup(MAKEWORD(2, 2), &data);
      if (m_nError != 0) return;
    }
    ++g_nWinsockUsers;
    m_bStarted = true;
  }
  ~CWinsockSession() {
    if (!m_bStarted) return;
    std::lock_guard<std::mutex> lock(WinsockLock());
    if (--g_nWinsockUsers == 0) ::WSACleanup();
  }
  CWinsockSession(CWinsockSession&& other) noexcept : m_bStarted(other.m_bStarted), m_nError(other.m_nError) {
    other.m_bStarted = false;
  }
  CWinsockSession& operator=(CWinsockSession&&) = delete;
  bool IsStarted() const { return m_bStarted; }
  // Why the start failed (WSAGetLastError cannot tell before a start).
  int Error() const { return m_nError; }

 private:
  bool m_bStarted = false;
  int m_nError = 0;
};

// Owns one socket. Declared after the session in its owners, so it is closed before
// the session that it needs ends.
class CSocketHandle {
 public:
  explicit CSocketHandle(SOCKET socket = INVALID_SOCKET) : m_hSocket(socket) {}
  ~CSocketHandle() {
    if (m_hSocket != INVALID_SOCKET) ::closesocket(m_hSocket);
  }
  CSocketHandle(CSocketHandle&& other) noexcept : m_hSocket(other.m_hSocket) { other.m_hSocket = INVALID_SOCKET; }
  CSocketHandle& operator=(CSocketHandle&& other) noexcept {
    if (this != &other) {
      if (m_hSocket != INVALID_SOCKET) ::closesocket(m_hSocket);
      m_hSocket = other.m_hSocket;
      other.m_hSocket = INVALID_SOCKET;
    }
    return *this;
  }
  SOCKET Get() const { return m_hSocket; }

 private:
  SOCKET m_hSocket;
};

std::string ErrorText(int code) {
  char text[512] = {};
  DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
  std::string result = "Windows Sockets error " + std::to_string(code);
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
  if (length > 0) result.append(": ").append(text, length);
  return result;
}

bool IsConnectionLost(int code) {
  return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN || code == WSAENETRESET;
}

using Clock = std::chrono::steady_clock;

enum class WaitResult { Ready, Failed, Timeout, Error };

// Waits until the socket is readable (or writable) or has failed, at most until the
// deadline. Winsock reports a failed connect in the exception set, not the write set.
WaitResult WaitFor(SOCKET socket, bool forWrite, Clock::time_point deadline) {
  long long left = std::min<long long>(TimeLeft(deadline).count(), INT_MAX);
  timeval limit{};
  limit.tv_sec = static_cast<long>(left / 1000);
  limit.tv_usec = static_cast<long>((left % 1000) * 1000);
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  int count = ::select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, &limit);
  if (count == SOCKET_ERROR) return WaitResult::Error;
  if (count == 0) return WaitResult::Timeout;
  return FD_ISSET(socket, &failed) ? WaitResult::Failed : WaitResult::Ready;
}

bool ResolveWithin(const std::string& name, Clock::time_point deadline, CRelayAddress& relay, std::string& error) {
  // The lookup may outlive its caller: it keeps a Winsock use of its own.
  auto lookup = [name](CRelayAddress& found) {
    CWinsockSession session;
    return session.IsStarted() ? LookUpRelay(name, found, WSAHOST_NOT_FOUND) : session.Error();
  };
  return ResolveRelayWithin(lookup, deadline, relay, error, [](int code) { return ErrorText(code); });
}

class CWindowsConnection final : public IConnection {
 public:
  CWindowsConnection(CWinsockSession session, CSocketHandle socket)
      : m_session(std::move(session)), m_socket(std::move(socket)) {}

  IoResult SendAll(const char* data, std::size_t size, std::chrono::milliseconds timeout) override {
    while (size > 0) {
      int chunk = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
      int sent = ::send(m_socket.Get(), data, chunk, 0);
      if (sent > 0) {
        data += sent;
        size -= static_cast<std::size_t>(sent);
        continue;
      }
      int code = ::WSAGetLastError();
      if (sent == SOCKET_ERROR && code == WSAEWOULDBLOCK) {
        switch (WaitFor(m_socket.Get(), true, Clock::now() + timeout)) {
          case WaitResult::Ready: continue;
          case WaitResult::Timeout: return IoResult::Timeout;
          case WaitResult::Failed: return IoResult::Closed;
          case WaitResult::Error: return IoResult::Error;
        }
      }
      return IsConnectionLost(code) ? IoResult::Closed : IoResult::Error;
    }
    return IoResult::Ok;
  }

  IoResult Receive(char* buffer, std::size_t max, std::size_t& received,
                   std::chrono::milliseconds timeout) override {
    received = 0;
    auto deadline = Clock::now() + timeout;
    int chunk = static_cast<int>(std::min<std::size_t>(max, INT_MAX));
    for (;;) {
      int count = ::recv(m_socket.Get(), buffer, chunk, 0);
      if (count > 0) {
        received = static_cast<std::size_t>(count);
        return IoResult::Ok;
      }
      if (count == 0) return IoResult::Closed;
      int code = ::WSAGetLastError();
      if (code != WSAEWOULDBLOCK) return IsConnectionLost(code) ? IoResult::Closed : IoResult::Error;
      switch (WaitFor(m_socket.Get(), false, deadline)) {
        case WaitResult::Ready:
        case WaitResult::Failed:
          continue;  // recv tells what arrived: data, the end or the error
        case WaitResult::Timeout: return IoResult::Timeout;
        case WaitResult::Error: return IoResult::Error;
      }
    }
  }

  std::string LocalAddressLiteral() const override {
    sockaddr_storage local{};
    int length = sizeof local;
    if (::getsockname(m_socket.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return {};
    return AddressLiteral(local);
  }

 private:
  CWinsockSession m_session;
  CSocketHandle m_socket;
};

class CWindowsClientSocket final : public IClientSocket {
 public:
  CWindowsClientSocket(CWinsockSession session, CSocketHandle socket)
      : m_session(std::move(session)), m_socket(std::move(socket)) {}

  std::unique_ptr<IConnection> Connect(const std::string& host, int port,
                                       std::chrono::milliseconds timeout,
                                       std::string& error) override {
    if (port <= 0 || port > 65535) {
      error = "port out of range";
      return nullptr;
    }
    // Resolving and connecting share the one time-out.
    auto deadline = Clock::now() + timeout;
    // A dotted IPv4 address, an IPv6 address (with or without brackets), or a name.
    std::string name = UnbracketedHost(host);
    CRelayAddress target;
    if (!ParseAddressLiteral(name, target) && !ResolveWithin(name, deadline, target, error)) return nullptr;
    target.SetPort(port);
    if (target.IsIPv6()) {
      // A relay reachable only over IPv6: the socket bound for IPv4 cannot reach it, so a
      // socket of the relay's family takes its place, on any local address.
      CSocketHandle socket6(::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP));
      u_long nonBlocking = 1;
      if (socket6.Get() == INVALID_SOCKET || ::ioctlsocket(socket6.Get(), FIONBIO, &nonBlocking) != 0) {
        error = ErrorText(::WSAGetLastError());
        return nullptr;
      }
      ::SetHandleInformation(reinterpret_cast<HANDLE>(socket6.Get()), HANDLE_FLAG_INHERIT, 0);
      m_socket = std::move(socket6);
    }
    SOCKET socket = m_socket.Get();
    if (::connect(socket, target.Get(), target.nLength) == SOCKET_ERROR) {
      int code = ::WSAGetLastError();
      if (code != WSAEWOULDBLOCK) {
        error = ErrorText(code);
        return nullptr;
      }
      WaitResult waited = WaitFor(socket, true, deadline);
      if (waited == WaitResult::Timeout) {
        error = "connect timed out";
        return nullptr;
      }
      if (waited == WaitResult::Error) {
        error = ErrorText(::WSAGetLastError());
        return nullptr;
      }
      int socketError = 0;
      int length = sizeof socketError;
      if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socketError), &length) != 0) {
        error = ErrorText(::WSAGetLastError());
        return nullptr;
      }
      if (socketError != 0 || waited == WaitResult::Failed) {
        error = ErrorText(socketError != 0 ? socketError : WSAECONNREFUSED);
        return nullptr;
      }
    }
    // The dialogue writes short commands and waits for each reply: never hold one back
    // for the acknowledgement of the previous segment.
    BOOL noDelay = TRUE;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    return std::make_unique<CWindowsConnection>(std::move(m_session), std::move(m_socket));
  }

 private:
  CWinsockSession m_session;
  CSocketHandle m_socket;
};

class CWindowsNetwork final : public INetwork {
 public:
  bool StartSocketLibrary() override {
    CWinsockSession session;
    return session.IsStarted();
  }

  std::string QueryHostName() override {
    // A fixed name for hosts whose own name must not be resolved (tests, sandboxes).
    std::string overridden = EnvironmentValue("VARNEL_HOSTNAME");
    if (!overridden.empty()) return overridden;
    CWinsockSession session;
    if (!session.IsStarted()) return {};
    char name[1000] = {};
    if (::gethostname(name, 999) != 0) return {};
    return name;
  }

  // The computer's DNS name with its primary suffix, as the system keeps it (no lookup).
  std::string QueryFullyQualifiedName() override {
    std::string overridden = EnvironmentValue("VARNEL_HOSTNAME");
    if (!overridden.empty()) return overridden.find('.') != std::string::npos ? overridden : std::string();
    char name[1000] = {};
    DWORD size = sizeof name;
    if (!::GetComputerNameExA(ComputerNameDnsFullyQualified, name, &size)) return {};
    std::string qualified(name, size < sizeof name ? size : sizeof name - 1);
    return qualified.find('.') != std::string::npos ? qualified : std::string();
  }

  bool LookupIPv4(const std::string& host, std::vector<std::uint32_t>& addresses) override {
    addresses.clear();
    if (host.empty()) return false;
    CWinsockSession session;
    if (!session.IsStarted()) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET) continue;
      std::uint32_t address = reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
      if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
    }
    ::freeaddrinfo(found);
    return !addresses.empty();
  }

  std::unique_ptr<IClientSocket> CreateSocket(const std::string& bindAddress,
                                              std::string& error) override {
    CWinsockSession session;
    if (!session.IsStarted()) {
      error = ErrorText(session.Error());
      return nullptr;
    }
    CSocketHandle socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (socket.Get() == INVALID_SOCKET) {
      error = ErrorText(::WSAGetLastError());
      return nullptr;
    }
    // The server process may start other programs; they must not inherit the relay
    // connection and keep it open after the call.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(socket.Get()), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket.Get(), FIONBIO, &nonBlocking) != 0) {
      error = ErrorText(::WSAGetLastError());
      return nullptr;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = 0;
    local.sin_addr.s_addr = ::htonl(INADDR_ANY);
    if (!bindAddress.empty() && ::inet_pton(AF_INET, bindAddress.c_str(), &local.sin_addr) != 1) {
      error = "invalid local address";
      return nullptr;
    }
    if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      error = ErrorText(::WSAGetLastError());
      return nullptr;
    }
    return std::make_unique<CWindowsClientSocket>(std::move(session), std::move(socket));
  }
};

}  // namespace

std::string DottedAddress(std::uint32_t address) {
  // Formatted by hand: inet_ntop needs a started Winsock, and this is pure arithmetic.
  const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
  return std::to_string(bytes[0]) + '.' + std::to_string(bytes[1]) + '.' + std::to_string(bytes[2]) + '.' +
         std::to_string(bytes[3]);
}

INetwork& DefaultNetwork() {
  static CWindowsNetwork network;
  return network;
}

}  // namespace varnel
