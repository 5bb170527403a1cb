#include "smtp/SMTPSocket.h"

#include "platform/AsciiCase.h"
#include "platform/Network.h"
#include "smtp/SMTPChannel.h"
#include "smtp/AddressList.h"
#include "smtp/CompletionEvent.h"
#include "smtp/MessageComposer.h"
#include "smtp/SMTPDataStream.h"

namespace varnel {
namespace {

constexpr std::int32_t kDefaultTimeout = 30000;
// What the log shows in place of an AUTH LOGIN credential line.
constexpr const char* kCredentialMask = "********";

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

enum class LoginPrompt { UserName, Password, Other };

// The LOGIN mechanism's challenges are "Username:" and "Password:" in base64; relays that
// word them otherwise ("User Name", "Password" with a NUL) are recognised by the decoded
// text's first word, so that any other challenge is still refused.
LoginPrompt RecogniseLoginPrompt(const std::string& reply) {
  std::string text = reply + "\n";
  if (text.find("VXNlcm5hbWU6") != std::string::npos) return LoginPrompt::UserName;
  if (text.find("UGFzc3dvcmQ6") != std::string::npos) return LoginPrompt::Password;
  std::string decoded = AsciiLower(Base64DecodeText(reply.size() > 4 ? reply.substr(4) : std::string()));
  if (decoded.rfind("user", 0) == 0) return LoginPrompt::UserName;
  if (decoded.rfind("pass", 0) == 0) return LoginPrompt::Password;
  return LoginPrompt::Other;
}

}  // namespace

std::string Base64DecodeText(const std::string& text) {
  std::string result;
  unsigned value = 0;
  int bits = 0;
  for (char c : text) {
    int digit;
    if (c >= 'A' && c <= 'Z') digit = c - 'A';
    else if (c >= 'a' && c <= 'z') digit = c - 'a' + 26;
    else if (c >= '0' && c <= '9') digit = c - '0' + 52;
    else if (c == '+') digit = 62;
    else if (c == '/') digit = 63;
    else if (c == '=' || c == ' ' || c == '\r' || c == '\n') continue;
    else return {};
    value = (value << 6) | static_cast<unsigned>(digit);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      result += static_cast<char>((value >> bits) & 0xFF);
    }
  }
  return result;
}

std::string Base64EncodeText(const std::string& text) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string result;
  result.reserve((text.size() + 2) / 3 * 4);
  std::size_t i = 0;
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  for (; i + 3 <= text.size(); i += 3) {
    unsigned value = (byte(i) << 16) | (byte(i + 1) << 8) | byte(i + 2);
    result += kAlphabet[(value >> 18) & 63];
    result += kAlphabet[(value >> 12) & 63];
    result += kAlphabet[(value >> 6) & 63];
    result += kAlphabet[value & 63];
  }
  std::size_t rest = text.size() - i;
  if (rest == 1) {
    result += kAlphabet[byte(i) >> 2];
    result += kAlphabet[(byte(i) & 3) << 4];
    result += "==";
  } else if (rest == 2) {
    result += kAlphabet[byte(i) >> 2];
    result += kAlphabet[((byte(i) & 3) << 4) | (byte(i + 1) >> 4)];
    result += kAlphabet[(byte(i + 1) & 15) << 2];
    result += '=';
  }
  return result;
}

std::chrono::milliseconds EffectiveTimeout(std::int32_t milliseconds) {
  // A negative time-out would wait for ever; it gets the default instead.
  return std::chrono::milliseconds(milliseconds > 0 ? milliseconds : kDefaultTimeout);
}

CSMTPSocket::CSMTPSocket(CSMTPChannel& channel) : m_pChannel(&channel) {
  m_pChannel->WriteLog("CSMTPSocket constructor called");
  m_nState = m_pChannel->m_bAuthenticate ? SMTP_AUTH : SMTP_MAIL;
}

CSMTPSocket::~CSMTPSocket() {
  m_pChannel->WriteLog("CSMTPSocket destructor called");
  m_pConnection.reset();
  m_pSocket.reset();
}

void CSMTPSocket::SetState(std::int32_t state) { m_nState = state; }

bool CSMTPSocket::Create(const std::string& bindAddress) {
  std::string error;
  m_pSocket = m_pChannel->Platform().pNetwork->CreateSocket(bindAddress, error);
  return m_pSocket != nullptr;
}

bool CSMTPSocket::Connect(const std::string& host, int port) {
  if (!m_pSocket) return false;
  std::string error;
  m_pConnection = m_pSocket->Connect(host, port, EffectiveTimeout(m_pChannel->m_nTimeout), error);
  m_pSocket.reset();
  return m_pConnection != nullptr;
  return true;
}

