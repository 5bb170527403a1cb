#include "smtp/SMTPSocket.h"

#include "platform/Network.h"
#include "platform/System.h"
#include "platform/Tls.h"
#include "smtp/AddressList.h"
#include "smtp/CompletionEvent.h"
#include "smtp/MessageComposer.h"
#include "smtp/SMTPChannel.h"
#include "smtp/SMTPDataStream.h"

namespace varnel {
namespace {

constexpr std::int32_t kDefaultTimeout = 30000;

// A value placed inside a command line: control characters (CR and LF above all) are
// dropped, so no address can end the command early and add commands of its own; the
// relay then judges what is left.
std::string CommandArgument(const std::string& value) {
  std::string result;
  result.reserve(value.size());
  for (char c : value) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) result += c;
  }
  return result;
}

// The reply code: three digits followed by a blank, a hyphen or nothing (RFC 5321
// section 4.2), the same on every line of a multi-line reply (section 4.2.1); empty for
// anything else, which no state accepts. A reply that starts "250-" and ends "451" is
// neither an acceptance nor a refusal.
std::string ReplyCode(const std::string& reply) {
  if (reply.size() < 3) return {};
  for (int i = 0; i < 3; ++i) {
    if (reply[static_cast<std::size_t>(i)] < '0' || reply[static_cast<std::size_t>(i)] > '9') return {};
  }
  std::string code = reply.substr(0, 3);
  for (std::size_t at = 0;;) {
    std::size_t end = reply.find("\r\n", at);
    std::size_t length = (end == std::string::npos ? reply.size() : end) - at;
    if (length < 3 || reply.compare(at, 3, code) != 0) return {};
    if (length > 3 && reply[at + 3] != ' ' && reply[at + 3] != '-') return {};
    if (end == std::string::npos) {
      // The last line ends the reply: a hyphen there means the rest never came.
      return length > 3 && reply[at + 3] == '-' ? std::string() : code;
    }
    at = end + 2;
  }
}

// The text of a one-line reply after its code.
std::string ReplyText(const std::string& reply) { return reply.size() > 4 ? reply.substr(4) : std::string(); }

// A connection that takes every byte and keeps none: the message is composed into it to
// learn its size.
class CCountingConnection final : public IConnection {
 public:
  IoResult SendAll(const char*, std::size_t, std::chrono::milliseconds) override { return IoResult::Ok; }
  IoResult Receive(char*, std::size_t, std::size_t& received, std::chrono::milliseconds) override {
    received = 0;
    return IoResult::Closed;
  }
};

}  // namespace

const char* SMTPStateName(SMTPState state) {
  switch (state) {
    case SMTPState::Greeting: return "greeting";
    case SMTPState::Ehlo: return "EHLO";
    case SMTPState::Helo: return "HELO";
    case SMTPState::StartTls: return "STARTTLS";
    case SMTPState::Auth: return "AUTH";
    case SMTPState::Mail: return "MAIL";
    case SMTPState::Rcpt: return "RCPT";
    case SMTPState::Data: return "DATA";
    case SMTPState::Message: return "end of data";
    case SMTPState::Cancel: return "*";
    case SMTPState::Quit: return "QUIT";
    case SMTPState::Done: return "no command";
  }
  return "?";
}

std::chrono::milliseconds EffectiveTimeout(std::int32_t milliseconds) {
  // A negative time-out would wait for ever; it gets the default instead.
  return std::chrono::milliseconds(milliseconds > 0 ? milliseconds : kDefaultTimeout);
}

std::string ChooseGreetingName(const std::string& configured, const std::string& hostName,
                               const std::string& localAddressLiteral) {
  std::string name = CommandArgument(configured);
  if (!name.empty()) return name;
  name = CommandArgument(hostName);
  if (name.find('.') != std::string::npos) return name;
  if (!localAddressLiteral.empty()) return localAddressLiteral;
  return name.empty() ? std::string("localhost") : name;
}

