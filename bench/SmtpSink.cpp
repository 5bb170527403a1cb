// A minimal SMTP sink for benchmarks: answers every command positively, discards the
// message data (read 64 KiB at a time) and serves each connection on its own thread.
// Prints its port on the first line of standard output. EHLO is answered with SIZE (no
// limit). With --tls CERT KEY it also offers STARTTLS (RFC 3207) and reads through
// OpenSSL after it.
// Usage: smtp_sink [PORT] [--tls CERT KEY]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

SSL_CTX* g_pTlsContext = nullptr;  // set once before the first connection

// The connection, in plain text or, after STARTTLS, through its TLS session.
struct CStream {
  int fd;
  SSL* ssl = nullptr;
  ~CStream() {
    if (ssl != nullptr) {
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    ::close(fd);
  }
  ssize_t Receive(char* buffer, std::size_t size) {
    if (ssl == nullptr) return ::recv(fd, buffer, size, 0);
    int count = SSL_read(ssl, buffer, static_cast<int>(size));
    return count > 0 ? count : -1;
  }
  void Send(const char* text) {
    if (ssl == nullptr) {
      (void)::send(fd, text, std::strlen(text), MSG_NOSIGNAL);
    } else {
      SSL_write(ssl, text, static_cast<int>(std::strlen(text)));
    }
  }
  bool StartTls() {
    ssl = SSL_new(g_pTlsContext);
    SSL_set_fd(ssl, fd);
    return SSL_accept(ssl) == 1;
  }
};

void Serve(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  CStream stream{fd};
  stream.Send("220 sink ready\r\n");
  std::vector<char> buffer(64 * 1024);
  std::string line;
  bool inData = false;
  int authStep = 0;
  // Last bytes of the data seen so far, to find the end-of-data line across reads.
  std::string tail;
  for (;;) {
    ssize_t count = stream.Receive(buffer.data(), buffer.size());
    if (count <= 0) break;
    std::size_t i = 0;
    while (i < static_cast<std::size_t>(count)) {
      if (inData) {
        std::string_view chunk(buffer.data() + i, static_cast<std::size_t>(count) - i);
        std::string probe = tail + std::string(chunk.substr(0, chunk.size() < 8 ? chunk.size() : 8));
        std::size_t end = probe.find("\r\n.\r\n");
        std::size_t consumed;
        if (end != std::string::npos) {
          consumed = end + 5 - tail.size();
        } else {
          std::size_t found = chunk.find("\r\n.\r\n");
          if (found == std::string_view::npos) {
            std::size_t keep = chunk.size() < 4 ? chunk.size() : 4;
            tail = (tail + std::string(chunk.substr(chunk.size() - keep)));
            if (tail.size() > 4) tail.erase(0, tail.size() - 4);
            i = static_cast<std::size_t>(count);
            continue;
          }
          consumed = found + 5;
        }
        i += consumed;
        inData = false;
        tail.clear();
        stream.Send("250 2.0.0 queued\r\n");
        continue;
      }
      char c = buffer[i++];
      if (c != '\n') {
        line += c;
        continue;
      }
      std::string command = line.substr(0, 4);
      for (char& ch : command) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      line.clear();
      if (authStep == 1) {
        authStep = 2;
        stream.Send("334 UGFzc3dvcmQ6\r\n");
      } else if (authStep == 2) {
        authStep = 0;
        stream.Send("235 2.7.0 ok\r\n");
      } else if (command == "DATA") {
        inData = true;
        tail = "\r\n";  // the DATA line's own end may precede an empty message
        stream.Send("354 go ahead\r\n");
      } else if (command == "QUIT") {
        stream.Send("221 bye\r\n");
        break;
      } else if (command == "EHLO") {
        // SIZE without a limit (RFC 1870), as real relays offer it: the client sizes its
        // message before MAIL, and the benchmark pays for that as users do.
        if (g_pTlsContext == nullptr) {
          stream.Send("250-sink\r\n250 SIZE 0\r\n");
        } else {
          stream.Send(stream.ssl == nullptr ? "250-sink\r\n250-STARTTLS\r\n250-SIZE 0\r\n250 8BITMIME\r\n"
                                            : "250-sink\r\n250-SIZE 0\r\n250 8BITMIME\r\n");
        }
      } else if (g_pTlsContext != nullptr && command == "STAR" && stream.ssl == nullptr) {
        stream.Send("220 go ahead\r\n");
        if (!stream.StartTls()) break;
        i = static_cast<std::size_t>(count);  // nothing may follow STARTTLS in clear
      } else if (command == "AUTH") {
        authStep = 1;
        stream.Send("334 VXNlcm5hbWU6\r\n");
      } else {
        stream.Send("250 ok\r\n");
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--tls") == 0 && i + 2 < argc) {
      g_pTlsContext = SSL_CTX_new(TLS_server_method());
      if (SSL_CTX_use_certificate_chain_file(g_pTlsContext, argv[i + 1]) != 1 ||
          SSL_CTX_use_PrivateKey_file(g_pTlsContext, argv[i + 2], SSL_FILETYPE_PEM) != 1) {
        ERR_print_errors_fp(stderr);
        return 1;
      }
      i += 2;
    } else {
      port = std::atoi(argv[i]);
    }
  }
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0) {
    std::perror("sink");
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  for (;;) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread(Serve, fd).detach();
  }
}
