// The mail job record of one call: every setting of the send, the delivery's working
// state and its outcome (a channel status code, plus the relay's reply on refusal).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/AttachmentPolicy.h"
#include "platform/Log.h"
#include "platform/Platform.h"
#include "mime/AttachmentFiles.h"
#include "smtp/ChannelStatus.h"
#include "smtp/DeliverySettings.h"

namespace varnel {

class CSMTPOLEDBQuery;
class CCompletionEvent;

// One relay of the list a call tries in order; port 0: the call's port.
struct CRelay {
  std::string strHost;
  std::int32_t nPort = 0;
};

// One try of one relay, for the log and the call's report.
struct CDeliveryAttempt {
  std::string strRelay;      // host as named
  std::int32_t nPort = 0;
  Status nStatus = Status::Success;  // the attempt's channel status
  std::string strReply;      // the relay's last reply (first line), or why it failed
  std::int64_t nDelayMs = 0; // the wait before the next attempt (0: none)
};

// A recipient the relay refused, with its reply (@partialrecipients=1).
struct CRefusedRecipient {
  std::string strAddress;
  std::string strReply;
};

// The relay list of an address: host names separated by "," or ";" (neither can appear
// in a host name), blanks around them dropped.
std::vector<CRelay> SplitRelayList(const std::string& address);

class CSMTPChannel {
 public:
  explicit CSMTPChannel(const CPlatform& platform);
  ~CSMTPChannel();
  CSMTPChannel(const CSMTPChannel&) = delete;
  CSMTPChannel& operator=(const CSMTPChannel&) = delete;

  void SetSubject(std::string text);
  void SetBody(std::string text);
  void SetCharsetFromCodePage(std::uint32_t codepage);
  static const char* GetStatusText(std::int32_t code) { return StatusText(code); }
  static const char* GetStatusText(Status status) { return StatusText(status); }
  std::string GetSMTPErrorNumber() const;
  std::string GetSMTPErrorMessage() const;
  // The outcome row's ErrorMessage: the status text, with the reason where one is known.
  std::string GetErrorMessage() const;
  std::string GetTerminator() const { return m_strTerminator; }
  std::string GetBody() const { return m_strBody; }
  std::string GetStyleSheet() const { return m_strStyleSheet; }

  // Diagnostic log (best effort: a failure never stops the send; the first reason is kept
  // for the caller's messages).
  void WriteLog(const std::string& message) const;
  std::string LogProblem() const { return m_logProblem.Reason(); }

  // Delivery: runs the worker thread and waits for it.
  bool Initialise();
  bool Sendmail();
  std::string GetEffectiveFrom();
  // Reads the installation's settings into m_settings, once: Initialise does so before
  // the worker starts. False with the status set (15 for a TLS setting, else 7) and the
  // setting named in m_strErrorDetail when one cannot be read or is no valid value.
  bool ReadSettings();
  // The TLS mode: the call's, raised to the TlsMode setting where that asks for more;
  // when the call gave none the setting's, else by port and credentials. Also whether
  // credentials may go without TLS.
  void ResolveTlsSettings();
  // Before the relay is contacted: every file the attachment list names may be attached
  // (platform/AttachmentPolicy.h). False with the status set (7 when the AttachmentFolders
  // setting cannot be used, 17 for a refused file) and the reason in m_strErrorDetail.
  bool CheckAttachments();
  // Before the first attempt: Retries, RetryDelay and MaxSeconds from the settings where
  // the call gave no value of its own; the call's bound starts.
  void ResolveRetrySettings();
  // The longest a single wait may last now: the reply time-out, cut to what is left of
  // the call's bound (at least 1 ms; the bound's passing ends the call).
  std::chrono::milliseconds WaitLimit() const;
  // Whether the call's bound (MaxSeconds) has passed.
  bool CallTimeUp() const;

  const CPlatform& Platform() const { return m_platform; }