CSMTPSocket::CSMTPSocket(CSMTPChannel& channel) : m_pChannel(&channel), m_link(*channel.Platform().pNetwork) {
  m_pChannel->WriteLog("CSMTPSocket constructor called");
}

CSMTPSocket::~CSMTPSocket() { m_pChannel->WriteLog("CSMTPSocket destructor called"); }

void CSMTPSocket::SetState(SMTPState state) { m_eState = state; }

bool CSMTPSocket::Create(const std::string& bindAddress) {
  std::string error;
  if (m_link.Create(bindAddress, error)) return true;
  m_strLastError = error;
  return false;
}

bool CSMTPSocket::Connect(const std::string& host, int port) {
  CSMTPChannel& channel = *m_pChannel;
  std::string error;
  if (!m_link.Connect(host, port, channel.WaitLimit(), error)) {
    m_strLastError = error;
    return false;
  }
  // The certificate must name the relay as the caller wrote it, not as it was resolved.
  m_strPeerName = channel.m_strRelayName.empty() ? host : channel.m_strRelayName;
  INetwork& network = *channel.Platform().pNetwork;
  std::string qualified = GetFullyQualifiedName(network);
  m_strGreetingName = ChooseGreetingName(channel.m_settings.installation.strHeloName,
                                         qualified.empty() ? GetLocalHostName(network) : qualified,
                                         m_link.Connection().LocalAddressLiteral());
  channel.m_settings.strHeloName = m_strGreetingName;
  channel.m_bRelayConnected = true;
  return true;
}

CSMTPSocket::EndReason CSMTPSocket::Run() {
  CSMTPChannel& channel = *m_pChannel;
  CCompletionEvent& done = *channel.m_hCompleteEvent;
  m_link.RestartDeadline(channel.WaitLimit());
  if (channel.m_nTlsMode == TlsMode::Implicit && !StartTls()) return EndReason::Completed;

  // Once the outcome is known (the relay took the message, or refused something), what
  // happens to QUIT cannot change it.
  auto ended = [&](EndReason reason, const char* what) {
    if (m_bAccepted) {
      channel.WriteLog(std::string("Message accepted; ") + what + " after QUIT");
    } else if (m_eState == SMTPState::Quit || m_eState == SMTPState::Cancel) {
      channel.WriteLog(std::string("Closing: ") + what + " after " + SMTPStateName(m_eState));
    } else {
      return reason;
    }
    CompleteDialogue();
    return EndReason::Completed;
  };
  CSMTPReplyReader& reader = m_link.Reader();
  char buffer[4096];
  while (!done.IsSet()) {
    if (m_link.TimedOut()) return ended(EndReason::Timeout, "time-out");
    if (m_link.Lost()) return ended(EndReason::Closed, "connection lost");
    std::chrono::milliseconds left = m_link.Left();
    if (left.count() <= 0) return ended(EndReason::Timeout, "time-out");
    std::size_t received = 0;
    IoResult result = m_link.Receive(buffer, sizeof buffer, received, left);
    if (result == IoResult::Timeout) continue;  // the deadline decides
    if (result != IoResult::Ok) {
      // A last reply that lacks its line end is still the relay's answer; a piece of one
      // that carries no reply code ("25", "250-queued" without its last line) answers
      // nothing: the connection ended before the reply did.
      std::string last;
      if (result == IoResult::Closed && reader.Finish(last)) {
        if (ReplyCode(last).empty()) {
          channel.WriteLog("Connection closed inside a reply: " + last.substr(0, last.find("\r\n")));
        } else {
          OnReceive(last);
          if (done.IsSet()) return EndReason::Completed;
        }
      }
      return ended(EndReason::Closed, "connection closed");
    }
    reader.Feed(buffer, received);
    if (reader.TooLong()) {
      channel.WriteLog("Reply too long: more than " + std::to_string(CSMTPReplyReader::kMaxReply) + " bytes");
      channel.m_strErrorDetail = "reply too long";
      EndDialogue(Status::DestinationError, nullptr, Farewell::None);
      break;
    }
    std::string reply;
    while (!done.IsSet() && !m_link.Lost() && !m_link.TimedOut() && reader.Next(reply)) {
      OnReceive(reply);
      // A reply that came during the message is awaited whole.
      if (done.IsSet() || !reader.HasUnread() || m_bEarlyReply) continue;
      // Bytes that were already here when the command went out cannot answer it: this
      // client never pipelines, so they answer nothing.
      std::string extra;
      if (!reader.Next(extra)) reader.Finish(extra);
      channel.WriteLog("Reply without a command: " + extra);
      EndDialogue(Status::DestinationError, &extra, Farewell::None);
    }
  }
  return EndReason::Completed;
}

