// The TLS layer of this OS against a TLS server on 127.0.0.1 with a throwaway PKI: which
// certificates are accepted and the words of each refusal, the handshake's time bound,
// and the encrypted stream keeping the connection's semantics.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/CertificateNames.h"
#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/Tls.h"
#include "tests/unit/TlsTestServer.h"

using namespace varnel;
using namespace varnel::test;
using std::chrono::milliseconds;
using Kind = CTlsServerOptions::Kind;

namespace {

using Clock = std::chrono::steady_clock;

std::unique_ptr<IConnection> ConnectTo(int port) {
  std::string error;
  auto socket = DefaultNetwork().CreateSocket("", error);
  if (socket == nullptr) return nullptr;
  return socket->Connect("127.0.0.1", port, milliseconds(5000), error);
}

CTlsSettings Settings(std::string peer, bool verify = true) {
  CTlsSettings settings;
  settings.strPeerName = std::move(peer);
  settings.bVerify = verify;
  settings.strCaFile = TestPkiDirectory() + "/ca.pem";
  return settings;
}

std::unique_ptr<IConnection> Handshake(int port, const CTlsSettings& settings, std::string& error,
                                       milliseconds timeout = milliseconds(5000)) {
  auto plain = ConnectTo(port);
  if (plain == nullptr) {
    error = "no connection";
    return nullptr;
  }
  return DefaultTlsClient().Handshake(std::move(plain), settings, timeout, error);
}

std::string ReceiveLine(IConnection& connection, milliseconds timeout = milliseconds(5000)) {
  std::string line;
  char buffer[512];
  while (line.find('\n') == std::string::npos) {
    std::size_t received = 0;
    if (connection.Receive(buffer, sizeof buffer, received, timeout) != IoResult::Ok) break;
    line.append(buffer, received);
  }
  return line;
}

class TlsClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_FALSE(TestPkiDirectory().empty()) << "the test PKI could not be made"; }
};

struct CHandshakeCase {
  const char* pName;
  CTlsServerOptions server;
  std::string strPeer;
  bool bVerify;
  std::string strError;  // empty: the handshake succeeds
};

TEST_F(TlsClientTest, CertificatesAndProtocolsAreCheckedAsConfigured) {
  const CHandshakeCase cases[] = {
      {"good, by name", {}, "localhost", true, ""},
      {"good, by IPv4 address", {}, "127.0.0.1", true, ""},
      {"good, bracketed IPv6 address", {}, "[::1]", true, ""},
      {"name not in the certificate", {Kind::Tls, "wrong-name"}, "localhost", true,
       "certificate verify failed: hostname mismatch"},
      {"address not in the certificate", {}, "127.0.0.2", true, "certificate verify failed: IP address mismatch"},
      {"unknown issuer", {Kind::Tls, "untrusted"}, "localhost", true,
       "certificate verify failed: unable to get local issuer certificate"},
      {"unknown root sent along", {Kind::Tls, "untrusted-chain"}, "localhost", true,
       "certificate verify failed: self-signed certificate in certificate chain"},
      {"good, sent with its root", {Kind::Tls, "good-chain"}, "localhost", true, ""},
      {"expired", {Kind::Tls, "expired"}, "localhost", true, "certificate verify failed: certificate has expired"},
      {"verify off takes a wrong name", {Kind::Tls, "wrong-name"}, "localhost", false, ""},
      {"verify off takes an unknown issuer", {Kind::Tls, "untrusted"}, "127.0.0.1", false, ""},
      {"verify off takes an expired one", {Kind::Tls, "expired"}, "localhost", false, ""},
      {"TLS 1.1 at most", {Kind::Tls, "good", TLS1_1_VERSION}, "localhost", true,
       "handshake failed: tlsv1 alert protocol version"},
      {"plain SMTP instead of TLS", {Kind::Plain}, "localhost", true, "handshake failed: wrong version number"},
      {"peer closes at once", {Kind::Drop}, "localhost", true, "handshake failed: connection lost"},
      // Names come from the subjectAltName alone (RFC 9525): a certificate that has one is
      // matched against it only, one without any is refused whatever its common name.
      {"IP entry only, named by its address", {Kind::Tls, "ip-only"}, "127.0.0.1", true, ""},
      {"IP entry only, named by the common name", {Kind::Tls, "ip-only"}, "localhost", true,
       "certificate verify failed: hostname mismatch"},
      {"no subjectAltName, named by the common name", {Kind::Tls, "cn-only"}, "localhost", true,
       "certificate verify failed: hostname mismatch"},
      {"no subjectAltName, named by an address", {Kind::Tls, "cn-only"}, "127.0.0.1", true,
       "certificate verify failed: IP address mismatch"},
  };
  for (const CHandshakeCase& test : cases) {
    SCOPED_TRACE(test.pName);
    CTlsTestServer server(test.server);
    std::string error;
    auto secure = Handshake(server.Port(), Settings(test.strPeer, test.bVerify), error);
    if (test.strError.empty()) {
      ASSERT_NE(secure, nullptr) << error;
      EXPECT_EQ(ReceiveLine(*secure), "220 ready\r\n");
      EXPECT_EQ(secure->LocalAddressLiteral(), "[127.0.0.1]");
    } else {
      EXPECT_EQ(secure, nullptr);
      EXPECT_EQ(error.substr(0, test.strError.size()), test.strError) << error;
    }
  }
}

