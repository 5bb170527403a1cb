// TLS client sessions with Schannel (secur32 and crypt32: part of every Windows, nothing
// to ship). The records travel over the project's own IConnection, so every wait keeps
// the caller's time-out. Schannel's automatic certificate validation is switched off and
// done here with the CryptoAPI chain engine (it is a no-op under Wine, and it cannot add
// the configured CA file), with messages of our own. Failures come back as text.
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif

#include "platform/windows/WindowsHeaders.h"
// After the Win32 headers they build on.
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/CertificateNames.h"
#include "platform/Deadline.h"
#include "platform/Platform.h"
#include "platform/RelayAddress.h"
#include "platform/Tls.h"

namespace varnel {
namespace {

using Clock = std::chrono::steady_clock;

// SECURITY_FLAG_IGNORE_UNKNOWN_CA of wininet.h, which this file does not otherwise need.
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr std::size_t kSendBatch = 64 * 1024;

std::string Hex(unsigned long code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", code);
  return text;
}

// Words for the security package's failures; FormatMessage has none for most of them
// under Wine. The certificate words match what the OpenSSL build says.
std::string StatusText(SECURITY_STATUS status) {
  switch (static_cast<unsigned long>(status)) {
    case static_cast<unsigned long>(SEC_E_ILLEGAL_MESSAGE): return "the peer did not answer in TLS";
    case static_cast<unsigned long>(SEC_E_ALGORITHM_MISMATCH): return "unsupported protocol";
    case static_cast<unsigned long>(SEC_E_UNSUPPORTED_FUNCTION): return "unsupported protocol";
    case static_cast<unsigned long>(SEC_E_INVALID_TOKEN): return "invalid TLS message";
    case static_cast<unsigned long>(SEC_E_MESSAGE_ALTERED): return "a TLS record was altered";
    case static_cast<unsigned long>(SEC_E_DECRYPT_FAILURE): return "a TLS record could not be decrypted";
    case static_cast<unsigned long>(SEC_E_INTERNAL_ERROR): return "internal error of the security package";
    case static_cast<unsigned long>(SEC_E_NO_CREDENTIALS): return "no credentials";
    case static_cast<unsigned long>(SEC_E_WRONG_PRINCIPAL): return "hostname mismatch";
    case static_cast<unsigned long>(SEC_E_CERT_EXPIRED): return "certificate has expired";
    case static_cast<unsigned long>(SEC_E_UNTRUSTED_ROOT): return "unable to get local issuer certificate";
    default: break;
  }
  return "security package error " + Hex(static_cast<unsigned long>(status));
}

std::string CertificateErrorText(unsigned long code) {
  switch (code) {
    case static_cast<unsigned long>(CERT_E_CN_NO_MATCH): return "hostname mismatch";
    case static_cast<unsigned long>(CERT_E_EXPIRED): return "certificate has expired";
    case static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT): return "self-signed certificate in certificate chain";
    case static_cast<unsigned long>(CERT_E_CHAINING): return "unable to get local issuer certificate";
    case static_cast<unsigned long>(CERT_E_WRONG_USAGE): return "unsupported certificate purpose";
    case static_cast<unsigned long>(CERT_E_REVOKED): return "certificate revoked";
    case static_cast<unsigned long>(CERT_E_VALIDITYPERIODNESTING): return "certificate validity periods do not nest";
    case static_cast<unsigned long>(CERT_E_ROLE): return "a CA certificate is used as a leaf";
    case static_cast<unsigned long>(CERT_E_PATHLENCONST): return "path length constraint exceeded";
    case static_cast<unsigned long>(CERT_E_CRITICAL): return "unhandled critical extension";
    case static_cast<unsigned long>(CERT_E_PURPOSE): return "unsupported certificate purpose";
    case static_cast<unsigned long>(CERT_E_MALFORMED): return "malformed certificate";
    case static_cast<unsigned long>(TRUST_E_CERT_SIGNATURE): return "certificate signature failure";
    case static_cast<unsigned long>(CRYPT_E_REVOKED): return "certificate revoked";
    default: break;
  }
  return "certificate check error " + Hex(code);
}

// The first problem of a chain's trust status, in the order a reader most needs it.
std::string TrustErrorText(DWORD status) {
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return "certificate has expired";
  if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return "unable to get local issuer certificate";
  if (status & CERT_TRUST_IS_UNTRUSTED_ROOT) return "self-signed certificate in certificate chain";
  if (status & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  if (status & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "unsupported certificate purpose";
  if (status & CERT_TRUST_IS_CYCLIC) return "certificate chain is cyclic";
  return "certificate chain error " + Hex(status);
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// Owners of the handles, each released once.
class CCredentials {
 public:
  CCredentials() { SecInvalidateHandle(&m_handle); }
  ~CCredentials() {
    if (SecIsValidHandle(&m_handle)) ::FreeCredentialsHandle(&m_handle);
  }
  CCredentials(const CCredentials&) = delete;
  CCredentials& operator=(const CCredentials&) = delete;
  CredHandle* Get() { return &m_handle; }

 private:
  CredHandle m_handle;
};

class CContext {
 public:
  CContext() { SecInvalidateHandle(&m_handle); }
  ~CContext() {
    if (SecIsValidHandle(&m_handle)) ::DeleteSecurityContext(&m_handle);
  }
  CContext(const CContext&) = delete;
  CContext& operator=(const CContext&) = delete;
  CtxtHandle* Get() { return &m_handle; }
  bool IsValid() const { return SecIsValidHandle(&m_handle); }

 private:
  CtxtHandle m_handle;
};

struct CStoreClose {
  void operator()(HCERTSTORE store) const { ::CertCloseStore(store, 0); }
};
using CStore = std::unique_ptr<void, CStoreClose>;

struct CCertificateFree {
  void operator()(PCCERT_CONTEXT certificate) const { ::CertFreeCertificateContext(certificate); }
};
using CCertificate = std::unique_ptr<const CERT_CONTEXT, CCertificateFree>;

struct CChainFree {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { ::CertFreeCertificateChain(chain); }
};
using CChain = std::unique_ptr<const CERT_CHAIN_CONTEXT, CChainFree>;

// A token that the security package allocated.
struct CTokenFree {
  void operator()(void* buffer) const { ::FreeContextBuffer(buffer); }
};

// The certificates of a PEM bundle in a memory store; false when the file cannot be
// read or holds none.
bool LoadCaFile(const std::string& path, HCERTSTORE store, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "CA file " + path + " could not be read";
    return false;
  }
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const std::string end = "-----END CERTIFICATE-----";
  int loaded = 0;
  for (std::size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at)) {
    std::size_t stop = text.find(end, at);
    if (stop == std::string::npos) break;
    std::string block = text.substr(at, stop + end.size() - at);
    at = stop + end.size();
    DWORD size = 0;
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                                &size, nullptr, nullptr))
      continue;
    std::vector<BYTE> der(size);
    if (!::CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                                &size, nullptr, nullptr))
      continue;
    if (::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size, CERT_STORE_ADD_ALWAYS,
                                           nullptr))
      ++loaded;
  }
  if (loaded == 0) {
    error = "CA file " + path + " could not be read: no certificate in it";
    return false;
  }
  return true;
}