bool CSMTPSocket::SendCommand(const std::string& command, SMTPState next, const std::string& logText) {
  if (!m_link.Send(command, m_pChannel->WaitLimit())) return false;
  m_pChannel->WriteLog(logText.empty() ? command : logText);
  SetState(next);
  return true;
}

void CSMTPSocket::EndDialogue(Status status, const std::string* reply, Farewell farewell) {
  // The first outcome stands: a message the relay has taken stays sent, and a refusal
  // stays the refusal, whatever comes after.
  if (!m_bAccepted && !m_bOutcomeKnown) {
    m_bOutcomeKnown = true;
    m_pChannel->m_nStatus = status;
    if (reply != nullptr) {
      m_pChannel->m_strSMTPReply = *reply;
      m_pChannel->m_strSMTPErrorNumber = reply->substr(0, 3);
    }
  }
  if (farewell == Farewell::CancelThenQuit && SendCommand("*", SMTPState::Cancel)) return;
  if (farewell == Farewell::Quit && SendCommand("QUIT", SMTPState::Quit)) return;
  CompleteDialogue();
}

void CSMTPSocket::CompleteDialogue() {
  SetState(SMTPState::Done);
  m_pChannel->m_hCompleteEvent->Set();
}

void CSMTPSocket::EndWithTlsError(const std::string& reason, Farewell farewell) {
  m_pChannel->WriteLog("TLS could not be established: " + reason);
  m_pChannel->m_strErrorDetail = reason;
  EndDialogue(Status::Tls, nullptr, farewell);
}

bool CSMTPSocket::WantsEhlo() const {
  return m_pChannel->m_bAuthenticate || m_pChannel->m_nTlsMode != TlsMode::Never;
}

void CSMTPSocket::SendHello(bool extended) {
  // A hello that could not be sent has ended the attempt (the link says how).
  (void)SendCommand((extended ? "EHLO " : "HELO ") + m_strGreetingName, extended ? SMTPState::Ehlo : SMTPState::Helo);
}

void CSMTPSocket::OnReceive(const std::string& reply) {
  CSMTPChannel& channel = *m_pChannel;
  // One log line per reply line, each with the log's own prefix.
  for (std::size_t at = 0; at <= reply.size();) {
    std::size_t end = reply.find("\r\n", at);
    if (end == std::string::npos) end = reply.size();
    channel.WriteLog(reply.substr(at, end - at));
    at = end + 2;
  }
  std::string code = ReplyCode(reply);
  bool handled = false;
  switch (m_eState) {
    case SMTPState::Greeting: handled = OnGreeting(code); break;
    case SMTPState::Ehlo: handled = OnEhlo(code, reply); break;
    case SMTPState::Helo: handled = OnHelo(code); break;
    case SMTPState::StartTls: handled = OnStartTlsReply(code, reply); break;
    case SMTPState::Auth: handled = OnAuth(code, reply); break;
    case SMTPState::Mail: handled = OnMail(code); break;
    case SMTPState::Rcpt: handled = OnRcpt(code, reply); break;
    case SMTPState::Data: handled = OnData(code); break;
    case SMTPState::Message: handled = OnMessage(code, reply); break;
    case SMTPState::Cancel: OnCancel(); return;
    case SMTPState::Quit: OnQuit(code); return;
    case SMTPState::Done: return;
  }
  if (!handled) OnUnexpected(code, reply);
}