  std::string m_strAddress;
  std::string m_strFrom;
  std::string m_strFromAddress;
  std::string m_strSubject;
  std::string m_strBody;
  std::string m_strBCC;
  std::string m_strCC;
  std::string m_strRecipient;
  std::string m_strLogFileName;
  std::string m_strAttachments;
  std::string m_strSMTPReply;
  std::string m_strSMTPErrorNumber;
  std::string m_strBoundary = "_=_FirstPart___6811EDB8_BBDC_11D5_8A11_0020AF49FB55";
  std::string m_strContentType = "text/plain";
  std::string m_strQuery;
  std::string m_strTerminator = "\r\n";
  std::int32_t m_nCharset = 1;
  // The charset of an attached text file that is neither 7-bit nor UTF-8.
  std::int32_t m_nFileCharset = 1;
  std::int32_t m_nPort = 25;
  std::int32_t m_nTimeout = 30000;
  std::int32_t m_nDebug = 0;
  std::int32_t m_nImportance = 2;
  std::int32_t m_nPriority = 2;
  std::unique_ptr<CCompletionEvent> m_hCompleteEvent;
  Status m_nStatus = Status::Success;
  std::vector<std::string> m_arrRecipients;
  std::int32_t m_nRecipientIndex = 0;
  CSMTPOLEDBQuery* m_pQuery = nullptr;
  bool m_bHTML = false;
  std::string m_strBindIP;
  std::string m_strStyleSheet;
  std::string m_strSMTPUsername;
  std::string m_strSMTPPassword;
  bool m_bAuthenticate = false;
  // Learned from the relay's EHLO reply (RFC 6152): 8-bit text may go out undeclared as
  // quoted-printable only when this is false.
  bool m_bRelay8BitMime = false;
  // Why the send failed, where the status code alone does not say (TLS, OAuth).
  std::string m_strErrorDetail;
  // Transport security: one of the TlsMode values; the verification of the relay's
  // certificate; a bearer token for XOAUTH2.
  std::int32_t m_nTlsMode = -1;  // -1: not given
  bool m_bTlsVerify = true;
  std::string m_strSMTPOAuthToken;
  // The relay as the caller named it (m_strAddress is its lower-case form).
  std::string m_strRelayName;
  // What the send did, for the call's report: a connection to the relay was made; the TLS
  // in use once established; the Message-ID and the bytes of message text sent.
  bool m_bRelayConnected = false;
  std::string m_strTlsVersion;
  std::string m_strTlsCipher;
  std::string m_strMessageId;
  std::uint64_t m_nMessageBytes = 0;

  // Delivery across relays and rounds. An empty relay list is filled from m_strAddress.
  std::vector<CRelay> m_arrRelays;
  std::int32_t m_nRetries = -1;       // rounds after the first; -1: the Retries setting, else 0
  std::int64_t m_nRetryDelayMs = -1;  // before the second round, doubling; -1: the setting, else 5 s
  std::int32_t m_nMaxSeconds = -1;    // bound on the whole call; -1: the setting, else none
  bool m_bPartialRecipients = false;
  // A probe of the relay (varnel --check-config --probe): the dialogue ends with QUIT where
  // MAIL would follow.
  bool m_bProbe = false;
  // Set by the socket: the end-of-data line went out whole (the relay may now hold it).
  bool m_bEndOfDataSent = false;
  // Set by the socket: the relay refused the sign-in (its reply to AUTH or a response).
  bool m_bSignInRefused = false;
  std::vector<CDeliveryAttempt> m_arrAttempts;
  std::vector<CRefusedRecipient> m_arrRefusedRecipients;
  // The relay that accepted the message (index into m_arrRelays), -1: none.
  std::int32_t m_nAcceptedRelay = -1;
  std::chrono::steady_clock::time_point m_tCallStart = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point m_tCallDeadline = std::chrono::steady_clock::time_point::max();

  // Which files may be attached: the built-in refusals, and after CheckAttachments the
  // AttachmentFolders setting.
  CAttachmentPolicy m_attachmentPolicy;
  // The files the attachment list names, wildcards expanded once by CheckAttachments;
  // every composition of the message (measured and sent) attaches these.
  CAttachmentFiles m_attachmentFiles;

  // The installation's settings (read once, before the worker starts), the call's OAuth
  // client values and what the two decide together.
  CDeliverySettings m_settings;

 private:
  CPlatform m_platform;
  mutable CLogProblem m_logProblem;
};

// Marks the calling thread as the delivery worker for the log's thread number.
void SetLogThreadNumber(long number);

}  // namespace varnel
