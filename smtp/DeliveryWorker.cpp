#include "smtp/DeliveryWorker.h"

#include <exception>
#include <new>
#include <thread>

#include "platform/AsciiCase.h"
#include "platform/Network.h"
#include "platform/Random.h"
#include "platform/TextCensor.h"
#include "platform/System.h"
#include "smtp/SMTPChannel.h"
#include "query/SMTPOLEDBQuery.h"
#include "smtp/AddressList.h"
#include "smtp/CompletionEvent.h"
#include "smtp/MessageComposer.h"
#include "smtp/OAuthSignIn.h"
#include "smtp/SMTPSocket.h"

namespace varnel {
namespace {

// What an attempt that did not deliver leaves to do.
enum class AttemptEnd {
  Final,      // nothing more: the refusal would come again, or the relay may hold the message
  NextRelay,  // another relay may take it (TLS failure, a 4xx not meant as "later")
  Transient,  // another relay, and this one again in a later round
  SkipRelay,  // this relay refused the sign-in: the others may still be tried
};

AttemptEnd ClassifyAttempt(const CSMTPChannel& channel, bool lostConnection) {
  const std::string& code = channel.m_strSMTPErrorNumber;
  bool transientCode = code == "421" || code == "450" || code == "451" || code == "452" || code == "454";
  switch (channel.m_nStatus) {
    case Status::Connect:
      return AttemptEnd::Transient;
    case Status::Timeout:
      return lostConnection ? AttemptEnd::Transient : AttemptEnd::Final;
    case Status::Tls:
      return transientCode ? AttemptEnd::Transient : AttemptEnd::NextRelay;
    case Status::LogOn:
      if (transientCode) return AttemptEnd::Transient;
      return code.size() == 3 && code[0] == '4' ? AttemptEnd::NextRelay : AttemptEnd::SkipRelay;
    case Status::DestinationError:
      if (transientCode) return AttemptEnd::Transient;
      if (code.size() == 3 && code[0] == '4') return AttemptEnd::NextRelay;
      // A refused sign-in speaks of this relay's accounts, not of the message.
      return channel.m_bSignInRefused ? AttemptEnd::SkipRelay : AttemptEnd::Final;
    default:
      return AttemptEnd::Final;
  }
}

// The first line of a reply, for the attempt log.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

std::string DescribeAttempts(const std::vector<CDeliveryAttempt>& attempts) {
  std::string text;
  for (const CDeliveryAttempt& attempt : attempts) {
    if (!text.empty()) text += "; ";
    text += attempt.strRelay + ":" + std::to_string(attempt.nPort) + " " +
            (attempt.strReply.empty() ? CSMTPChannel::GetStatusText(attempt.nStatus) : attempt.strReply);
  }
  return text;
}

}  // namespace

bool CDeliveryWorker::EndCallTimeUp() {
  CSMTPChannel& c = m_channel;
  c.m_nStatus = Status::Timeout;
  c.m_strErrorDetail = "the call's bound of " + std::to_string(c.m_nMaxSeconds) + " seconds passed after " +
                     std::to_string(c.m_arrAttempts.size()) + " attempt(s)";
  if (!c.m_arrAttempts.empty()) c.m_strErrorDetail += ": " + DescribeAttempts(c.m_arrAttempts);
  c.WriteLog("Timeout: " + c.m_strErrorDetail);
  return false;
}

bool CDeliveryWorker::TryRelay(bool refreshableToken, bool& lostConnection, std::string& failure) {
  CSMTPChannel& c = m_channel;
  // Nothing of an earlier attempt carries over but what the call learned for good.
  c.m_nStatus = Status::Success;
  c.m_strSMTPReply.clear();
  c.m_strSMTPErrorNumber.clear();
  c.m_strErrorDetail.clear();
  c.m_strTlsVersion.clear();
  c.m_strTlsCipher.clear();
  c.m_strMessageId.clear();
  c.m_nMessageBytes = 0;
  c.m_bRelay8BitMime = false;
  c.m_bRelayConnected = false;
  c.m_bEndOfDataSent = false;
  c.m_bSignInRefused = false;
  c.m_nRecipientIndex = 0;
  c.m_arrRefusedRecipients.clear();
  c.m_hCompleteEvent = std::make_unique<CCompletionEvent>();
  lostConnection = false;
  failure.clear();

  c.WriteLog("Creating CSMTPSocket");
  CChannelTokenSource freshTokens(c);
  auto socket = std::make_unique<CSMTPSocket>(c);
  if (refreshableToken) socket->m_pFreshTokens = &freshTokens;

  INetwork& network = *c.Platform().pNetwork;
  c.WriteLog("About to get binding info");
  std::vector<std::uint32_t> addresses;
  if (!network.LookupIPv4(GetLocalHostName(network), addresses)) {
    addresses.clear();
    c.WriteLog("Host lookup failed - binding to any local address");
  }
  c.WriteLog("IP Addresses - ");
  for (std::uint32_t address : addresses) c.WriteLog(DottedAddress(address));
  c.WriteLog("IP Addresses Complete ");
  c.WriteLog("binding info complete");

  bool bindIPFound = true;
  std::string bindAddress = ChooseBindAddress(addresses, c.m_strBindIP, bindIPFound);
  if (!bindIPFound) c.WriteLog("BindIP address not found - using default");

  c.WriteLog("About to call socket create");
  c.WriteLog("Using binding socket -" + (bindAddress.empty() ? std::string("0.0.0.0") : bindAddress));
  if (!socket->Create(bindAddress)) {
    c.WriteLog("Socket create failed");
    if (!socket->LastError().empty()) c.WriteLog("Reason: " + socket->LastError());
    c.m_nStatus = Status::SocketCreate;
    return false;
  }
  c.WriteLog("Socket create fine");
  c.WriteLog("Deleting binding info");
  addresses.clear();
  c.WriteLog("Deleting binding info complete");

  if (c.m_arrRelays.size() > 1) c.WriteLog("Relay " + c.m_strRelayName + " port " + std::to_string(c.m_nPort));
  c.WriteLog("Socket connecting");
  if (!socket->Connect(c.m_strAddress, c.m_nPort)) {
    c.WriteLog("Socket failed to connect");
    if (!socket->LastError().empty()) c.WriteLog("Reason: " + socket->LastError());
    failure = socket->LastError();
    c.m_nStatus = Status::Connect;
    lostConnection = true;
    return true;
  }
  c.WriteLog("Going in to wait loop");
  if (socket->Run() == CSMTPSocket::EndReason::Completed) {
    c.WriteLog("Waitresult = 0");
    return true;
  }
  c.m_nStatus = Status::Timeout;
  lostConnection = true;
  c.WriteLog("Timeout");
  return true;
}

bool CDeliveryWorker::Run() {
  CSMTPChannel& c = m_channel;
  std::unique_ptr<CSMTPSocket> socket;
  try {
    c.WriteLog("Entering sendmail procedure");
    // Read before the worker started (Initialise); here only for a channel sent without it.
    if (!c.ReadSettings()) return false;
    c.WriteLog("Checking recipient and address");
    if (c.m_arrRelays.empty()) c.m_arrRelays = SplitRelayList(c.m_strAddress);
    if (c.m_arrRelays.empty() || c.m_strRecipient.empty()) {
      c.WriteLog("Recipient and address or empty");
      c.m_nStatus = Status::NoDestination;
      return false;
    }
    // An address that cannot be sent as written stops the call before the relay is
    // contacted, so that no part of the message goes to only some of its recipients.
    std::string refusal;
    c.WriteLog("Processing recipient");
    bool usable = ParseAddressList(c.m_strRecipient, c.m_arrRecipients, refusal);
    if (usable) {
      c.WriteLog("Processing bcc");
      usable = ParseAddressList(c.m_strBCC, c.m_arrRecipients, refusal);
    }
    if (usable) {
      c.WriteLog("Processing cc");
      usable = ParseAddressList(c.m_strCC, c.m_arrRecipients, refusal);
    }
    if (usable) {
      c.WriteLog("Get From Address");
      c.m_strFrom = c.GetEffectiveFrom();
      c.WriteLog("ExtractEmailAddress");
      std::string fault;
      c.m_strFromAddress = ExtractEmailAddress(c.m_strFrom, fault);
      // A sender of blanks alone is no sender: the default one goes into the header and
      // the envelope alike (an empty MAIL From would mark the message as a bounce).
      if (fault.empty() && c.m_strFrom.empty()) {
        c.m_strFrom = c.GetEffectiveFrom();
        c.m_strFromAddress = ExtractEmailAddress(c.m_strFrom, fault);
      }
      if (!fault.empty()) refusal = AddressRefusal(c.m_strFrom, fault);
    }
    if (refusal.empty() && !c.m_arrRecipients.empty()) refusal = CMessageComposer::OverlongAddress(c);
    if (!refusal.empty()) {
      c.WriteLog("Refused: " + refusal);
      c.m_strErrorDetail = refusal;
      c.m_nStatus = Status::NoDestination;
      return false;
    }
    if (c.m_arrRecipients.empty()) {
      c.m_nStatus = Status::NoDestination;
      return false;
    }
    // A file the call may not attach ends the send before anything goes out.
    if (!c.CheckAttachments()) return false;

    // A boundary no body text or database value can know in advance, so none can end a
    // part early or add parts of its own (RFC 2046 section 5.1.1: at most 70 characters;
    // 64 keep its header line within 78).
    c.m_strBoundary.append("_").append(RandomHex(6));

    c.WriteLog("Creating complete event");
    c.m_hCompleteEvent = std::make_unique<CCompletionEvent>();
    c.WriteLog("Complete event created");

    INetwork& network = *c.Platform().pNetwork;
    c.WriteLog("About to call AfxSocketInit");
    if (!network.StartSocketLibrary()) {
      c.m_nStatus = Status::SocketInit;
      c.WriteLog("AfxSocketInit unsuccessful");
      return false;
    }

    // Without a token or password of the call's own, a token from the OAuth endpoint
    // (client credentials), fetched before the relay is contacted: a refused client
    // sends nothing.
    bool fetchedToken = false;
    if (!c.m_strSMTPUsername.empty() && c.m_strSMTPOAuthToken.empty() && c.m_strSMTPPassword.empty()) {
      std::string token;
      std::string error;
      switch (ObtainChannelOAuthToken(c, false, token, error)) {
        case OAuthSetup::None:
          break;
        case OAuthSetup::Ready:
          c.m_strSMTPOAuthToken = token;
          c.m_bAuthenticate = true;
          fetchedToken = true;
          break;
        case OAuthSetup::Failed:
          c.m_strErrorDetail = error;
          c.m_nStatus = Status::OAuthToken;
          return false;
      }
    }

    if (c.m_pQuery != nullptr) {
      std::string queryError = c.m_pQuery->GetQueryError();
      if (!queryError.empty()) c.WriteLog(queryError);
    }

    c.ResolveTlsSettings();
    c.ResolveRetrySettings();

    // Each round tries the relays in order; a round that ended on a transient outcome
    // is followed by another after the delay, doubled each round.
    const std::int32_t basePort = c.m_nPort;
    std::vector<bool> skipped(c.m_arrRelays.size(), false);
    std::int64_t delay = c.m_nRetryDelayMs;
    // As ever, true when the last dialogue ran to its end (whatever its outcome).
    bool lastLost = false;
    for (std::int32_t round = 0; round <= c.m_nRetries; ++round) {
      bool transient = false;
      for (std::size_t index = 0; index < c.m_arrRelays.size(); ++index) {
        if (skipped[index]) continue;
        if (c.CallTimeUp()) return EndCallTimeUp();
        const CRelay& relay = c.m_arrRelays[index];
        c.m_nPort = relay.nPort > 0 ? relay.nPort : basePort;
        c.m_strRelayName = relay.strHost;
        // The relay is the one the caller named: "localhost" and "127.0.0.1" stay loopback.
        c.m_strAddress = AsciiLower(relay.strHost);
        bool lostConnection = false;
        std::string failure;
        if (!TryRelay(fetchedToken, lostConnection, failure)) return false;
        lastLost = lostConnection;
        CDeliveryAttempt attempt;
        attempt.strRelay = relay.strHost;
        attempt.nPort = c.m_nPort;
        attempt.nStatus = c.m_nStatus;
        // The relay's reply; else why the attempt failed (TLS, no connection at all).
        attempt.strReply = !c.m_strSMTPReply.empty()     ? FirstLine(c.m_strSMTPReply)
                           : !c.m_strErrorDetail.empty() ? FirstLine(c.m_strErrorDetail)
                                                         : FirstLine(CensorLine(failure));
        c.m_arrAttempts.push_back(attempt);
        // A first try that delivered says all in the classic lines above.
        if (c.m_arrAttempts.size() > 1 || (c.m_nStatus != Status::Success && c.m_nStatus != Status::Partial)) {
          c.WriteLog("Attempt " + std::to_string(c.m_arrAttempts.size()) + " at " + relay.strHost + ":" +
                   std::to_string(c.m_nPort) + ": " +
                   (attempt.strReply.empty() ? std::string(CSMTPChannel::GetStatusText(c.m_nStatus)) : attempt.strReply));
        }
        if (c.m_nStatus == Status::Success || c.m_nStatus == Status::Partial) {
          c.m_nAcceptedRelay = static_cast<std::int32_t>(index);
          return true;
        }
        // What this attempt ended on stands, even where the call's bound passed during it
        // (waiting for the verdict or the answer to QUIT): the bound only stops what
        // would come next.
        if (c.m_bEndOfDataSent && lostConnection) {
          // RFC 5321 section 6.1: a message the relay may hold is not sent again.
          c.m_nStatus = Status::Unknown;
          c.m_arrAttempts.back().nStatus = c.m_nStatus;
          c.WriteLog("The connection ended after the end of the message: the relay may have accepted it");
          return false;
        }
        AttemptEnd end = ClassifyAttempt(c, lostConnection);
        if (end == AttemptEnd::Final) return !lostConnection;
        if (c.CallTimeUp()) return EndCallTimeUp();
        if (end == AttemptEnd::SkipRelay) skipped[index] = true;
        if (end == AttemptEnd::Transient) transient = true;
      }
      if (!transient || round == c.m_nRetries) break;
      // Jitter: up to a quarter more, so that callers that failed together do not return together.
      std::int64_t wait = delay + (delay > 0 ? delay * static_cast<std::int64_t>(std::stoul(RandomHex(1), nullptr, 16)) / 1024 : 0);
      c.m_arrAttempts.back().nDelayMs = wait;
      c.WriteLog("Trying again in " + std::to_string(wait) + " ms");
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait);
      if (until > c.m_tCallDeadline) {
        std::this_thread::sleep_until(c.m_tCallDeadline);
        return EndCallTimeUp();
      }
      std::this_thread::sleep_until(until);
      delay *= 2;
    }
    return !lastLost;
  } catch (const std::bad_alloc& error) {
    c.WriteLog("CResourceException thrown in Sendmail");
    c.WriteLog(std::string(error.what()).substr(0, 255));
  } catch (const std::exception& error) {
    c.WriteLog("CException thrown in Sendmail");
    c.WriteLog(std::string(error.what()).substr(0, 255));
  } catch (...) {
    c.WriteLog("Generic Exception thrown in Sendmail");
  }
  socket.reset();
  c.m_nStatus = Status::Exception;
  return false;
}

}  // namespace varnel