bool CSMTPSocket::OnGreeting(const std::string& code) {
  if (code != "220") return false;
  SendHello(WantsEhlo());
  return true;
}

bool CSMTPSocket::OnEhlo(const std::string& code, const std::string& reply) {
  CSMTPChannel& channel = *m_pChannel;
  std::int32_t mode = channel.m_nTlsMode;
  bool tlsActive = m_link.TlsActive();
  if (code == "250") {
    m_capabilities = CSMTPCapabilities::Parse(reply);
    bool wantTls = !tlsActive && (mode == TlsMode::Opportunistic || mode == TlsMode::Required);
    if (wantTls && m_capabilities->bStartTls) {
      (void)SendCommand("STARTTLS", SMTPState::StartTls);
      return true;
    }
    if (wantTls && mode == TlsMode::Required) {
      EndWithTlsError("the relay does not offer STARTTLS", Farewell::Quit);
      return true;
    }
    if (wantTls) channel.WriteLog("The relay does not offer STARTTLS: continuing without TLS");
    channel.m_bRelay8BitMime = m_capabilities->b8BitMime;
    AfterHello();
    return true;
  }
  // RFC 5321 section 4.1.4: a relay that does not know EHLO may still know HELO.
  if ((code == "500" || code == "502") && !(mode == TlsMode::Required && !tlsActive)) {
    channel.WriteLog("EHLO refused: falling back to HELO");
    SendHello(false);
    return true;
  }
  if (mode == TlsMode::Required && !tlsActive) {
    channel.m_strErrorDetail = "the relay refused EHLO, so STARTTLS cannot be used";
    channel.WriteLog("TLS could not be established: " + channel.m_strErrorDetail);
    EndDialogue(Status::Tls, &reply, Farewell::Quit);
    return true;
  }
  return false;
}

bool CSMTPSocket::OnHelo(const std::string& code) {
  if (code != "250") return false;
  if (!m_link.TlsActive() && m_pChannel->m_nTlsMode == TlsMode::Opportunistic) {
    m_pChannel->WriteLog("Continuing without TLS");
  }
  AfterHello();
  return true;
}

bool CSMTPSocket::OnStartTlsReply(const std::string& code, const std::string& reply) {
  CSMTPChannel& channel = *m_pChannel;
  if (code == "220") {
    OnStartTlsReady();
    return true;
  }
  if (channel.m_nTlsMode == TlsMode::Opportunistic && !channel.m_bAuthenticate) {
    channel.WriteLog("STARTTLS refused: continuing without TLS");
    AfterHello();
    return true;
  }
  channel.m_strErrorDetail = "the relay refused STARTTLS";
  channel.WriteLog("TLS could not be established: " + channel.m_strErrorDetail);
  EndDialogue(Status::Tls, &reply, Farewell::Quit);
  return true;
}

bool CSMTPSocket::OnAuth(const std::string& code, const std::string& reply) {
  CSMTPChannel& channel = *m_pChannel;
  if (code == "334") {
    std::string response;
    if (!m_pMechanism->Answer(ReplyText(reply), response)) {
      EndDialogue(Status::LogOn, &reply, Farewell::CancelThenQuit);
      return true;
    }
    (void)SendCommand(response, SMTPState::Auth, kCredentialMask);
    return true;
  }
  if (code == "235") {
    SendMail();
    return true;
  }
  if (code == "535" && m_pMechanism->RetryAfterRefusal()) {
    channel.WriteLog("Token refused: trying once more with a fresh one");
    (void)SendCommand(m_pMechanism->Command(), SMTPState::Auth, m_pMechanism->LogText());
    return true;
  }
  return false;
}

