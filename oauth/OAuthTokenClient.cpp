#include "oauth/OAuthTokenClient.h"

#include <memory>

#include "oauth/HttpResponseReader.h"
#include "oauth/OAuthTokenReply.h"
#include "platform/AsciiCase.h"
#include "platform/Deadline.h"
#include "platform/Network.h"
#include "platform/Tls.h"

namespace varnel {
namespace {

constexpr std::size_t kMaxUrl = 2048;

}  // namespace

std::string CHttpsUrl::LogName() const {
  std::string path = strTarget.substr(0, strTarget.find('?'));
  return "https://" + strAuthority + path;
}

bool ParseHttpsUrl(const std::string& text, CHttpsUrl& url, std::string& error) {
  url = CHttpsUrl();
  if (text.empty() || text.size() > kMaxUrl) {
    error = "bad token URL";
    return false;
  }
  // Only visible ASCII: the URL goes into the request line and the Host field, where a
  // space or line break would change the request.
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) {
      error = "bad token URL (space or control character)";
      return false;
    }
  }
  std::size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos) {
    error = "bad token URL";
    return false;
  }
  if (AsciiLower(text.substr(0, schemeEnd)) != "https") {
    error = "the token endpoint is not TLS: only https:// URLs are used";
    return false;
  }
  std::size_t authorityStart = schemeEnd + 3;
  std::size_t authorityEnd = text.find_first_of("/?#", authorityStart);
  std::string authority = text.substr(authorityStart, authorityEnd == std::string::npos ? std::string::npos
                                                                                        : authorityEnd - authorityStart);
  if (authority.find('@') != std::string::npos) {
    error = "bad token URL (user information is not used)";
    return false;
  }
  std::string host;
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string::npos || close == 1) {
      error = "bad token URL";
      return false;
    }
    host = authority.substr(1, close - 1);
    std::string rest = authority.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') {
      error = "bad token URL";
      return false;
    }
    if (!rest.empty()) port = rest.substr(1);
  } else {
    std::size_t colon = authority.find(':');
    host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  if (host.empty()) {
    error = "bad token URL (no host)";
    return false;
  }
  if (!port.empty()) {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
        std::stoi(port) > 65535) {
      error = "bad token URL (port)";
      return false;
    }
    url.nPort = std::stoi(port);
  }
  std::string target = authorityEnd == std::string::npos ? std::string() : text.substr(authorityEnd);
  target = target.substr(0, target.find('#'));
  if (target.empty() || target[0] == '?') target = "/" + target;
  url.strHost = host;
  url.strAuthority = authority;
  url.strTarget = target;
  return true;
}

std::string FormEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    bool unreserved = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '-' ||
                      u == '.' || u == '_' || u == '~';
    if (unreserved) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0x0F];
    }
  }
  return out;
}

std::string BuildTokenRequest(const CHttpsUrl& url, const COAuthRequest& request) {
  // RFC 6749 section 2.3.1 allows the client's credentials in the body; the endpoints this
  // serves (Microsoft's among them) take them there.
  std::string body = "grant_type=client_credentials&client_id=" + FormEncode(request.strClientId);
  if (!request.strClientSecret.empty()) body += "&client_secret=" + FormEncode(request.strClientSecret);
  if (!request.strScope.empty()) body += "&scope=" + FormEncode(request.strScope);
  std::string text;
  text.reserve(body.size() + 256);
  text += "POST " + url.strTarget + " HTTP/1.1\r\n";
  text += "Host: " + url.strAuthority + "\r\n";
  text += "User-Agent: Varnel/3.1\r\n";
  text += "Accept: application/json\r\n";
  text += "Content-Type: application/x-www-form-urlencoded\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "Connection: close\r\n\r\n";
  text += body;
  return text;
}

bool COAuthTokenClient::Fetch(const COAuthRequest& request, std::chrono::steady_clock::time_point deadline,
                              COAuthToken& token, std::string& error) {
  CHttpsUrl url;
  if (!ParseHttpsUrl(request.strTokenUrl, url, error)) return false;
  if (m_platform.pNetwork == nullptr || m_platform.pTls == nullptr) {
    error = "TLS is not available";
    return false;
  }
  INetwork& network = *m_platform.pNetwork;
  if (!network.StartSocketLibrary()) {
    error = "the socket library cannot be started";
    return false;
  }
  std::string detail;
  std::unique_ptr<IClientSocket> socket = network.CreateSocket(request.strBindAddress, detail);
  if (!socket) {
    error = "no socket for the token endpoint: " + detail;
    return false;
  }
  if (TimeLeft(deadline).count() == 0) {
    error = "timed out before the token request";
    return false;
  }
  std::unique_ptr<IConnection> plain = socket->Connect(url.strHost, url.nPort, TimeLeft(deadline), detail);
  if (!plain) {
    error = "cannot connect to the token endpoint: " + detail;
    return false;
  }
  CTlsSettings settings;
  settings.strPeerName = url.strHost;
  settings.bVerify = true;
  settings.strCaFile = request.strCaFile;
  std::unique_ptr<IConnection> connection = m_platform.pTls->Handshake(std::move(plain), settings, TimeLeft(deadline), detail);
  if (!connection) {
    error = "TLS with the token endpoint failed: " + detail;
    return false;
  }

  std::string text = BuildTokenRequest(url, request);
  IoResult sent = connection->SendAll(text.data(), text.size(), TimeLeft(deadline));
  text.assign(text.size(), '\0');  // the secret does not linger in freed memory
  if (sent != IoResult::Ok) {
    error = sent == IoResult::Timeout ? "timed out sending the token request" : "the token endpoint closed the connection";
    return false;
  }

  CHttpResponseReader reader;
  char buffer[16 * 1024];
  while (reader.GetState() == CHttpResponseReader::State::Reading) {
    std::chrono::milliseconds left = TimeLeft(deadline);
    if (left.count() == 0) {
      error = "timed out waiting for the token endpoint";
      return false;
    }
    std::size_t received = 0;
    IoResult result = connection->Receive(buffer, sizeof buffer, received, left);
    if (result == IoResult::Ok) {
      reader.Feed(buffer, received);
    } else if (result == IoResult::Closed) {
      reader.Finish();
    } else if (result == IoResult::Timeout) {
      error = "timed out waiting for the token endpoint";
      return false;
    } else {
      error = "the connection to the token endpoint failed";
      return false;
    }
  }
  if (reader.GetState() == CHttpResponseReader::State::Failed) {
    error = "bad reply from the token endpoint: " + reader.Error();
    return false;
  }
  COAuthTokenReply reply;
  if (!ReadOAuthTokenReply(reader.StatusCode(), reader.Reason(), reader.Body(), reply, error)) return false;
  token.strAccessToken = reply.strAccessToken;
  token.nExpiresIn = reply.nExpiresIn;
  return true;
}

}  // namespace varnel
