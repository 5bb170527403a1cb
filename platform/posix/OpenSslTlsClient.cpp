// TLS client sessions with OpenSSL. libssl is the system's (so that its security updates
// reach us) and is loaded with dlopen on the first TLS use, not linked: relocating
// libcrypto costs every process some milliseconds before main, and a plain send should
// not pay for TLS it never uses. The headers still give the types and constants; every
// call goes through a table of the library's functions. The records travel over the project's own IConnection
// through a BIO of ours, not a file descriptor, so any connection can be wrapped and
// every wait keeps the caller's time-out. Failures come back as text.
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <netdb.h>
#include <sys/stat.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Deadline.h"
#include "platform/Platform.h"
#include "platform/RelayAddress.h"
#include "platform/Tls.h"

namespace varnel {
namespace {

// Every OpenSSL function this file calls. Macros of the headers (SSL_set_tlsext_host_name,
// SSL_CTX_set_mode, BIO_clear_retry_flags, ...) are spelt out as the calls they expand to,
// since a macro cannot be looked up.
#define VARNEL_OPENSSL_FUNCTIONS(X)                                                                              \
  X(BIO_get_data) X(BIO_clear_flags) X(BIO_set_flags) X(BIO_set_init) X(BIO_meth_new) X(BIO_get_new_index)      \
  X(BIO_meth_set_write) X(BIO_meth_set_read) X(BIO_meth_set_ctrl) X(BIO_meth_set_create) X(BIO_new)            \
  X(BIO_free) X(BIO_set_data) X(ERR_peek_error) X(ERR_clear_error) X(ERR_reason_error_string)                  \
  X(ERR_error_string_n) X(SSL_free) X(SSL_shutdown) X(SSL_write_ex) X(SSL_read_ex) X(SSL_get_error) X(SSL_new) \
  X(SSL_set_bio) X(SSL_ctrl) X(SSL_set_verify) X(SSL_get0_param) X(SSL_set1_host) X(SSL_connect)              \
  X(SSL_get_verify_result) X(SSL_get_verify_mode) X(SSL_CTX_new) X(SSL_CTX_ctrl) X(SSL_CTX_get_cert_store)     \
  X(SSL_CTX_load_verify_locations) X(SSL_CTX_free) X(TLS_client_method) X(X509_get_default_cert_file_env)      \
  X(X509_get_default_cert_dir_env) X(X509_get_default_cert_dir) X(X509_get_default_cert_file)                  \
  X(X509_STORE_load_file) X(X509_STORE_load_path) X(X509_VERIFY_PARAM_set_hostflags)                           \
  X(X509_VERIFY_PARAM_set1_ip_asc) X(X509_verify_cert_error_string) X(OpenSSL_version) X(SSL_get_version)      \
  X(SSL_get_current_cipher) X(SSL_CIPHER_get_name)

// The loaded library: one pointer per function, typed from the header's declaration so
// that a call through the table is checked as the direct call was. The fields keep
// OpenSSL's names so that the calls read as OpenSSL's documentation does.
struct COpenSslLibrary {
#define VARNEL_OPENSSL_POINTER(name) decltype(&::name) name = nullptr;
  VARNEL_OPENSSL_FUNCTIONS(VARNEL_OPENSSL_POINTER)
#undef VARNEL_OPENSSL_POINTER
  std::string strFailure;  // empty once every function was found
};

// Resolves the table from libssl (which brings its libcrypto: dlsym searches a handle's
// dependencies too). The handle is never closed: sessions and contexts outlive any
// owner that could.
void LoadOpenSsl(COpenSslLibrary& library) {
  void* handle = nullptr;
  std::string failure;
  for (const char* name : {"libssl.so.3", "libssl.so"}) {
    handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) break;
    const char* text = ::dlerror();
    if (failure.empty() && text != nullptr) failure = text;
  }
  if (handle == nullptr) {
    library.strFailure = "TLS library could not be loaded: " + (failure.empty() ? std::string("libssl.so.3") : failure);
    return;
  }
  ::dlerror();
#define VARNEL_OPENSSL_RESOLVE(name)                                                    \
  if (library.strFailure.empty()) {                                                     \
    library.name = reinterpret_cast<decltype(library.name)>(::dlsym(handle, #name));    \
    if (library.name == nullptr) {                                                      \
      const char* text = ::dlerror();                                                   \
      library.strFailure = std::string("TLS library could not be loaded: ") +           \
                           (text != nullptr ? text : "no symbol " #name);               \
    }                                                                                   \
  }
  VARNEL_OPENSSL_FUNCTIONS(VARNEL_OPENSSL_RESOLVE)
#undef VARNEL_OPENSSL_RESOLVE
}

// The table, loaded on the first call in the process; check strFailure before any use.
const COpenSslLibrary& LoadedOpenSsl() {
  static COpenSslLibrary library;
  static std::once_flag once;
  std::call_once(once, [] { LoadOpenSsl(library); });
  return library;
}

// For code that runs only after a successful load (sessions, BIO callbacks).
const COpenSslLibrary& Ssl() { return LoadedOpenSsl(); }

using Clock = std::chrono::steady_clock;

// The plain connection as OpenSSL sees it. Reads are served from a buffer that one
// Receive fills (a record header and its body then cost one system call, not two);
// writes collect here until OpenSSL flushes or the owner ends a send, so one SendAll
// of 64 KiB leaves as four full records in one write to the connection.
struct CTransport {
  static constexpr std::size_t kInputSize = 32 * 1024;
  static constexpr std::size_t kOutputFlush = 64 * 1024;

  std::unique_ptr<IConnection> pConnection;
  Clock::time_point deadline;             // of the read or handshake in progress
  std::chrono::milliseconds sendTimeout;  // per wait for progress while sending
  IoResult lastResult = IoResult::Ok;     // the connection's answer when it failed
  std::vector<char> arrInput;
  std::size_t nInputStart = 0;
  std::size_t nInputEnd = 0;
  std::vector<char> arrOutput;

  bool Flush() {
    if (arrOutput.empty()) return true;
    IoResult result = pConnection->SendAll(arrOutput.data(), arrOutput.size(), sendTimeout);
    arrOutput.clear();
    if (result != IoResult::Ok) lastResult = result;
    return result == IoResult::Ok;
  }
};

CTransport* TransportOf(BIO* bio) { return static_cast<CTransport*>(Ssl().BIO_get_data(bio)); }

int TransportWrite(BIO* bio, const char* data, int size) {
  CTransport* transport = TransportOf(bio);
  Ssl().BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  if (transport->lastResult != IoResult::Ok) return -1;
  transport->arrOutput.insert(transport->arrOutput.end(), data, data + size);
  if (transport->arrOutput.size() >= CTransport::kOutputFlush && !transport->Flush()) return -1;
  return size;
}

int TransportRead(BIO* bio, char* buffer, int size) {
  CTransport* transport = TransportOf(bio);
  Ssl().BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
  if (transport->nInputStart == transport->nInputEnd) {
    // Anything of ours still waiting goes first: the peer answers only what it got.
    if (!transport->Flush()) return -1;
    std::size_t received = 0;
    IoResult result = transport->pConnection->Receive(transport->arrInput.data(), transport->arrInput.size(),
                                                      received, TimeLeft(transport->deadline));
    if (result == IoResult::Timeout) {
      // Not fatal to the session: a later read may go on where this one stopped.
      Ssl().BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
      return -1;
    }
    if (result != IoResult::Ok) {
      transport->lastResult = result;
      return result == IoResult::Closed ? 0 : -1;
    }
    transport->nInputStart = 0;
    transport->nInputEnd = received;
  }
  std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(size), transport->nInputEnd - transport->nInputStart);
  std::memcpy(buffer, transport->arrInput.data() + transport->nInputStart, take);
  transport->nInputStart += take;
  return static_cast<int>(take);
}

long TransportControl(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH: return TransportOf(bio)->Flush() ? 1 : 0;
    case BIO_CTRL_PENDING: {
      CTransport* transport = TransportOf(bio);
      return static_cast<long>(transport->nInputEnd - transport->nInputStart);
    }
    case BIO_CTRL_WPENDING: return static_cast<long>(TransportOf(bio)->arrOutput.size());
    case BIO_CTRL_PUSH:
    case BIO_CTRL_POP: return 0;
    default: return 0;
  }
}

int TransportCreate(BIO* bio) {
  Ssl().BIO_set_init(bio, 1);
  return 1;
}

// Made once for the process; BIO_METHOD is read-only after that.
const BIO_METHOD* TransportMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* made = Ssl().BIO_meth_new(Ssl().BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "varnel connection");
    Ssl().BIO_meth_set_write(made, TransportWrite);
    Ssl().BIO_meth_set_read(made, TransportRead);
    Ssl().BIO_meth_set_ctrl(made, TransportControl);
    Ssl().BIO_meth_set_create(made, TransportCreate);
    return made;
  }();
  return method;
}

