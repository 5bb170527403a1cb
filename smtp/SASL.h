// SASL mechanisms of SMTP AUTH (RFC 4954), one object per mechanism: LOGIN, PLAIN
// (RFC 4616) and XOAUTH2 (a bearer token). Each builds its AUTH command and answers the
// relay's 334 challenges; a challenge it does not expect is reported, never looped on.
// After a refusal (535) the mechanism alone decides whether it has something new to try.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace varnel {

class IAccessTokenSource;
struct CSMTPCapabilities;

class CSASLMechanism {
 public:
  virtual ~CSASLMechanism() = default;
  virtual const char* Name() const = 0;
  // The AUTH command without its line end, with the initial response where the
  // mechanism sends one.
  virtual std::string Command() const = 0;
  // What the log shows of the command: credentials masked.
  virtual std::string LogText() const;
  // Answers one 334 challenge (the reply's text after the code); false when the
  // mechanism expects no challenge at this point.
  virtual bool Answer(std::string_view challenge, std::string& response) = 0;
  // Asked when the relay refused the sign-in (535): true when the mechanism has new
  // credentials to try, and Command() is then the AUTH command to send again. A password
  // refused stays refused; none retries without limit.
  virtual bool RetryAfterRefusal() { return false; }
};

// What the log shows in place of a credential.
inline constexpr const char* kCredentialMask = "********";

// XOAUTH2 when a token is given; otherwise LOGIN when offered or when the relay lists no
// mechanism it shares with us, PLAIN when offered without LOGIN. With freshTokens, a
// refused token is replaced once by a fresh one from there (a token that went stale);
// without, a refused token ends the sign-in.
std::unique_ptr<CSASLMechanism> ChooseSASLMechanism(const CSMTPCapabilities* capabilities,
                                                    const std::string& user, const std::string& password,
                                                    const std::string& token,
                                                    IAccessTokenSource* freshTokens = nullptr);

}  // namespace varnel
