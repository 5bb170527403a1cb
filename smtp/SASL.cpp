#include "smtp/SASL.h"

#include "mime/Base64Encoder.h"
#include "oauth/AccessTokenSource.h"
#include "platform/AsciiCase.h"
#include "smtp/SMTPCapabilities.h"

namespace varnel {
namespace {

enum class LoginPrompt { UserName, Password, Other };

// The LOGIN mechanism's challenges are "Username:" and "Password:" in base64; relays that
// word them otherwise ("User Name", "Password" with a NUL) are recognised by the decoded
// text's first word, so that any other challenge is still refused.
LoginPrompt RecogniseLoginPrompt(std::string_view challenge) {
  if (challenge.find("VXNlcm5hbWU6") != std::string_view::npos) return LoginPrompt::UserName;
  if (challenge.find("UGFzc3dvcmQ6") != std::string_view::npos) return LoginPrompt::Password;
  std::string decoded = AsciiLower(Base64DecodeText(challenge));
  if (decoded.rfind("user", 0) == 0) return LoginPrompt::UserName;
  if (decoded.rfind("pass", 0) == 0) return LoginPrompt::Password;
  return LoginPrompt::Other;
}

class CSASLLogin final : public CSASLMechanism {
 public:
  CSASLLogin(std::string user, std::string password) : m_strUser(std::move(user)), m_strPassword(std::move(password)) {}
  const char* Name() const override { return "LOGIN"; }
  std::string Command() const override { return "AUTH LOGIN"; }
  bool Answer(std::string_view challenge, std::string& response) override {
    // The user name first, then the password: each prompt is answered once.
    LoginPrompt prompt = RecogniseLoginPrompt(challenge);
    if (prompt == LoginPrompt::UserName && !m_bUserSent) {
      m_bUserSent = true;
      response = Base64EncodeText(m_strUser);
      return true;
    }
    if (prompt == LoginPrompt::Password && m_bUserSent && !m_bPasswordSent) {
      m_bPasswordSent = true;
      response = Base64EncodeText(m_strPassword);
      return true;
    }
    return false;
  }

 private:
  std::string m_strUser;
  std::string m_strPassword;
  bool m_bUserSent = false;
  bool m_bPasswordSent = false;
};

// RFC 4616: the initial response carries everything; no challenge is expected.
class CSASLPlain final : public CSASLMechanism {
 public:
  CSASLPlain(const std::string& user, const std::string& password)
      : m_strResponse(Base64EncodeText(std::string(1, '\0') + user + '\0' + password)) {}
  const char* Name() const override { return "PLAIN"; }
  std::string Command() const override { return "AUTH PLAIN " + m_strResponse; }
  std::string LogText() const override { return std::string("AUTH PLAIN ") + kCredentialMask; }
  bool Answer(std::string_view, std::string&) override { return false; }

 private:
  std::string m_strResponse;
};

// The relay's refusal of a token is a 334 with a base64 JSON error, which the client
// acknowledges with an empty line; the relay then ends the exchange with 535. A token the
// relay refused may only have gone stale: with a source of fresh ones, the exchange is
// tried once more with a new token.
class CSASLXOAuth2 final : public CSASLMechanism {
 public:
  CSASLXOAuth2(std::string user, const std::string& token, IAccessTokenSource* freshTokens)
      : m_strUser(std::move(user)), m_strResponse(Response(m_strUser, token)), m_pFreshTokens(freshTokens) {}
  const char* Name() const override { return "XOAUTH2"; }
  std::string Command() const override { return "AUTH XOAUTH2 " + m_strResponse; }
  std::string LogText() const override { return std::string("AUTH XOAUTH2 ") + kCredentialMask; }
  bool Answer(std::string_view, std::string& response) override {
    if (m_bErrorAcknowledged) return false;
    m_bErrorAcknowledged = true;
    response.clear();
    return true;
  }
  bool RetryAfterRefusal() override {
    if (m_pFreshTokens == nullptr || m_bRetried) return false;
    m_bRetried = true;
    std::string token;
    if (!m_pFreshTokens->Get(true, token)) return false;
    m_strResponse = Response(m_strUser, token);
    m_bErrorAcknowledged = false;
    return true;
  }

 private:
  static std::string Response(const std::string& user, const std::string& token) {
    return Base64EncodeText("user=" + user + "\x01" + "auth=Bearer " + token + "\x01\x01");
  }

  std::string m_strUser;
  std::string m_strResponse;
  IAccessTokenSource* m_pFreshTokens;
  bool m_bErrorAcknowledged = false;
  bool m_bRetried = false;
};

}  // namespace

std::string CSASLMechanism::LogText() const { return Command(); }

std::unique_ptr<CSASLMechanism> ChooseSASLMechanism(const CSMTPCapabilities* capabilities,
                                                    const std::string& user, const std::string& password,
                                                    const std::string& token, IAccessTokenSource* freshTokens) {
  if (!token.empty()) return std::make_unique<CSASLXOAuth2>(user, token, freshTokens);
  if (capabilities != nullptr && capabilities->OffersMechanism("PLAIN") && !capabilities->OffersMechanism("LOGIN")) {
    return std::make_unique<CSASLPlain>(user, password);
  }
  return std::make_unique<CSASLLogin>(user, password);
}

}  // namespace varnel