bool CSMTPSocket::OnMail(const std::string& code) {
  if (code != "250") return false;
  m_pChannel->m_nRecipientIndex = 0;
  SendNextRecipient();
  return true;
}

bool CSMTPSocket::OnRcpt(const std::string& code, const std::string& reply) {
  CSMTPChannel& channel = *m_pChannel;
  if (code == "250" || code == "251") {
    ++channel.m_nRecipientIndex;
    ++m_nAcceptedRecipients;
    SendNextRecipient();
    return true;
  }
  if (channel.m_bPartialRecipients && code.size() == 3 && code[0] == '5') {
    // Dropped on request: the message goes to the others, the outcome names this one.
    std::string address = channel.m_arrRecipients[static_cast<std::size_t>(channel.m_nRecipientIndex)];
    std::string line = reply.substr(0, reply.find("\r\n"));
    channel.WriteLog("Recipient refused and dropped: " + address);
    channel.m_arrRefusedRecipients.push_back({address, line});
    m_strLastRefusal = reply;
    ++channel.m_nRecipientIndex;
    SendNextRecipient();
    return true;
  }
  return false;
}

bool CSMTPSocket::OnData(const std::string& code) {
  if (code != "354") return false;
  SetState(SMTPState::Message);
  SendMessageText();
  return true;
}

bool CSMTPSocket::OnMessage(const std::string& code, const std::string& reply) {
  CSMTPChannel& channel = *m_pChannel;
  if (m_bEarlyReply) {
    // Only the first reply after the end-of-data line is the relay's verdict; one
    // that came before it, a "250" above all, accepts nothing.
    channel.WriteLog("Reply before the end of the message: the message was not sent whole");
    channel.m_strErrorDetail = "the relay answered before the end of the message";
    EndDialogue(Status::DestinationError, &reply, Farewell::None);
    return true;
  }
  if (code.empty()) {
    // Neither an acceptance nor a refusal: the relay may hold the message, so it is not
    // reported as refused (which a caller would answer by sending it again).
    channel.m_strErrorDetail = "the relay's reply to the end of the message has no reply code";
    channel.WriteLog("Unreadable reply to the end of the message: the relay may have accepted it");
    EndDialogue(Status::Unknown, &reply, Farewell::None);
    return true;
  }
  if (code != "250") return false;
  // The relay has taken responsibility for the message (RFC 5321 section 4.1.1.4): a QUIT
  // that cannot be sent changes nothing.
  m_bAccepted = true;
  channel.m_nStatus = channel.m_arrRefusedRecipients.empty() ? Status::Success : Status::Partial;
  (void)SendCommand("QUIT", SMTPState::Quit);
  return true;
}

void CSMTPSocket::OnCancel() {
  // Whatever the relay answers to "*" (501 as a rule), the exchange is over.
  if (!SendCommand("QUIT", SMTPState::Quit)) CompleteDialogue();
}

void CSMTPSocket::OnQuit(const std::string& code) {
  if (m_bAccepted && code != "221") m_pChannel->WriteLog("Message accepted; QUIT answered otherwise");
  CompleteDialogue();
}

void CSMTPSocket::OnUnexpected(const std::string& code, const std::string& reply) {
  m_pChannel->WriteLog(std::string("Unexpected reply to ") + SMTPStateName(m_eState));
  if (m_eState == SMTPState::Auth) m_pChannel->m_bSignInRefused = true;
  // A relay that says it closes (221, 421) or whose reply has no code gets no QUIT.
  bool closing = code.empty() || code == "221" || code == "421";
  EndDialogue(Status::DestinationError, &reply, closing ? Farewell::None : Farewell::Quit);
}

