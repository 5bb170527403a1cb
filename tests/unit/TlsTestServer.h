// A TLS server on 127.0.0.1 for the tests of the TLS layer, played by OpenSSL on its own
// threads, and the throwaway PKI that tests/tls/make_pki.sh makes once per test run.
// The server greets with "220 ready\r\n" after the handshake, counts what it receives and,
// once the expected byte count is in, answers "ok <bytes> <sum of the bytes>\r\n".
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace varnel::test {

// The PKI's directory, made on first use and kept for the rest of the process.
inline const std::string& TestPkiDirectory() {
  static const std::string directory = [] {
    char pattern[] = "/tmp/varnel-pki.XXXXXX";
    std::string made = ::mkdtemp(pattern) != nullptr ? pattern : "";
    std::string script = std::string(VARNEL_TEST_DATA_DIR) + "/../tls/make_pki.sh";
    if (made.empty() || std::system((script + " " + made).c_str()) != 0) return std::string();
    return made;
  }();
  return directory;
}

struct CTlsServerOptions {
  enum class Kind {
    Tls,     // handshake, greet, count
    Plain,   // a plain SMTP greeting, no TLS
    Silent,  // accepts and never says a word
    Drop,    // accepts and closes at once
  };
  Kind eKind = Kind::Tls;
  // A certificate file of the PKI: good, wrong-name, expired, untrusted (the leaf alone) or
  // one of their -chain files (the leaf and its CA).
  std::string strCertificate = "good";
  int nMaxVersion = 0;                  // e.g. TLS1_1_VERSION; 0: what OpenSSL allows
  int nGreetingDelayMs = 0;
  bool bCloseAfterGreeting = false;  // close_notify and close after the greeting
  std::size_t nExpectBytes = 0;
};

class CTlsTestServer {
 public:
  explicit CTlsTestServer(CTlsServerOptions options) : m_options(std::move(options)) {
    m_hListen = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_hListen, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_hListen, 16);
    socklen_t length = sizeof address;
    ::getsockname(m_hListen, reinterpret_cast<sockaddr*>(&address), &length);
    m_nPort = ntohs(address.sin_port);
    if (m_options.eKind == CTlsServerOptions::Kind::Tls) m_pContext = MakeContext();
    m_acceptor = std::thread([this] { AcceptLoop(); });
  }

  ~CTlsTestServer() {
    m_bStop = true;
    ::shutdown(m_hListen, SHUT_RDWR);
    ::close(m_hListen);
    m_acceptor.join();
    for (std::thread& session : m_arrSessions) session.join();
    SSL_CTX_free(m_pContext);
  }

  CTlsTestServer(const CTlsTestServer&) = delete;
  CTlsTestServer& operator=(const CTlsTestServer&) = delete;

  int Port() const { return m_nPort; }

 private:
  SSL_CTX* MakeContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    std::string base = TestPkiDirectory() + "/";
    SSL_CTX_use_certificate_chain_file(context, (base + m_options.strCertificate + ".pem").c_str());
    SSL_CTX_use_PrivateKey_file(context, (base + "leaf.key").c_str(), SSL_FILETYPE_PEM);
    if (m_options.nMaxVersion != 0) {
      // Old protocol versions are off at OpenSSL's default security level.
      SSL_CTX_set_security_level(context, 0);
      SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
      SSL_CTX_set_max_proto_version(context, m_options.nMaxVersion);
    }
    return context;
  }

  void AcceptLoop() {
    for (;;) {
      int fd = ::accept(m_hListen, nullptr, nullptr);
      if (fd < 0 || m_bStop) {
        if (fd >= 0) ::close(fd);
        return;
      }
      m_arrSessions.emplace_back([this, fd] {
        Serve(fd);
        ::close(fd);
      });
    }
  }

  void WaitForStop() {
    while (!m_bStop) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  void Serve(int fd) {
    using Kind = CTlsServerOptions::Kind;
    if (m_options.eKind == Kind::Drop) return;
    if (m_options.eKind == Kind::Silent) return WaitForStop();
    if (m_options.eKind == Kind::Plain) {
      (void)::send(fd, "220 plain relay\r\n", 17, MSG_NOSIGNAL);
      return WaitForStop();
    }
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    SSL* ssl = SSL_new(m_pContext);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(m_options.nGreetingDelayMs));
      SSL_write(ssl, "220 ready\r\n", 11);
      if (m_options.bCloseAfterGreeting) {
        SSL_shutdown(ssl);
      } else {
        Count(ssl);
      }
    }
    SSL_free(ssl);
    ERR_clear_error();
  }

  void Count(SSL* ssl) {
    std::vector<unsigned char> buffer(64 * 1024);
    std::size_t total = 0;
    std::uint64_t sum = 0;
    while (total < m_options.nExpectBytes) {
      int count = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()));
      if (count <= 0) return;
      for (int i = 0; i < count; ++i) sum += buffer[static_cast<std::size_t>(i)];
      total += static_cast<std::size_t>(count);
    }
    std::string answer = "ok " + std::to_string(total) + " " + std::to_string(sum) + "\r\n";
    SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
    // Until the client is done with the session.
    char rest[256];
    while (SSL_read(ssl, rest, sizeof rest) > 0) {
    }
  }

  CTlsServerOptions m_options;
  SSL_CTX* m_pContext = nullptr;
  int m_hListen = -1;
  int m_nPort = 0;
  std::atomic<bool> m_bStop{false};
  std::thread m_acceptor;
  std::vector<std::thread> m_arrSessions;  // touched by the acceptor alone until it ends
};

}  // namespace varnel::test