CSMTPSocket::EndReason CSMTPSocket::Run() {
  CCompletionEvent& done = *m_pChannel->m_hCompleteEvent;
  std::chrono::milliseconds timeout = EffectiveTimeout(m_pChannel->m_nTimeout);
  char buffer[1000];
  while (!done.IsSet()) {
    if (m_bSendTimedOut) return EndReason::Timeout;
    if (m_bConnectionLost) return EndReason::Closed;
    std::size_t received = 0;
    IoResult result = m_pConnection->Receive(buffer, sizeof buffer, received, timeout);
    if (result == IoResult::Timeout) return EndReason::Timeout;
    if (result != IoResult::Ok) {
      // A last reply that lacks its line end is still the relay's answer.
      std::string last;
      if (result == IoResult::Closed && m_reader.Finish(last)) {
        OnReceive(last);
        if (done.IsSet()) return EndReason::Completed;
      }
      return EndReason::Closed;
    }
    m_reader.Feed(buffer, received);
    std::string reply;
    while (!done.IsSet() && !m_bConnectionLost && !m_bSendTimedOut && m_reader.Next(reply)) OnReceive(reply);
  }
  return EndReason::Completed;
}

bool CSMTPSocket::SendCommand(const std::string& command, const char* logText) {
  IoResult result = m_pConnection->SendAll(command.data(), command.size(), EffectiveTimeout(m_pChannel->m_nTimeout));
  if (result != IoResult::Ok) {
    if (result == IoResult::Timeout) {
      m_bSendTimedOut = true;
    } else {
      m_bConnectionLost = true;
    }
    return false;
  }
  m_pChannel->WriteLog(logText != nullptr ? std::string(logText) : command);
  return true;
}

void CSMTPSocket::EndDialogue(std::int32_t status, const std::string* reply) {
  m_pChannel->m_nStatus = status;
  SetState(SMTP_MAIL);
  if (reply != nullptr) {
    m_pChannel->m_strSMTPReply = *reply;
    m_pChannel->m_strSMTPErrorNumber = reply->substr(0, 3);
  }
  m_pChannel->m_hCompleteEvent->Set();
}

void CSMTPSocket::OnReceive(const std::string& reply) {
  CSMTPChannel& channel = *m_pChannel;
  const std::string& T = channel.m_strTerminator;
  channel.WriteLog(reply + "\n");
  std::string code = reply.substr(0, 3);
  if (code == "220") {
    std::string host = GetLocalHostName(*channel.Platform().pNetwork);
    SendCommand((channel.m_bAuthenticate ? "EHLO " : "HELO ") + CommandArgument(host) + ".com" + T);
  } else if (code == "334") {
    LoginPrompt prompt = RecogniseLoginPrompt(reply);
    if (prompt == LoginPrompt::UserName) {
      SendCommand(Base64EncodeText(channel.m_strSMTPUsername) + T, kCredentialMask);
      SetState(SMTP_MAIL);
    } else if (prompt == LoginPrompt::Password) {
      SendCommand(Base64EncodeText(channel.m_strSMTPPassword) + T, kCredentialMask);
      SetState(SMTP_MAIL);
    } else {
      EndDialogue(14, &reply);
    }
  } else if (code == "250" || code == "235") {
    switch (static_cast<SMTPState>(m_nState)) {
      case SMTP_AUTH:
        SendCommand("AUTH LOGIN" + T);
        break;
      case SMTP_MAIL:
        SendCommand("MAIL From:<" + CommandArgument(channel.m_strFromAddress) + ">" + T);
        SetState(SMTP_RCPT);
        break;
      case SMTP_RCPT: {
        std::size_t index = static_cast<std::size_t>(channel.m_nRecipientIndex);
        if (index < channel.m_arrRecipients.size()) {
          SendCommand("RCPT To:<" + CommandArgument(channel.m_arrRecipients[index]) + ">" + T);
        }
        ++channel.m_nRecipientIndex;
        if (static_cast<std::size_t>(channel.m_nRecipientIndex) >= channel.m_arrRecipients.size()) SetState(SMTP_DATA);
        break;
      }
      case SMTP_DATA:
        SendCommand("DATA" + T);
        SetState(SMTP_QUIT);
        break;
      case SMTP_QUIT:
        SendCommand("QUIT" + T);
        SetState(SMTP_DONE);
        break;
      case SMTP_DONE:
        break;
    }
  } else if (code == "354") {
    SendMessageText();
  } else if (code == "221") {
    EndDialogue(0, nullptr);
  } else {
    EndDialogue(6, &reply);
  }
}

void CSMTPSocket::SendMessageText() {
  CSMTPChannel& channel = *m_pChannel;
  CSMTPDataStream stream(*m_pConnection, EffectiveTimeout(channel.m_nTimeout), channel.m_strTerminator == "\r\n");
  CMessageComposer composer(channel, stream);
  composer.Compose();
  std::string end = channel.m_strTerminator + "." + channel.m_strTerminator;
  IoResult result = stream.Finish(end);
  if (result == IoResult::Ok) {
    channel.WriteLog(end);
  } else if (result == IoResult::Timeout) {
    m_bSendTimedOut = true;
  } else {
    m_bConnectionLost = true;
  }
}

}  // namespace varnel