TEST(CertificateNamesTest, DnsEntriesMatchWholeNamesOrOneWildcardLabel) {
  // What the Windows build checks itself; OpenSSL applies the same rules.
  const struct {
    const char* pEntry;
    const char* pHost;
    bool bMatches;
  } cases[] = {
      {"localhost", "localhost", true},          {"LocalHost", "localhost", true},
      {"relay.example.com.", "relay.example.com", true}, {"relay.example.com", "relay.example.com.", true},
      {"relay.example.com", "relay.example.org", false}, {"*.example.com", "a.example.com", true},
      {"*.example.com", "example.com", false},   {"*.example.com", "a.b.example.com", false},
      {"*.example.com", ".example.com", false},  {"*.com", "example.com", false},
      {"a*.example.com", "ab.example.com", false}, {"*.*.example.com", "a.b.example.com", false},
      {"", "localhost", false},                  {"localhost", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CertificateDnsNameMatches(c.pEntry, c.pHost), c.bMatches) << c.pEntry << " / " << c.pHost;
  }
}

TEST_F(TlsClientTest, ASilentServerEndsTheHandshakeAtTheTimeout) {
  CTlsTestServer server({Kind::Silent});
  std::string error;
  auto start = Clock::now();
  auto secure = Handshake(server.Port(), Settings("localhost"), error, milliseconds(300));
  auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(secure, nullptr);
  EXPECT_EQ(error, "handshake failed: timed out");
  EXPECT_GE(waited, 250);
  EXPECT_LT(waited, 2000);
}

TEST_F(TlsClientTest, AnUnreadableCaFileIsNamed) {
  CTlsTestServer server({});
  CTlsSettings settings = Settings("localhost");
  settings.strCaFile = TestPkiDirectory() + "/missing.pem";
  std::string error;
  EXPECT_EQ(Handshake(server.Port(), settings, error), nullptr);
  EXPECT_NE(error.find("missing.pem"), std::string::npos) << error;
}

// The system's store is searched by hash names; OpenSSL's variable points it elsewhere.
// The first use without a CA file in this process, so the setting is read here.
TEST_F(TlsClientTest, TheSystemRootsAreLookedUpInTheirDirectory) {
  CTlsTestServer server({});
  const char* previous = std::getenv("SSL_CERT_DIR");
  std::string kept = previous != nullptr ? previous : "";
  ::setenv("SSL_CERT_DIR", (TestPkiDirectory() + "/hashed").c_str(), 1);
  CTlsSettings settings = Settings("localhost");
  settings.strCaFile.clear();
  std::string error;
  auto secure = Handshake(server.Port(), settings, error);
  if (previous != nullptr) {
    ::setenv("SSL_CERT_DIR", kept.c_str(), 1);
  } else {
    ::unsetenv("SSL_CERT_DIR");
  }
  ASSERT_NE(secure, nullptr) << error;
  EXPECT_EQ(ReceiveLine(*secure), "220 ready\r\n");
}