void CSMTPSocket::AfterHello() {
  CSMTPChannel& channel = *m_pChannel;
  if (!PlanMessage()) return;
  if (!channel.m_bAuthenticate) return SendMail();
  // Credentials and tokens go in clear only where the call or the settings allow it.
  if (!m_link.TlsActive() && !channel.m_settings.bPlainSignInAllowed) {
    return EndWithTlsError(
        "credentials are not sent over a connection without TLS (the relay offers no STARTTLS, or TLS is off; "
        "@tls=0 or the AllowPlainSignIn setting permits it)",
        Farewell::Quit);
  }
  if (!m_link.TlsActive()) channel.WriteLog("Signing in without TLS, as allowed");
  StartAuthentication();
}

bool CSMTPSocket::PlanMessage() {
  CSMTPChannel& channel = *m_pChannel;
  CCountingConnection counter;
  CSMTPDataStream stream(counter, channel.WaitLimit(), channel.m_strTerminator == "\r\n");
  CMessageComposer composer(channel, stream);
  composer.SetLogging(false);
  m_plan = composer.Plan(CurrentTime());
  m_nMessageSize.reset();
  if (!m_capabilities || !m_capabilities->bSize) return true;
  // The message as it will be sent, composed once more to count its octets.
  composer.Compose(m_plan);
  stream.Finish();
  m_nMessageSize = stream.MessageOctets();
  if (m_capabilities->nMaxSize == 0 || *m_nMessageSize <= m_capabilities->nMaxSize) return true;
  // Past the limit already: the relay would refuse the message only after all of it.
  std::string refusal = "552 Message too big for the relay: " + std::to_string(*m_nMessageSize) +
                        " bytes, the relay takes at most " + std::to_string(m_capabilities->nMaxSize) + " (SIZE)";
  channel.WriteLog(refusal);
  EndDialogue(Status::DestinationError, &refusal, Farewell::Quit);
  return false;
}

void CSMTPSocket::StartAuthentication() {
  CSMTPChannel& channel = *m_pChannel;
  m_pMechanism = ChooseSASLMechanism(m_capabilities ? &*m_capabilities : nullptr, channel.m_strSMTPUsername,
                                     channel.m_strSMTPPassword, channel.m_strSMTPOAuthToken, m_pFreshTokens);
  (void)SendCommand(m_pMechanism->Command(), SMTPState::Auth, m_pMechanism->LogText());
}

void CSMTPSocket::SendMail() {
  // A probe ends where the message would begin: connected, secured and signed in.
  if (m_pChannel->m_bProbe) return EndDialogue(Status::Success, nullptr, Farewell::Quit);
  std::string command = "MAIL From:<" + CommandArgument(m_pChannel->m_strFromAddress) + ">";
  // RFC 1870 and RFC 6152: the size and an 8-bit body are declared to a relay that
  // announced the extension.
  if (m_capabilities && m_capabilities->bSize && m_nMessageSize) command += " SIZE=" + std::to_string(*m_nMessageSize);
  if (m_capabilities && m_capabilities->b8BitMime && m_plan.strBodyEncoding == "8bit") command += " BODY=8BITMIME";
  (void)SendCommand(command, SMTPState::Mail);
}

void CSMTPSocket::SendNextRecipient() {
  CSMTPChannel& channel = *m_pChannel;
  std::size_t index = static_cast<std::size_t>(channel.m_nRecipientIndex);
  if (index < channel.m_arrRecipients.size()) {
    (void)SendCommand("RCPT To:<" + CommandArgument(channel.m_arrRecipients[index]) + ">", SMTPState::Rcpt);
    return;
  }
  if (m_nAcceptedRecipients == 0) {
    // Every recipient was refused: nothing to send.
    channel.WriteLog("No recipient was accepted");
    return EndDialogue(Status::DestinationError, &m_strLastRefusal, Farewell::Quit);
  }
  (void)SendCommand("DATA", SMTPState::Data);
}