// The roots of a CA file, read once for the process: the DLL serves many calls, and the
// file is the administrator's setting (a new file is read at the next start). The system's
// own roots need nothing of the kind: the chain engine looks them up when a chain needs
// them. A file that cannot be read is not kept, so the next call tries again. Stores are
// never closed, as the process may end while calls still run; nullptr with the reason in
// error on failure.
HCERTSTORE ConfiguredRoots(const std::string& caFile, std::string& error) {
  static std::mutex mutex;
  static auto* stores = new std::map<std::string, HCERTSTORE>();
  std::lock_guard<std::mutex> lock(mutex);
  auto found = stores->find(caFile);
  if (found != stores->end()) return found->second;
  CStore store(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (store == nullptr) {
    error = "certificate store error " + Hex(::GetLastError());
    return nullptr;
  }
  if (!LoadCaFile(caFile, store.get(), error)) return nullptr;
  return stores->emplace(caFile, store.release()).first->second;
}

// Whether the certificate is, byte for byte, one of the store's.
bool IsInStore(HCERTSTORE store, PCCERT_CONTEXT certificate) {
  PCCERT_CONTEXT found = nullptr;
  while ((found = ::CertEnumCertificatesInStore(store, found)) != nullptr) {
    if (found->cbCertEncoded == certificate->cbCertEncoded &&
        std::memcmp(found->pbCertEncoded, certificate->pbCertEncoded, certificate->cbCertEncoded) == 0) {
      ::CertFreeCertificateContext(found);
      return true;
    }
  }
  return false;
}

// Whether the subjectAltName (RFC 5280 section 4.2.1.6) names the peer: an IP address
// entry equal to address when that is given, else a DNS entry matching name. The names
// come from there alone (RFC 9525): the common name is never consulted, which the SSL
// policy check does under Wine when no entry matches; it also refuses address hosts
// even when they match, so they are checked here only.
bool NamesThePeer(PCCERT_CONTEXT certificate, const std::string& name, const std::vector<BYTE>& address) {
  PCERT_EXTENSION extension = ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension,
                                                  certificate->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (!address.empty()) {
      found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size() &&
              std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    } else if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME && entry.pwszDNSName != nullptr) {
      // DNS entries are ASCII (IA5String); anything else names no host of ours.
      std::string dns;
      bool ascii = true;
      for (const wchar_t* c = entry.pwszDNSName; *c != L'\0' && ascii; ++c) {
        ascii = *c > 0 && *c < 0x7F;
        dns += static_cast<char>(*c);
      }
      found = ascii && CertificateDnsNameMatches(dns, name);
    }
  }
  ::LocalFree(names);
  return found;
}