struct CSslFree {
  void operator()(SSL* ssl) const { Ssl().SSL_free(ssl); }
};

// The text of the first error on this thread's queue, or empty.
std::string QueuedError() {
  unsigned long code = Ssl().ERR_peek_error();
  Ssl().ERR_clear_error();
  if (code == 0) return {};
  const char* reason = Ssl().ERR_reason_error_string(code);
  if (reason != nullptr) return reason;
  char text[256] = {};
  Ssl().ERR_error_string_n(code, text, sizeof text);
  return text;
}

class COpenSslConnection final : public IConnection {
 public:
  COpenSslConnection(std::unique_ptr<CTransport> transport, std::unique_ptr<SSL, CSslFree> ssl)
      : m_pTransport(std::move(transport)), m_pSsl(std::move(ssl)) {}

  ~COpenSslConnection() override {
    // close_notify (RFC 8446 section 6.1) when the session is sound; the peer's own is
    // not waited for, and a peer that does not read cannot hold us for long.
    if (m_bBroken || m_pTransport->lastResult != IoResult::Ok) return;
    m_pTransport->sendTimeout = std::chrono::milliseconds(1000);
    Ssl().ERR_clear_error();
    if (Ssl().SSL_shutdown(m_pSsl.get()) >= 0) m_pTransport->Flush();
    Ssl().ERR_clear_error();
  }

