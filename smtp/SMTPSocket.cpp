#include "smtp/SMTPSocket.h"

#include "platform/Network.h"
#include "platform/Settings.h"
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
// Commands end with CR LF whatever line ends the message text uses (RFC 5321 section 2.3.8).
constexpr const char* kCommandEnd = "\r\n";

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
// section 4.2); empty for anything else, which no state accepts.
std::string ReplyCode(const std::string& reply) {
  if (reply.size() < 3) return {};
  for (int i = 0; i < 3; ++i) {
    if (reply[static_cast<std::size_t>(i)] < '0' || reply[static_cast<std::size_t>(i)] > '9') return {};
  }
  if (reply.size() > 3 && reply[3] != ' ' && reply[3] != '-' && reply[3] != '\r') return {};
  return reply.substr(0, 3);
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

CSMTPSocket::CSMTPSocket(CSMTPChannel& channel) : m_pChannel(&channel) {
  m_pChannel->WriteLog("CSMTPSocket constructor called");
}

CSMTPSocket::~CSMTPSocket() {
  m_pChannel->WriteLog("CSMTPSocket destructor called");
  m_pConnection.reset();
  m_pSocket.reset();
}

void CSMTPSocket::SetState(SMTPState state) { m_eState = state; }

bool CSMTPSocket::Create(const std::string& bindAddress) {
  std::string error;
  m_pSocket = m_pChannel->Platform().pNetwork->CreateSocket(bindAddress, error);
  if (m_pSocket == nullptr) m_strLastError = error;
  return m_pSocket != nullptr;
}

bool CSMTPSocket::Connect(const std::string& host, int port) {
  if (!m_pSocket) return false;
  CSMTPChannel& channel = *m_pChannel;
  std::string error;
  m_pConnection = m_pSocket->Connect(host, port, channel.WaitLimit(), error);
  m_pSocket.reset();
  if (m_pConnection == nullptr) {
    m_strLastError = error;
    return false;
  }
  // The certificate must name the relay as the caller wrote it, not as it was resolved.
  m_strPeerName = channel.m_strRelayName.empty() ? host : channel.m_strRelayName;
  const CInstallationSettings* settings = channel.InstallationValues(error);
  if (settings == nullptr) {
    m_strLastError = error;
    return false;
  }
  const std::string& configured = settings->strHeloName;
  INetwork& network = *channel.Platform().pNetwork;
  std::string qualified = GetFullyQualifiedName(network);
  m_strGreetingName = ChooseGreetingName(configured, qualified.empty() ? GetLocalHostName(network) : qualified,
                                         m_pConnection->LocalAddressLiteral());
  channel.m_strHeloName = m_strGreetingName;
  channel.m_bRelayConnected = true;
  return true;
}

CSMTPSocket::EndReason CSMTPSocket::Run() {
  CSMTPChannel& channel = *m_pChannel;
  CCompletionEvent& done = *channel.m_hCompleteEvent;
  std::chrono::milliseconds timeout = channel.WaitLimit();
  m_deadline = std::chrono::steady_clock::now() + timeout;
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
  char buffer[4096];
  while (!done.IsSet()) {
    if (m_bSendTimedOut) return ended(EndReason::Timeout, "time-out");
    if (m_bConnectionLost) return ended(EndReason::Closed, "connection lost");
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return ended(EndReason::Timeout, "time-out");
    std::size_t received = 0;
    IoResult result = m_pConnection->Receive(buffer, sizeof buffer, received, left);
    if (result == IoResult::Timeout) continue;  // the deadline decides
    if (result != IoResult::Ok) {
      // A last reply that lacks its line end is still the relay's answer.
      std::string last;
      if (result == IoResult::Closed && m_reader.Finish(last)) {
        OnReceive(last);
        if (done.IsSet()) return EndReason::Completed;
      }
      return ended(EndReason::Closed, "connection closed");
    }
    m_reader.Feed(buffer, received);
    if (m_reader.TooLong()) {
      channel.WriteLog("Reply too long: more than " + std::to_string(CSMTPReplyReader::kMaxReply) + " bytes");
      channel.m_strErrorDetail = "reply too long";
      EndDialogue(Status::DestinationError, nullptr, Farewell::None);
      break;
    }
    std::string reply;
    while (!done.IsSet() && !m_bConnectionLost && !m_bSendTimedOut && m_reader.Next(reply)) {
      OnReceive(reply);
      // A reply that came during the message is awaited whole.
      if (done.IsSet() || !m_reader.HasUnread() || m_bEarlyReply) continue;
      // Bytes that were already here when the command went out cannot answer it: this
      // client never pipelines, so they answer nothing.
      std::string extra;
      if (!m_reader.Next(extra)) m_reader.Finish(extra);
      channel.WriteLog("Reply without a command: " + extra);
      EndDialogue(Status::DestinationError, &extra, Farewell::None);
    }
  }
  return EndReason::Completed;
}

bool CSMTPSocket::SendCommand(const std::string& command, const std::string& logText) {
  std::string line = command + kCommandEnd;
  IoResult result = m_pConnection->SendAll(line.data(), line.size(), m_pChannel->WaitLimit());
  if (result != IoResult::Ok) {
    if (result == IoResult::Timeout) {
      m_bSendTimedOut = true;
    } else {
      m_bConnectionLost = true;
    }
    return false;
  }
  // Each reply must be complete within the time-out from its command.
  m_deadline = std::chrono::steady_clock::now() + m_pChannel->WaitLimit();
  m_pChannel->WriteLog(logText.empty() ? command : logText);
  return true;
}

void CSMTPSocket::EndDialogue(std::int32_t status, const std::string* reply, Farewell farewell) {
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
  if (farewell == Farewell::CancelThenQuit && SendCommand("*")) return SetState(SMTPState::Cancel);
  if (farewell == Farewell::Quit && SendCommand("QUIT")) return SetState(SMTPState::Quit);
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
  SendCommand((extended ? "EHLO " : "HELO ") + m_strGreetingName);
  SetState(extended ? SMTPState::Ehlo : SMTPState::Helo);
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
  std::int32_t mode = channel.m_nTlsMode;
  switch (m_eState) {
    case SMTPState::Greeting:
      if (code == "220") return SendHello(WantsEhlo());
      break;
    case SMTPState::Ehlo:
      if (code == "250") {
        m_capabilities = CSMTPCapabilities::Parse(reply);
        bool wantTls = !m_bTlsActive && (mode == TlsMode::Opportunistic || mode == TlsMode::Required);
        if (wantTls && m_capabilities->bStartTls) {
          SendCommand("STARTTLS");
          return SetState(SMTPState::StartTls);
        }
        if (wantTls && mode == TlsMode::Required) {
          return EndWithTlsError("the relay does not offer STARTTLS", Farewell::Quit);
        }
        if (wantTls) channel.WriteLog("The relay does not offer STARTTLS: continuing without TLS");
        channel.m_bRelay8BitMime = m_capabilities->b8BitMime;
        return AfterHello();
      }
      // RFC 5321 section 4.1.4: a relay that does not know EHLO may still know HELO.
      if ((code == "500" || code == "502") && !(mode == TlsMode::Required && !m_bTlsActive)) {
        channel.WriteLog("EHLO refused: falling back to HELO");
        return SendHello(false);
      }
      if (mode == TlsMode::Required && !m_bTlsActive) {
        channel.m_strErrorDetail = "the relay refused EHLO, so STARTTLS cannot be used";
        channel.WriteLog("TLS could not be established: " + channel.m_strErrorDetail);
        return EndDialogue(Status::Tls, &reply, Farewell::Quit);
      }
      break;
    case SMTPState::Helo:
      if (code == "250") {
        if (!m_bTlsActive && mode == TlsMode::Opportunistic) channel.WriteLog("Continuing without TLS");
        return AfterHello();
      }
      break;
    case SMTPState::StartTls:
      if (code == "220") return OnStartTlsReady();
      if (mode == TlsMode::Opportunistic && !channel.m_bAuthenticate) {
        channel.WriteLog("STARTTLS refused: continuing without TLS");
        return AfterHello();
      }
      channel.m_strErrorDetail = "the relay refused STARTTLS";
      channel.WriteLog("TLS could not be established: " + channel.m_strErrorDetail);
      return EndDialogue(Status::Tls, &reply, Farewell::Quit);
    case SMTPState::Auth:
      if (code == "334") {
        std::string response;
        if (!m_pMechanism->Answer(ReplyText(reply), response)) {
          return EndDialogue(Status::LogOn, &reply, Farewell::CancelThenQuit);
        }
        SendCommand(response, kCredentialMask);
        return;
      }
      if (code == "235") return SendMail();
      if (code == "535" && m_pMechanism->RetryAfterRefusal()) {
        channel.WriteLog("Token refused: trying once more with a fresh one");
        SendCommand(m_pMechanism->Command(), m_pMechanism->LogText());
        return;
      }
      break;
    case SMTPState::Mail:
      if (code == "250") {
        channel.m_nRecipientIndex = 0;
        return SendNextRecipient();
      }
      break;
    case SMTPState::Rcpt:
      if (code == "250" || code == "251") {
        ++channel.m_nRecipientIndex;
        ++m_nAcceptedRecipients;
        return SendNextRecipient();
      }
      if (channel.m_bPartialRecipients && code.size() == 3 && code[0] == '5') {
        // Dropped on request: the message goes to the others, the outcome names this one.
        std::string address = channel.m_arrRecipients[static_cast<std::size_t>(channel.m_nRecipientIndex)];
        std::string line = reply.substr(0, reply.find("\r\n"));
        channel.WriteLog("Recipient refused and dropped: " + address);
        channel.m_arrRefusedRecipients.push_back({address, line});
        m_strLastRefusal = reply;
        ++channel.m_nRecipientIndex;
        return SendNextRecipient();
      }
      break;
    case SMTPState::Data:
      if (code == "354") {
        SetState(SMTPState::Message);
        return SendMessageText();
      }
      break;
    case SMTPState::Message:
      if (m_bEarlyReply) {
        // Only the first reply after the end-of-data line is the relay's verdict; one
        // that came before it, a "250" above all, accepts nothing.
        channel.WriteLog("Reply before the end of the message: the message was not sent whole");
        channel.m_strErrorDetail = "the relay answered before the end of the message";
        return EndDialogue(Status::DestinationError, &reply, Farewell::None);
      }
      if (code == "250") {
        // The relay has taken responsibility for the message (RFC 5321 section 4.1.1.4).
        m_bAccepted = true;
        channel.m_nStatus = channel.m_arrRefusedRecipients.empty() ? Status::Success : Status::Partial;
        SendCommand("QUIT");
        return SetState(SMTPState::Quit);
      }
      break;
    case SMTPState::Cancel:
      // Whatever the relay answers to "*" (501 as a rule), the exchange is over.
      if (SendCommand("QUIT")) return SetState(SMTPState::Quit);
      return CompleteDialogue();
    case SMTPState::Quit:
      if (m_bAccepted && code != "221") channel.WriteLog("Message accepted; QUIT answered otherwise");
      return CompleteDialogue();
    case SMTPState::Done:
      return;
  }
  channel.WriteLog(std::string("Unexpected reply to ") + SMTPStateName(m_eState));
  // A relay that says it closes (221, 421) or whose reply has no code gets no QUIT.
  bool closing = code.empty() || code == "221" || code == "421";
  EndDialogue(Status::DestinationError, &reply, closing ? Farewell::None : Farewell::Quit);
}

void CSMTPSocket::AfterHello() {
  CSMTPChannel& channel = *m_pChannel;
  if (!PlanMessage()) return;
  if (!channel.m_bAuthenticate) return SendMail();
  // Credentials and tokens go in clear only where the call or the settings allow it.
  if (!m_bTlsActive && !channel.m_bPlainSignInAllowed) {
    return EndWithTlsError(
        "credentials are not sent over a connection without TLS (the relay offers no STARTTLS, or TLS is off; "
        "@tls=0 or the AllowPlainSignIn setting permits it)",
        Farewell::Quit);
  }
  if (!m_bTlsActive) channel.WriteLog("Signing in without TLS, as allowed");
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
  SendCommand(m_pMechanism->Command(), m_pMechanism->LogText());
  SetState(SMTPState::Auth);
}

void CSMTPSocket::SendMail() {
  std::string command = "MAIL From:<" + CommandArgument(m_pChannel->m_strFromAddress) + ">";
  // RFC 1870 and RFC 6152: the size and an 8-bit body are declared to a relay that
  // announced the extension.
  if (m_capabilities && m_capabilities->bSize && m_nMessageSize) command += " SIZE=" + std::to_string(*m_nMessageSize);
  if (m_capabilities && m_capabilities->b8BitMime && m_plan.strBodyEncoding == "8bit") command += " BODY=8BITMIME";
  SendCommand(command);
  SetState(SMTPState::Mail);
}

void CSMTPSocket::SendNextRecipient() {
  CSMTPChannel& channel = *m_pChannel;
  std::size_t index = static_cast<std::size_t>(channel.m_nRecipientIndex);
  if (index < channel.m_arrRecipients.size()) {
    SendCommand("RCPT To:<" + CommandArgument(channel.m_arrRecipients[index]) + ">");
    return SetState(SMTPState::Rcpt);
  }
  if (m_nAcceptedRecipients == 0) {
    // Every recipient was refused: nothing to send.
    channel.WriteLog("No recipient was accepted");
    return EndDialogue(Status::DestinationError, &m_strLastRefusal, Farewell::Quit);
  }
  SendCommand("DATA");
  SetState(SMTPState::Data);
}

void CSMTPSocket::OnStartTlsReady() {
  // RFC 3207 section 4.2: nothing may follow the 220 before the handshake; bytes that
  // did could have been injected by a man in the middle.
  if (m_reader.HasUnread()) return EndWithTlsError("the relay sent data after its STARTTLS reply", Farewell::None);
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
  settings.strCaFile = channel.m_strTlsCaFile;
  if (!settings.bVerify) channel.WriteLog("TLS without certificate checks: the relay's identity is not verified");
  std::string error;
  m_pConnection = tls->Handshake(std::move(m_pConnection), settings, channel.WaitLimit(), error);
  if (m_pConnection == nullptr) {
    EndWithTlsError(error.empty() ? std::string("handshake failed") : error, Farewell::None);
    return false;
  }
  m_bTlsActive = true;
  channel.m_strTlsVersion = m_pConnection->TlsVersion();
  channel.m_strTlsCipher = m_pConnection->TlsCipher();
  channel.WriteLog("TLS established with " + m_strPeerName + ": " +
                   (channel.m_strTlsVersion.empty() ? std::string("version unknown") : channel.m_strTlsVersion) +
                   ", cipher " + (channel.m_strTlsCipher.empty() ? std::string("unknown") : channel.m_strTlsCipher));
  m_deadline = std::chrono::steady_clock::now() + channel.WaitLimit();
  return true;
}

bool CSMTPSocket::RelaySpokeDuringMessage() {
  if (m_reader.HasUnread()) return true;
  char buffer[4096];
  std::size_t received = 0;
  IoResult result = m_pConnection->Receive(buffer, sizeof buffer, received, std::chrono::milliseconds(0));
  if (result == IoResult::Ok && received > 0) {
    m_reader.Feed(buffer, received);
    return true;
  }
  if (result == IoResult::Closed || result == IoResult::Error) {
    m_bConnectionLost = true;
    return true;
  }
  return false;
}

void CSMTPSocket::SendMessageText() {
  CSMTPChannel& channel = *m_pChannel;
  CSMTPDataStream stream(*m_pConnection, channel.WaitLimit(), channel.m_strTerminator == "\r\n");
  stream.m_fnInterrupt = [this] { return RelaySpokeDuringMessage(); };
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
  if (result == IoResult::Closed || result == IoResult::Error) RelaySpokeDuringMessage();
  if (m_reader.HasUnread()) {
    // The rest of that reply is awaited as long as any reply.
    m_bConnectionLost = false;
    m_bEarlyReply = true;
    m_deadline = std::chrono::steady_clock::now() + channel.WaitLimit();
    return;
  }
  if (stream.Interrupted()) return;  // the connection was lost
  if (result == IoResult::Ok) {
    // From here on the relay may hold the message: it is never sent again.
    channel.m_bEndOfDataSent = true;
    channel.WriteLog(".");
    m_deadline = std::chrono::steady_clock::now() + channel.WaitLimit();
  } else if (result == IoResult::Timeout) {
    m_bSendTimedOut = true;
  } else {
    m_bConnectionLost = true;
  }
}

}  // namespace varnel