// The address bytes of an IPv4 or IPv6 literal; empty for a host name. (The session's
// plain connection keeps Winsock started meanwhile.)
std::vector<BYTE> AddressBytes(const std::string& name) {
  in_addr v4{};
  if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&v4);
    return std::vector<BYTE>(bytes, bytes + 4);
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&v6);
    return std::vector<BYTE>(bytes, bytes + 16);
  }
  return {};
}

// The checks of RFC 5280 path validation and RFC 6125 naming that Schannel was told to
// leave to us. Empty when the certificate is good.
std::string VerifyPeer(CtxtHandle* context, const std::string& name, const std::string& caFile) {
  PCCERT_CONTEXT remote = nullptr;
  if (::QueryContextAttributesA(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote) != SEC_E_OK || remote == nullptr)
    return "the peer sent no certificate";
  CCertificate leaf(remote);

  // The configured roots and the intermediates the peer sent, searched besides the
  // system's stores.
  CStore extra(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  if (extra == nullptr) return "certificate store error " + Hex(::GetLastError());
  HCERTSTORE configured = nullptr;
  if (!caFile.empty()) {
    std::string error;
    configured = ConfiguredRoots(caFile, error);
    if (configured == nullptr) return error;
    ::CertAddStoreToCollection(extra.get(), configured, 0, 0);
  }
  if (leaf->hCertStore != nullptr) ::CertAddStoreToCollection(extra.get(), leaf->hCertStore, 0, 0);

  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT built = nullptr;
  if (!::CertGetCertificateChain(nullptr, leaf.get(), nullptr, extra.get(), &parameters, 0, nullptr, &built))
    return "certificate chain could not be built: " + Hex(::GetLastError());
  CChain chain(built);

  // Wine's policy check passes a partial chain, so the chain's own status decides first.
  // An untrusted root is forgiven only when it is exactly one of the configured roots.
  DWORD status = chain->TrustStatus.dwErrorStatus;
  bool configuredRoot = false;
  if (status == CERT_TRUST_IS_UNTRUSTED_ROOT && chain->cChain > 0) {
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    configuredRoot = configured != nullptr && simple->cElement > 0 &&
                     IsInStore(configured, simple->rgpElement[simple->cElement - 1]->pCertContext);
  }
  if (status != CERT_TRUST_NO_ERROR && !configuredRoot) return TrustErrorText(status);

  std::vector<BYTE> address = AddressBytes(name);
  std::wstring wideName = Wide(name);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = configuredRoot ? kIgnoreUnknownCa : 0;
  ssl.pwszServerName = address.empty() ? wideName.data() : nullptr;
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS result{};
  result.cbSize = sizeof result;
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &result))
    return "certificate policy could not be checked: " + Hex(::GetLastError());
  if (result.dwError != 0) return CertificateErrorText(result.dwError);
  if (!NamesThePeer(leaf.get(), name, address)) return address.empty() ? "hostname mismatch" : "IP address mismatch";
  return {};
}

