// SASL mechanisms of SMTP AUTH (RFC 4954), one object per mechanism: LOGIN, PLAIN
// (RFC 4616) and XOAUTH2 (a bearer token). Each builds its AUTH command and answers the
// relay's 334 challenges; a challenge it does not expect is reported, never looped on.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace varnel {

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
};

// What the log shows in place of a credential.
inline constexpr const char* kCredentialMask = "********";

// XOAUTH2 when a token is given; otherwise LOGIN when offered or when the relay lists no
// mechanism it shares with us, PLAIN when offered without LOGIN.
std::unique_ptr<CSASLMechanism> ChooseSASLMechanism(const CSMTPCapabilities* capabilities,
                                                    const std::string& user, const std::string& password,
                                                    const std::string& token);

}  // namespace varnel