  std::string LocalAddressLiteral() const override { return m_pTransport->pConnection->LocalAddressLiteral(); }
  std::string TlsVersion() const override {
    const char* version = Ssl().SSL_get_version(m_pSsl.get());
    return version != nullptr ? version : "";
  }
  std::string TlsCipher() const override {
    const SSL_CIPHER* cipher = Ssl().SSL_get_current_cipher(m_pSsl.get());
    const char* name = cipher != nullptr ? Ssl().SSL_CIPHER_get_name(cipher) : nullptr;
    return name != nullptr ? name : "";
  }

  IoResult SendAll(const char* data, std::size_t size, std::chrono::milliseconds timeout) override {
    if (m_bBroken) return IoResult::Error;
    m_pTransport->sendTimeout = timeout;
    // Reads during a write (TLS 1.2 renegotiation, key updates) wait as long as a send may.
    m_pTransport->deadline = Clock::now() + timeout;
    Ssl().ERR_clear_error();
    while (size > 0) {
      std::size_t written = 0;
      if (Ssl().SSL_write_ex(m_pSsl.get(), data, size, &written) <= 0) return Fail();
      data += written;
      size -= written;
    }
    if (!m_pTransport->Flush()) return Fail();
    return IoResult::Ok;
  }

  IoResult Receive(char* buffer, std::size_t max, std::size_t& received, std::chrono::milliseconds timeout) override {
    received = 0;
    if (m_bBroken) return IoResult::Error;
    if (max == 0) return IoResult::Ok;
    m_pTransport->deadline = Clock::now() + timeout;
    m_pTransport->sendTimeout = timeout;
    Ssl().ERR_clear_error();
    for (;;) {
      if (Ssl().SSL_read_ex(m_pSsl.get(), buffer, max, &received) > 0) return IoResult::Ok;
      int error = Ssl().SSL_get_error(m_pSsl.get(), 0);
      if (error == SSL_ERROR_WANT_READ) {
        // Our transport asks for a retry only when its wait ran out; otherwise OpenSSL
        // consumed a handshake message (a TLS 1.3 session ticket) and reads on.
        if (Clock::now() >= m_pTransport->deadline) return IoResult::Timeout;
        continue;
      }
      if (error == SSL_ERROR_ZERO_RETURN) return IoResult::Closed;  // the peer's close_notify
      return Fail();
    }
  }

 private:
  IoResult Fail() {
    Ssl().ERR_clear_error();
    m_bBroken = true;
    IoResult result = m_pTransport->lastResult;
    // A peer that just closes without close_notify has ended the stream all the same.
    return result == IoResult::Ok ? IoResult::Error : result;
  }

