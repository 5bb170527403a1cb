// The SMTP dialogue of one send (RFC 5321, STARTTLS RFC 3207, AUTH RFC 4954) over its
// command link (smtp/SMTPCommandLink.h). Each state knows the command it sent and the
// replies that answer it (RFC 5321 section 4.3.2), one handler per state behind one
// dispatch; any other reply, a reply nobody asked for, or one past the reader's limit
// ends the send. The outcome goes into the channel (status code, reply
// text and code) and the channel's completion event.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Network.h"
#include "smtp/ChannelStatus.h"
#include "smtp/MessageComposer.h"
#include "smtp/SASL.h"
#include "smtp/SMTPCapabilities.h"
#include "smtp/SMTPCommandLink.h"

namespace varnel {

class CSMTPChannel;
class IAccessTokenSource;

// What the dialogue waits for: the reply to the command named.
enum class SMTPState {
  Greeting,  // the relay's 220 after connecting
  Ehlo,
  Helo,
  StartTls,
  Auth,      // the AUTH command and the mechanism's responses
  Mail,
  Rcpt,
  Data,
  Message,   // the end of the message text
  Cancel,    // "*", which ends an AUTH exchange (RFC 4954 section 4)
  Quit,
  Done,      // nothing: the dialogue is over
};

// The state's name for the log.
const char* SMTPStateName(SMTPState state);

// The delivery time-out in effect: the channel's milliseconds, or the default when the
// caller gave a value that cannot bound a wait.
std::chrono::milliseconds EffectiveTimeout(std::int32_t milliseconds);

// The name the client greets with (RFC 5321 section 4.1.3): the configured name when one
// is set, else the host's fully qualified name, else the address literal of the
// connection's local end; the host name as the last resort.
std::string ChooseGreetingName(const std::string& configured, const std::string& hostName,
                               const std::string& localAddressLiteral);

class CSMTPSocket {
 public:
  enum class EndReason { Completed, Timeout, Closed };

  explicit CSMTPSocket(CSMTPChannel& channel);
  ~CSMTPSocket();
  CSMTPSocket(const CSMTPSocket&) = delete;
  CSMTPSocket& operator=(const CSMTPSocket&) = delete;

  // Creates the socket bound to a local dotted address (empty: any address).
  bool Create(const std::string& bindAddress);
  // Connects within the channel's time-out; with implicit TLS the handshake follows.
  bool Connect(const std::string& host, int port);
  // The system's words for the last failure of Create or Connect.
  const std::string& LastError() const { return m_strLastError; }
  // Reads replies and answers them until the dialogue ends, a reply is not complete
  // within the time-out after its command, or the connection is lost.
  EndReason Run();
  // Acts on one complete reply.
  void OnReceive(const std::string& reply);

  // Where a token the relay refused is replaced by a fresh one (null: a refused token
  // ends the sign-in); the XOAUTH2 mechanism asks it, at most once.
  IAccessTokenSource* m_pFreshTokens = nullptr;

 private:
  // How the dialogue takes leave once its outcome is known: QUIT, so that the relay
  // closes in order (RFC 5321 section 4.1.1.10); "*" first when an AUTH exchange waits
  // for an answer; or nothing, where the relay said it closes, the stream cannot carry a
  // command (inside the message, a TLS handshake) or cannot be trusted.
  enum class Farewell { Quit, CancelThenQuit, None };

  // The one way to change the state.
  void SetState(SMTPState state);
  // Sends one command and, once it went out whole, awaits its reply in state next. A
  // command that could not be sent ends the attempt: the link is lost or timed out and
  // Run returns as for a connection that ended (false here).
  [[nodiscard]] bool SendCommand(const std::string& command, SMTPState next,
                                 const std::string& logText = std::string());
  void EndDialogue(Status status, const std::string* reply, Farewell farewell);
  void CompleteDialogue();
  void EndWithTlsError(const std::string& reason, Farewell farewell);
  void SendHello(bool extended);
  void AfterHello();
  // Decides the message before MAIL: its body encoding and, for a relay that takes
  // SIZE, its exact size. False when the relay's SIZE limit is passed (the send ends).
  bool PlanMessage();
  void StartAuthentication();
  void SendMail();
  void SendNextRecipient();
  void SendMessageText();
  void OnStartTlsReady();
  bool StartTls();
  bool WantsEhlo() const;

  // One handler per state, each for the reply to its command: false for a reply the
  // state does not expect (the dialogue then ends on it).
  bool OnGreeting(const std::string& code);
  bool OnEhlo(const std::string& code, const std::string& reply);
  bool OnHelo(const std::string& code);
  bool OnStartTlsReply(const std::string& code, const std::string& reply);
  bool OnAuth(const std::string& code, const std::string& reply);
  bool OnMail(const std::string& code);
  bool OnRcpt(const std::string& code, const std::string& reply);
  bool OnData(const std::string& code);
  bool OnMessage(const std::string& code, const std::string& reply);
  void OnCancel();
  void OnQuit(const std::string& code);
  void OnUnexpected(const std::string& code, const std::string& reply);

  CSMTPChannel* m_pChannel;
  SMTPState m_eState = SMTPState::Greeting;
  CSMTPCommandLink m_link;
  std::optional<CSMTPCapabilities> m_capabilities;
  std::unique_ptr<CSASLMechanism> m_pMechanism;
  CMessageComposer::CPlan m_plan;
  std::optional<std::uint64_t> m_nMessageSize;
  std::string m_strGreetingName;
  std::string m_strPeerName;
  std::string m_strLastError;
  bool m_bAccepted = false;
  bool m_bEarlyReply = false;  // the relay answered before the end of the message
  bool m_bOutcomeKnown = false;  // EndDialogue has recorded the send's outcome
  std::size_t m_nAcceptedRecipients = 0;
  std::string m_strLastRefusal;  // the last recipient refusal that was passed over
};

}  // namespace varnel