// OpenSSL's variables for one handshake without a CA file; the first such handshake of
// the process reads them.
class CCertificateVariables {
 public:
  CCertificateVariables(const char* file, const char* directory) {
    Set("SSL_CERT_FILE", file);
    Set("SSL_CERT_DIR", directory);
  }
  ~CCertificateVariables() {
    for (const auto& [name, value] : m_arrKept) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

 private:
  void Set(const char* name, const char* value) {
    const char* previous = std::getenv(name);
    m_arrKept.emplace_back(name, previous != nullptr ? std::optional<std::string>(previous) : std::nullopt);
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> m_arrKept;
};

// A bundle of the caller's own named by SSL_CERT_FILE is read: it is not the system's.
TEST_F(TlsClientTest, ABundleNamedByOpenSslsVariableIsTrusted) {
  CTlsTestServer server({});
  std::string bundle = TestPkiDirectory() + "/ca.pem";
  CCertificateVariables variables(bundle.c_str(), nullptr);
  CTlsSettings settings = Settings("localhost");
  settings.strCaFile.clear();
  std::string error;
  auto secure = Handshake(server.Port(), settings, error);
  ASSERT_NE(secure, nullptr) << error;
  EXPECT_EQ(ReceiveLine(*secure), "220 ready\r\n");
}

// SSL_CERT_FILE naming the system's own bundle (as many environments set it) does not
// take the directories out of the search.
TEST_F(TlsClientTest, TheSystemBundleNamedByOpenSslsVariableKeepsTheDirectories) {
  const char* systemBundle = X509_get_default_cert_file();
  if (::access(systemBundle, R_OK) != 0) GTEST_SKIP() << "no system bundle at " << systemBundle;
  CTlsTestServer server({});
  std::string directory = TestPkiDirectory() + "/hashed";
  CCertificateVariables variables(systemBundle, directory.c_str());
  CTlsSettings settings = Settings("localhost");
  settings.strCaFile.clear();
  std::string error;
  auto secure = Handshake(server.Port(), settings, error);
  ASSERT_NE(secure, nullptr) << error;
  EXPECT_EQ(ReceiveLine(*secure), "220 ready\r\n");
}

TEST_F(TlsClientTest, ManySendsOfMixedSizesArriveWhole) {
  const std::size_t total = 3 * 1024 * 1024 + 17;
  CTlsTestServer server({Kind::Tls, "good", 0, 0, false, total});
  std::string error;
  auto secure = Handshake(server.Port(), Settings("localhost"), error);
  ASSERT_NE(secure, nullptr) << error;
  ASSERT_EQ(ReceiveLine(*secure), "220 ready\r\n");
  std::string data(total, '\0');
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < total; ++i) {
    data[i] = static_cast<char>((i * 131) >> 3);
    sum += static_cast<unsigned char>(data[i]);
  }
  const std::size_t sizes[] = {1, 78, 16384, 16385, 65536, 200000};
  std::size_t offset = 0;
  for (int round = 0; offset < total; ++round) {
    std::size_t size = std::min(sizes[round % 6], total - offset);
    ASSERT_EQ(secure->SendAll(data.data() + offset, size, milliseconds(5000)), IoResult::Ok);
    offset += size;
  }
  EXPECT_EQ(ReceiveLine(*secure), "ok " + std::to_string(total) + " " + std::to_string(sum) + "\r\n");
}

TEST_F(TlsClientTest, AReceiveTimeoutLeavesTheSessionUsable) {
  CTlsTestServer server({Kind::Tls, "good", 0, 600});
  std::string error;
  auto secure = Handshake(server.Port(), Settings("localhost"), error);
  ASSERT_NE(secure, nullptr) << error;
  char buffer[64];
  std::size_t received = 0;
  auto start = Clock::now();
  EXPECT_EQ(secure->Receive(buffer, sizeof buffer, received, milliseconds(200)), IoResult::Timeout);
  auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
  EXPECT_GE(waited, 150);
  EXPECT_LT(waited, 550);
  EXPECT_EQ(ReceiveLine(*secure), "220 ready\r\n");
}

TEST_F(TlsClientTest, ThePeersCloseEndsTheStream) {
  CTlsTestServer server({Kind::Tls, "good", 0, 0, true});
  std::string error;
  auto secure = Handshake(server.Port(), Settings("localhost"), error);
  ASSERT_NE(secure, nullptr) << error;
  EXPECT_EQ(ReceiveLine(*secure), "220 ready\r\n");
  char buffer[64];
  std::size_t received = 0;
  EXPECT_EQ(secure->Receive(buffer, sizeof buffer, received, milliseconds(5000)), IoResult::Closed);
}

TEST_F(TlsClientTest, HandshakesRunOnSeveralThreadsAtOnce) {
  CTlsTestServer server({});
  std::vector<std::string> results(6);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i)
    threads.emplace_back([&, i] {
      std::string error;
      auto secure = Handshake(server.Port(), Settings(i % 2 == 0 ? "localhost" : "127.0.0.1"), error);
      results[i] = secure != nullptr ? ReceiveLine(*secure) : error;
    });
  for (std::thread& thread : threads) thread.join();
  for (const std::string& result : results) EXPECT_EQ(result, "220 ready\r\n");
}

TEST_F(TlsClientTest, TheLibraryNamesItself) { EXPECT_EQ(DefaultTlsClient().LibraryVersion().rfind("OpenSSL ", 0), 0u); }

}  // namespace