  std::unique_ptr<CTransport> m_pTransport;
  std::unique_ptr<SSL, CSslFree> m_pSsl;
  bool m_bBroken = false;
};

// Whether a certificate directory has the subject-hash names OpenSSL looks roots up by
// (c_rehash, update-ca-certificates): then the roots load one by one, when a chain needs
// them, instead of parsing the whole bundle in every process.
bool HasHashNames(const std::string& directory) {
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return false;
  bool found = false;
  while (!found) {
    dirent* entry = ::readdir(listing);
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    found = std::strlen(name) == 10 && name[8] == '.' && name[9] == '0' &&
            std::all_of(name, name + 8, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
  }
  ::closedir(listing);
  return found;
}

bool SameFile(const char* first, const char* second) {
  struct stat one {};
  struct stat other {};
  return ::stat(first, &one) == 0 && ::stat(second, &other) == 0 && one.st_dev == other.st_dev &&
         one.st_ino == other.st_ino;
}

// The system's roots as SSL_CTX_set_default_verify_paths finds them (SSL_CERT_FILE and
// SSL_CERT_DIR respected), but with the bundle file read only when the directory cannot
// be searched by hash: parsing the bundle (some 140 certificates) costs more than a whole
// handshake, in every process. The system's bundle and its hashed directory hold the same
// roots (update-ca-certificates writes both), so SSL_CERT_FILE naming the system's own
// bundle, as many environments set it, is served from the directory as well.
void LoadSystemRoots(X509_STORE* store) {
  const char* file = std::getenv(Ssl().X509_get_default_cert_file_env());
  const char* directories = std::getenv(Ssl().X509_get_default_cert_dir_env());
  const char* systemDirectory = Ssl().X509_get_default_cert_dir();
  const bool hashed = HasHashNames(systemDirectory);
  const bool systemBundle = file != nullptr && hashed && SameFile(file, Ssl().X509_get_default_cert_file());
  if (file != nullptr && !systemBundle) Ssl().X509_STORE_load_file(store, file);
  if (directories != nullptr) Ssl().X509_STORE_load_path(store, directories);
  if (systemBundle || (directories == nullptr && hashed)) {
    Ssl().X509_STORE_load_path(store, systemDirectory);
  } else if (file == nullptr && directories == nullptr) {
    Ssl().X509_STORE_load_file(store, Ssl().X509_get_default_cert_file());
  }
  Ssl().ERR_clear_error();  // a missing default file or directory is no error
}

bool IsAddressLiteral(const std::string& name) {
  unsigned char address[16];
  return ::inet_pton(AF_INET, name.c_str(), address) == 1 || ::inet_pton(AF_INET6, name.c_str(), address) == 1;
}

class COpenSslTlsClient final : public ITlsClient {
 public:
  std::unique_ptr<IConnection> Handshake(std::unique_ptr<IConnection> plain, const CTlsSettings& settings,
                                         std::chrono::milliseconds timeout, std::string& error) override {
    auto deadline = Clock::now() + timeout;
    if (!LoadedOpenSsl().strFailure.empty()) {
      error = LoadedOpenSsl().strFailure;
      return nullptr;
    }
    Ssl().ERR_clear_error();
    SSL_CTX* context = Context(settings.strCaFile, error);
    if (context == nullptr) return nullptr;
    std::unique_ptr<SSL, CSslFree> ssl(Ssl().SSL_new(context));
    BIO* bio = Ssl().BIO_new(TransportMethod());
    if (ssl == nullptr || bio == nullptr) {
      Ssl().BIO_free(bio);
      error = "TLS session could not be created: " + QueuedError();
      return nullptr;
    }
    auto transport = std::make_unique<CTransport>();
    transport->pConnection = std::move(plain);
    transport->deadline = deadline;
    transport->sendTimeout = timeout;
    transport->arrInput.resize(CTransport::kInputSize);
    transport->arrOutput.reserve(CTransport::kOutputFlush + 16 * 1024 + 256);
    Ssl().BIO_set_data(bio, transport.get());
    Ssl().SSL_set_bio(ssl.get(), bio, bio);  // the session owns the BIO from here on

    std::string name = UnbracketedHost(settings.strPeerName);
    bool isAddress = IsAddressLiteral(name);
    // SNI carries host names only (RFC 6066 section 3: "Literal IPv4 and IPv6
    // addresses are not permitted").
    // SSL_set_tlsext_host_name, a macro over SSL_ctrl.
    if (!isAddress && !name.empty() &&
        Ssl().SSL_ctrl(ssl.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                       const_cast<char*>(name.c_str())) != 1) {
      error = "TLS session could not be created: " + QueuedError();
      return nullptr;
    }
    if (settings.bVerify) {
      Ssl().SSL_set_verify(ssl.get(), SSL_VERIFY_PEER, nullptr);
      X509_VERIFY_PARAM* param = Ssl().SSL_get0_param(ssl.get());
      // The relay's names are those of the subjectAltName alone: a certificate without
      // one names no host, whatever its common name says (RFC 9525 section 6.3).
      Ssl().X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS |
                                                       X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
      bool named = isAddress ? Ssl().X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1
                             : Ssl().SSL_set1_host(ssl.get(), name.c_str()) == 1;
      if (!named || name.empty()) {
        error = "certificate cannot be checked: invalid peer name \"" + name + "\"";
        Ssl().ERR_clear_error();
        return nullptr;
      }
    } else {
      Ssl().SSL_set_verify(ssl.get(), SSL_VERIFY_NONE, nullptr);
    }

    Ssl().ERR_clear_error();
    int done = Ssl().SSL_connect(ssl.get());
    if (done != 1) {
      error = HandshakeFailure(ssl.get(), done, *transport, deadline);
      return nullptr;
    }
    Ssl().ERR_clear_error();
    return std::make_unique<COpenSslConnection>(std::move(transport), std::move(ssl));
  }

  std::string LibraryVersion() override {
    const COpenSslLibrary& library = LoadedOpenSsl();
    return library.strFailure.empty() ? library.OpenSSL_version(OPENSSL_VERSION) : library.strFailure;
  }

 private:
  static std::string HandshakeFailure(SSL* ssl, int done, const CTransport& transport, Clock::time_point deadline) {
    int error = Ssl().SSL_get_error(ssl, done);
    long verify = Ssl().SSL_get_verify_result(ssl);
    if (verify != X509_V_OK && Ssl().SSL_get_verify_mode(ssl) != SSL_VERIFY_NONE) {
      Ssl().ERR_clear_error();
      return std::string("certificate verify failed: ") + Ssl().X509_verify_cert_error_string(verify);
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE || Clock::now() >= deadline) {
      Ssl().ERR_clear_error();
      return "handshake failed: timed out";
    }
    if (transport.lastResult != IoResult::Ok) {
      Ssl().ERR_clear_error();
      return "handshake failed: " + TransportFailure(transport.lastResult);
    }
    std::string reason = QueuedError();
    return "handshake failed: " + (reason.empty() ? std::string("connection lost") : reason);
  }

  // One context per CA file for the process: contexts are safe to share between threads
  // once set up, and loading the system's roots again for every call would cost more
  // than the handshake.
  SSL_CTX* Context(const std::string& caFile, std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_pContexts->find(caFile);
    if (found != m_pContexts->end()) return found->second;
    SSL_CTX* context = Ssl().SSL_CTX_new(Ssl().TLS_client_method());
    if (context == nullptr) {
      error = "TLS could not start: " + QueuedError();
      return nullptr;
    }
    // SSL_CTX_set_min_proto_version and SSL_CTX_set_mode below are macros over SSL_CTX_ctrl.
    Ssl().SSL_CTX_ctrl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    // A send may hand over a buffer again at another address after a retry.
    Ssl().SSL_CTX_ctrl(context, SSL_CTRL_MODE, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
    LoadSystemRoots(Ssl().SSL_CTX_get_cert_store(context));
    if (!caFile.empty() && Ssl().SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
      error = "CA file " + caFile + " could not be read: " + QueuedError();
      Ssl().SSL_CTX_free(context);
      return nullptr;
    }
    Ssl().ERR_clear_error();
    m_pContexts->emplace(caFile, context);
    return context;
  }

  std::mutex m_mutex;
  // Kept for the life of the process and never freed: OpenSSL's own clean-up at exit
  // runs before the destructor of this object would, and sends may still be running on
  // worker threads then. Allocated so that no destructor ever runs on it.
  std::map<std::string, SSL_CTX*>* m_pContexts = new std::map<std::string, SSL_CTX*>();
};

}  // namespace

ITlsClient& DefaultTlsClient() {
  static COpenSslTlsClient client;
  return client;
}

}  // namespace varnel