// The handshake and the record layer of one session.
class CSchannelSession {
 public:
  explicit CSchannelSession(std::unique_ptr<IConnection> plain) : m_pConnection(std::move(plain)) {}

  const IConnection& Connection() const { return *m_pConnection; }
  CtxtHandle* Context() { return m_context.Get(); }

  // Credentials for TLS 1.2 (the SCHANNEL_CRED structure cannot enable TLS 1.3), with
  // the certificate checks left to VerifyPeer.
  bool AcquireCredentials(std::string& error) {
    SCHANNEL_CRED credentials{};
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    SECURITY_STATUS status =
        ::AcquireCredentialsHandleA(nullptr, const_cast<LPSTR>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND, nullptr,
                                    &credentials, nullptr, nullptr, m_credentials.Get(), nullptr);
    if (status != SEC_E_OK) {
      error = "TLS could not start: " + StatusText(status);
      return false;
    }
    return true;
  }

  // Runs InitializeSecurityContext until the handshake is complete, starting from
  // whatever m_arrEncrypted holds (empty for a new session; after SEC_I_RENEGOTIATE
  // the post-handshake message, possibly nothing, which is then handed over as it is).
  // The caller's deadline bounds every read.
  SECURITY_STATUS Negotiate(const std::string& targetName, Clock::time_point deadline, IoResult& transport,
                            bool resume = false) {
    const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION |
                         ISC_REQ_EXTENDED_ERROR;
    SEC_CHAR* target = targetName.empty() ? nullptr : const_cast<SEC_CHAR*>(targetName.c_str());
    bool first = !m_context.IsValid();
    transport = IoResult::Ok;
    for (;;) {
      if (!first && m_arrEncrypted.empty() && !resume) {
        if (!ReadMore(deadline, transport)) return SEC_E_INTERNAL_ERROR;
      }
      resume = false;
      SecBuffer input[2] = {{static_cast<unsigned long>(m_arrEncrypted.size()), SECBUFFER_TOKEN, m_arrEncrypted.data()},
                            {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc inputDescription{SECBUFFER_VERSION, 2, input};
      SecBuffer output[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
      SecBufferDesc outputDescription{SECBUFFER_VERSION, 2, output};
      DWORD granted = 0;
      SECURITY_STATUS status = ::InitializeSecurityContextA(
          m_credentials.Get(), first ? nullptr : m_context.Get(), target, wanted, 0, 0,
          first ? nullptr : &inputDescription, 0, m_context.Get(), &outputDescription, &granted, nullptr);
      std::unique_ptr<void, CTokenFree> token(output[0].pvBuffer);
      std::unique_ptr<void, CTokenFree> alert(output[1].pvBuffer);
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        if (!ReadMore(deadline, transport)) return status;
        continue;
      }
      // The token goes out even with an error: it is the alert that tells the peer why.
      if (output[0].cbBuffer > 0 && output[0].pvBuffer != nullptr) {
        IoResult sent = m_pConnection->SendAll(static_cast<const char*>(output[0].pvBuffer), output[0].cbBuffer,
                                               TimeLeft(deadline));
        if (sent != IoResult::Ok && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) {
          transport = sent;
          return SEC_E_INTERNAL_ERROR;
        }
      }
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED && status != SEC_I_INCOMPLETE_CREDENTIALS)
        return status;
      if (!first) KeepExtra(input[1]);
      first = false;
      if (status == SEC_E_OK) return status;
      // SEC_I_INCOMPLETE_CREDENTIALS: the relay asked for a client certificate; we have
      // none to give and go on without (RFC 5246 section 7.4.6).
    }
  }

  bool QuerySizes(std::string& error) {
    SECURITY_STATUS status = ::QueryContextAttributesA(m_context.Get(), SECPKG_ATTR_STREAM_SIZES, &m_sizes);
    if (status != SEC_E_OK) {
      error = "handshake failed: " + StatusText(status);
      return false;
    }
    return true;
  }

  // Encrypts into records of the largest size the session allows, several records to
  // one send.
  IoResult Send(const char* data, std::size_t size, std::chrono::milliseconds timeout) {
    const std::size_t recordMax = m_sizes.cbHeader + m_sizes.cbMaximumMessage + m_sizes.cbTrailer;
    while (size > 0) {
      m_arrSend.clear();
      while (size > 0 && m_arrSend.size() < kSendBatch) {
        std::size_t take = std::min<std::size_t>(size, m_sizes.cbMaximumMessage);
        std::size_t at = m_arrSend.size();
        m_arrSend.resize(at + recordMax);
        char* record = m_arrSend.data() + at;
        std::memcpy(record + m_sizes.cbHeader, data, take);
        SecBuffer buffers[4] = {
            {m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
            {static_cast<unsigned long>(take), SECBUFFER_DATA, record + m_sizes.cbHeader},
            {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + m_sizes.cbHeader + take},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
        if (::EncryptMessage(m_context.Get(), 0, &description, 0) != SEC_E_OK) return IoResult::Error;
        m_arrSend.resize(at + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        data += take;
        size -= take;
      }
      IoResult sent = m_pConnection->SendAll(m_arrSend.data(), m_arrSend.size(), timeout);
      if (sent != IoResult::Ok) return sent;
    }
    return IoResult::Ok;
  }

  IoResult Receive(char* buffer, std::size_t max, std::size_t& received, std::chrono::milliseconds timeout) {
    received = 0;
    auto deadline = Clock::now() + timeout;
    while (m_arrPlain.size() == m_nPlainStart) {
      if (m_bPeerClosed) return IoResult::Closed;
      IoResult transport = IoResult::Ok;
      if (m_arrEncrypted.empty() && !ReadMore(deadline, transport)) return transport;
      SecBuffer buffers[4] = {{static_cast<unsigned long>(m_arrEncrypted.size()), SECBUFFER_DATA, m_arrEncrypted.data()},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
      SECURITY_STATUS status = ::DecryptMessage(m_context.Get(), &description, 0, nullptr);
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        if (!ReadMore(deadline, transport)) return transport;
        continue;
      }
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED)
        return IoResult::Error;
      m_arrPlain.erase(m_arrPlain.begin(), m_arrPlain.begin() + static_cast<std::ptrdiff_t>(m_nPlainStart));
      m_nPlainStart = 0;
      SecBuffer* extra = nullptr;
      for (SecBuffer& part : buffers) {
        if (part.BufferType == SECBUFFER_DATA && part.cbBuffer > 0) {
          const char* plain = static_cast<const char*>(part.pvBuffer);
          m_arrPlain.insert(m_arrPlain.end(), plain, plain + part.cbBuffer);
        }
        if (part.BufferType == SECBUFFER_EXTRA && part.cbBuffer > 0) extra = &part;
      }
      if (extra != nullptr) {
        KeepExtra(*extra);
      } else {
        m_arrEncrypted.clear();
      }
      if (status == SEC_I_CONTEXT_EXPIRED) {
        m_bPeerClosed = true;  // close_notify: what was decrypted before it still counts
      } else if (status == SEC_I_RENEGOTIATE) {
        // A post-handshake message (a TLS 1.3 session ticket or key update on real
        // Windows; a renegotiation request under TLS 1.2): the remaining bytes go back
        // into the handshake, which ends in SEC_E_OK.
        IoResult renegotiated = IoResult::Ok;
        if (Negotiate(std::string(), deadline, renegotiated, true) != SEC_E_OK)
          return renegotiated != IoResult::Ok ? renegotiated : IoResult::Error;
      }
    }
    received = std::min(max, m_arrPlain.size() - m_nPlainStart);
    std::memcpy(buffer, m_arrPlain.data() + m_nPlainStart, received);
    m_nPlainStart += received;
    return IoResult::Ok;
  }

  // close_notify (RFC 8446 section 6.1), best effort.
  void Shutdown() {
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc controlDescription{SECBUFFER_VERSION, 1, &control};
    if (::ApplyControlToken(m_context.Get(), &controlDescription) != SEC_E_OK) return;
    SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDescription{SECBUFFER_VERSION, 1, &output};
    DWORD granted = 0;
    const DWORD wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;
    SECURITY_STATUS status = ::InitializeSecurityContextA(m_credentials.Get(), m_context.Get(), nullptr, wanted, 0, 0,
                                                          nullptr, 0, m_context.Get(), &outputDescription, &granted,
                                                          nullptr);
    std::unique_ptr<void, CTokenFree> token(output.pvBuffer);
    if ((status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED) && output.cbBuffer > 0)
      m_pConnection->SendAll(static_cast<const char*>(output.pvBuffer), output.cbBuffer, std::chrono::milliseconds(1000));
  }

 private:
  // Appends what arrives; false with the connection's answer when nothing did.
  bool ReadMore(Clock::time_point deadline, IoResult& transport) {
    char chunk[16 * 1024 + 512];
    std::size_t received = 0;
    transport = m_pConnection->Receive(chunk, sizeof chunk, received, TimeLeft(deadline));
    if (transport != IoResult::Ok) return false;
    m_arrEncrypted.insert(m_arrEncrypted.end(), chunk, chunk + received);
    return true;
  }

  // Bytes the package did not consume sit at the end of the input: keep only them.
  void KeepExtra(const SecBuffer& extra) {
    if (extra.BufferType != SECBUFFER_EXTRA || extra.cbBuffer == 0) {
      m_arrEncrypted.clear();
      return;
    }
    std::vector<char> rest(m_arrEncrypted.end() - extra.cbBuffer, m_arrEncrypted.end());
    m_arrEncrypted.swap(rest);
  }

  std::unique_ptr<IConnection> m_pConnection;
  CCredentials m_credentials;  // declared before the context, so released after it
  CContext m_context;
  SecPkgContext_StreamSizes m_sizes{};
  std::vector<char> m_arrEncrypted;  // received, not yet decrypted
  std::vector<char> m_arrPlain;      // decrypted, not yet handed out from m_nPlainStart
  std::size_t m_nPlainStart = 0;
  std::vector<char> m_arrSend;
  bool m_bPeerClosed = false;
};

// The protocol of a session in the words OpenSSL uses, so that both builds log alike.
std::string ProtocolName(DWORD protocol) {
  if ((protocol & SP_PROT_TLS1_3_CLIENT) != 0) return "TLSv1.3";
  if ((protocol & SP_PROT_TLS1_2_CLIENT) != 0) return "TLSv1.2";
  if ((protocol & SP_PROT_TLS1_1_CLIENT) != 0) return "TLSv1.1";
  if ((protocol & SP_PROT_TLS1_0_CLIENT) != 0) return "TLSv1";
  return protocol != 0 ? "protocol " + Hex(protocol) : std::string();
}

class CSchannelConnection final : public IConnection {
 public:
  explicit CSchannelConnection(std::unique_ptr<CSchannelSession> session) : m_pSession(std::move(session)) {}
  ~CSchannelConnection() override {
    if (!m_bBroken) m_pSession->Shutdown();
  }

  std::string LocalAddressLiteral() const override { return m_pSession->Connection().LocalAddressLiteral(); }

  std::string TlsVersion() const override {
    SecPkgContext_ConnectionInfo info{};
    if (::QueryContextAttributesA(m_pSession->Context(), SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return {};
    return ProtocolName(info.dwProtocol);
  }

  // The suite's IANA name where the system tells it (Windows Vista and later), else the
  // bulk cipher's algorithm number.
  std::string TlsCipher() const override {
    SecPkgContext_CipherInfo cipher{};
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (::QueryContextAttributesW(m_pSession->Context(), SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK &&
        cipher.szCipherSuite[0] != 0) {
      std::string name;
      for (std::size_t i = 0; i < SZ_ALG_MAX_SIZE && cipher.szCipherSuite[i] != 0; ++i) {
        wchar_t c = cipher.szCipherSuite[i];
        name += c < 0x80 ? static_cast<char>(c) : '?';
      }
      return name;
    }
    SecPkgContext_ConnectionInfo info{};
    if (::QueryContextAttributesA(m_pSession->Context(), SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) return {};
    return "algorithm " + Hex(info.aiCipher);
  }

  IoResult SendAll(const char* data, std::size_t size, std::chrono::milliseconds timeout) override {
    if (m_bBroken) return IoResult::Error;
    IoResult result = m_pSession->Send(data, size, timeout);
    // A record cut off in the middle cannot be resumed.
    m_bBroken = result != IoResult::Ok;
    return result;
  }

  IoResult Receive(char* buffer, std::size_t max, std::size_t& received, std::chrono::milliseconds timeout) override {
    received = 0;
    if (m_bBroken) return IoResult::Error;
    IoResult result = m_pSession->Receive(buffer, max, received, timeout);
    m_bBroken = result == IoResult::Error;
    return result;
  }

 private:
  std::unique_ptr<CSchannelSession> m_pSession;
  bool m_bBroken = false;
};

class CSchannelTlsClient final : public ITlsClient {
 public:
  std::unique_ptr<IConnection> Handshake(std::unique_ptr<IConnection> plain, const CTlsSettings& settings,
                                         std::chrono::milliseconds timeout, std::string& error) override {
    auto deadline = Clock::now() + timeout;
    auto session = std::make_unique<CSchannelSession>(std::move(plain));
    if (!session->AcquireCredentials(error)) return nullptr;
    std::string name = UnbracketedHost(settings.strPeerName);
    // SNI names hosts only (RFC 6066 section 3); the package takes its target from here.
    bool isAddress = !AddressBytes(name).empty();
    IoResult transport = IoResult::Ok;
    SECURITY_STATUS status = session->Negotiate(isAddress ? std::string() : name, deadline, transport);
    if (status != SEC_E_OK) {
      error = "handshake failed: " + (transport != IoResult::Ok ? TransportFailure(transport) : StatusText(status));
      return nullptr;
    }
    if (settings.bVerify) {
      if (name.empty()) {
        error = "certificate cannot be checked: no peer name";
        return nullptr;
      }
      std::string failure = VerifyPeer(session->Context(), name, settings.strCaFile);
      if (!failure.empty()) {
        // The certificate was refused: no application data crosses this session.
        error = "certificate verify failed: " + failure;
        return nullptr;
      }
    }
    if (!session->QuerySizes(error)) return nullptr;
    return std::make_unique<CSchannelConnection>(std::move(session));
  }

  std::string LibraryVersion() override { return "Schannel"; }
};

}  // namespace

ITlsClient& DefaultTlsClient() {
  static CSchannelTlsClient client;
  return client;
}

}  // namespace varnel