void CSMTPSocket::OnStartTlsReady() {
  // RFC 3207 section 4.2: nothing may follow the 220 before the handshake; bytes that
  // did could have been injected by a man in the middle.
  if (m_link.Reader().HasUnread()) return EndWithTlsError("the relay sent data after its STARTTLS reply", Farewell::None);
  if (!StartTls()) return;
  // Everything learned before the handshake is forgotten (RFC 3207 section 4.2).
  m_capabilities.reset();
  m_pChannel->m_bRelay8BitMime = false;
  SendHello(true);
}

bool CSMTPSocket::StartTls() {
  CSMTPChannel& channel = *m_pChannel;
  ITlsClient* tls = channel.Platform().pTls;
  if (tls == nullptr) {
    EndWithTlsError("no TLS library available", Farewell::None);
    return false;
  }
  CTlsSettings settings;
  settings.strPeerName = m_strPeerName;
  settings.bVerify = channel.m_bTlsVerify;
  settings.strCaFile = channel.m_settings.installation.strTlsCaFile;
  if (!settings.bVerify) channel.WriteLog("TLS without certificate checks: the relay's identity is not verified");
  std::string error;
  if (!m_link.StartTls(*tls, settings, channel.WaitLimit(), error)) {
    EndWithTlsError(error.empty() ? std::string("handshake failed") : error, Farewell::None);
    return false;
  }
  channel.m_strTlsVersion = m_link.Connection().TlsVersion();
  channel.m_strTlsCipher = m_link.Connection().TlsCipher();
  channel.WriteLog("TLS established with " + m_strPeerName + ": " +
                   (channel.m_strTlsVersion.empty() ? std::string("version unknown") : channel.m_strTlsVersion) +
                   ", cipher " + (channel.m_strTlsCipher.empty() ? std::string("unknown") : channel.m_strTlsCipher));
  return true;
}

void CSMTPSocket::SendMessageText() {
  CSMTPChannel& channel = *m_pChannel;
  CSMTPDataStream stream(m_link.Connection(), channel.WaitLimit(), channel.m_strTerminator == "\r\n");
  stream.m_fnInterrupt = [this] { return m_link.RelaySpoke(); };
  // A relay that keeps reading slowly cannot hold the call past its bound (@maxseconds).
  stream.m_tDeadline = channel.m_tCallDeadline;
  CMessageComposer composer(channel, stream);
  composer.Compose(m_plan);
  channel.m_strMessageId = composer.MessageId();
  if (!composer.AttachmentRefusal().empty()) {
    // A file was refused as it was opened for sending (it changed after the check before
    // MAIL): the message is never ended, so the relay discards it (RFC 5321 section 4.1.1.4).
    channel.WriteLog("Attachment not allowed: " + composer.AttachmentRefusal() + "; the message is abandoned");
    channel.m_strErrorDetail = composer.AttachmentRefusal();
    return EndDialogue(Status::AttachmentRefused, nullptr, Farewell::None);
  }
  // The end of data is a protocol line: CR LF "." CR LF whatever the text's line ends.
  IoResult result = stream.Finish();
  channel.m_nMessageBytes = stream.MessageOctets();
  // A relay that refused and then closed may have said why before it went.
  if (result == IoResult::Closed || result == IoResult::Error) m_link.RelaySpoke();
  if (m_link.Reader().HasUnread()) {
    // The rest of that reply is awaited as long as any reply.
    m_link.SetLost(false);
    m_bEarlyReply = true;
    m_link.RestartDeadline(channel.WaitLimit());
    return;
  }
  if (stream.Interrupted()) return;  // the connection was lost
  if (result == IoResult::Ok) {
    // From here on the relay may hold the message: it is never sent again.
    channel.m_bEndOfDataSent = true;
    channel.WriteLog(".");
    m_link.RestartDeadline(channel.WaitLimit());
  } else if (result == IoResult::Timeout) {
    m_link.SetTimedOut();
  } else {
    m_link.SetLost(true);
  }
}

}  // namespace varnel
