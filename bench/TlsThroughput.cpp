// Throughput of the TLS layer alone: one STARTTLS session into the benchmark sink, then
// the given number of megabytes of base64-shaped lines in 64 KiB sends (as the DATA
// stream hands them over), timed from the first data byte to the relay's 250.
// Usage: tls_throughput PORT MEGABYTES CA_FILE  -> prints "<MB/s> <handshake ms>"
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/Tls.h"

namespace {

using namespace varnel;
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kTimeout(30000);

// Reads replies up to the last line of one (a code followed by a space).
bool Expect(IConnection& connection, const char* code) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    std::size_t end = pending.find("\r\n");
    if (end != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 2);
      if (line.size() >= 4 && line[3] == ' ') return line.compare(0, 3, code) == 0;
      continue;
    }
    std::size_t received = 0;
    if (connection.Receive(buffer, sizeof buffer, received, kTimeout) != IoResult::Ok) return false;
    pending.append(buffer, received);
  }
}

bool Command(IConnection& connection, const std::string& line, const char* code) {
  return connection.SendAll(line.data(), line.size(), kTimeout) == IoResult::Ok && Expect(connection, code);
}

int Fail(const char* what) {
  std::fprintf(stderr, "tls_throughput: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return Fail("usage: tls_throughput PORT MEGABYTES CA_FILE");
  std::string error;
  auto socket = DefaultNetwork().CreateSocket("", error);
  auto plain = socket ? socket->Connect("127.0.0.1", std::atoi(argv[1]), kTimeout, error) : nullptr;
  if (!plain || !Expect(*plain, "220") || !Command(*plain, "EHLO bench\r\n", "250") ||
      !Command(*plain, "STARTTLS\r\n", "220"))
    return Fail("no STARTTLS dialogue with the sink");
  CTlsSettings settings;
  settings.strPeerName = "127.0.0.1";
  settings.strCaFile = argv[3];
  auto start = Clock::now();
  auto secure = DefaultTlsClient().Handshake(std::move(plain), settings, kTimeout, error);
  double handshake = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!secure) return Fail(error.c_str());
  if (!Command(*secure, "EHLO bench\r\n", "250") || !Command(*secure, "MAIL FROM:<a@example.com>\r\n", "250") ||
      !Command(*secure, "RCPT TO:<b@example.com>\r\n", "250") || !Command(*secure, "DATA\r\n", "354"))
    return Fail("envelope refused");

  std::string block;
  std::string line(76, 'Q');
  line += "\r\n";
  while (block.size() + line.size() <= 64 * 1024) block += line;
  const std::size_t total = static_cast<std::size_t>(std::atof(argv[2]) * 1e6);
  start = Clock::now();
  for (std::size_t sent = 0; sent < total; sent += block.size())
    if (secure->SendAll(block.data(), block.size(), kTimeout) != IoResult::Ok) return Fail("send failed");
  if (!Command(*secure, ".\r\n", "250")) return Fail("message refused");
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  Command(*secure, "QUIT\r\n", "221");
  std::printf("%.1f %.2f\n", static_cast<double>(total) / 1e6 / seconds, handshake);
  return 0;
}
