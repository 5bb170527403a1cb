// xp_Varnel from entry to return: parameters, mail channel, optional query stage,
// delivery, then one outcome row (unless suppressed), one done notice and the return
// value. Every exception is caught here.
#include "procedure/XpVarnel.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>

#include "mime/MessageCharset.h"
#include "platform/System.h"
#include "platform/Settings.h"
#include "platform/TextCensor.h"
#include "procedure/CallProfile.h"
#include "procedure/CodePageSettings.h"
#include "procedure/CustomException.h"
#include "procedure/ParameterReader.h"
#include "procedure/ProfileSettings.h"
#include "smtp/SMTPChannel.h"
#include "procedure/QueryStage.h"
#include "procedure/SendLogLine.h"
#include "query/SMTPOLEDBQuery.h"
#include "query/SMTPQueryResultset.h"

namespace varnel {
namespace {

// Texts in the outcome row are formatted into a buffer of 1024 characters.
constexpr std::size_t kMaxColumnText = 1023;

void SendOutcomeRow(IServerCall& server, std::int32_t status, const std::optional<std::string>& errorMessage,
                    const std::optional<std::string>& smtpErrorNumber,
                    const std::optional<std::string>& smtpErrorMessage,
                    const std::optional<std::string>& queryErrorMessage) {
  const char* names[] = {"Result", "ErrorMessage", "SMTPErrorNumber", "SMTPErrorMessage", "QueryErrorMessage"};
  const std::optional<std::string>* values[] = {nullptr, &errorMessage, &smtpErrorNumber, &smtpErrorMessage,
                                                &queryErrorMessage};
  std::string texts[5];
  std::int16_t result = static_cast<std::int16_t>(static_cast<std::uint16_t>(status & 0xFFFF));
  server.DescribeColumn(1, names[0], ServerType::SmallInt, 2, ServerType::SmallInt, 2);
  for (int column = 2; column <= 5; ++column) {
    const std::optional<std::string>& value = *values[column - 1];
    int declared = 255;
    if (value) {
      texts[column - 1] = value->substr(0, kMaxColumnText);
      declared = static_cast<int>(texts[column - 1].size());
    }
    server.DescribeColumn(column, names[column - 1], ServerType::Char, declared, ServerType::Char, declared);
  }
  server.SetColumnData(1, &result);
  server.SetColumnLength(1, 2);
  for (int column = 2; column <= 5; ++column) {
    server.SetColumnData(column, texts[column - 1].data());
    server.SetColumnLength(column, static_cast<int>(texts[column - 1].size()));
  }
  server.SendRow();
}

// A log that could not be written is told to the caller once, before the outcome row; the
// call went on without it.
void ReportLogProblem(IServerCall& server, const CSMTPChannel& channel, const CSMTPOLEDBQuery* runner) {
  std::string file = channel.m_strLogFileName;
  std::string reason = channel.LogProblem();
  if (reason.empty() && runner != nullptr) {
    file = runner->m_strLogFileName;
    reason = runner->LogProblem();
  }
  if (reason.empty()) return;
  server.SendMessage("The log file " + CensorText(file, " ") + " could not be written: " + reason +
                     ". The call went on without it.\n");
}

// A call that an exception ended: status 10, nothing else known.
void ReportException(IServerCall& server, std::chrono::steady_clock::time_point start) noexcept {
  try {
    CCallReport report;
    report.nStatus = StatusCode(Status::Exception);
    report.nMilliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    server.ReportCall(report);
  } catch (...) {
  }
}

// Channel stages 1 to 15: settings from the parameters.
// The body moves from the parameters into the channel: a large @body is held once.
void FillChannel(CSMTPChannel& channel, CXpParameters& p, IServerCall& server) {
  if (p.m_nDebug != 0) {
    channel.m_nDebug = p.m_nDebug;
    channel.m_strLogFileName = p.m_strDebugFileName ? *p.m_strDebugFileName : std::string(DefaultLogFileName());
  }
  for (const std::string& note : p.m_arrLogNotes) channel.WriteLog(note);
  channel.m_strAddress = p.m_strAddress.value_or("");
  channel.SetBody(p.m_strBody ? std::move(*p.m_strBody) : std::string());
  p.m_strBody.reset();
  if (p.m_bHTMLNamed) {
    channel.m_strContentType = p.m_nHTML != 0 ? "text/html" : "text/plain";
    channel.m_bHTML = p.m_nHTML != 0;
  }
  if (p.m_strStyleSheet) channel.m_strStyleSheet = *p.m_strStyleSheet;
  std::int32_t charset = p.m_nCodePage;
  if (charset != -1 && !IsMessageCharset(charset)) {
    channel.WriteLog("@codepage " + std::to_string(charset) +
                     " is neither an ISO-8859 part (1-11, 13-16) nor 65001: taken as not given");
    charset = -1;
  } else if (charset != -1 && !IsUsableCharset(charset)) {
    channel.WriteLog("@codepage " + std::to_string(charset) + " cannot be converted to on this system: taken as not given");
    charset = -1;
  }
  if (charset == -1) {
    // The label follows once every text of the message is known (ChooseMessageCharset).
    std::optional<std::string> codepage = server.ConnectionField(ConnectionInfo::CodePage);
    if (codepage) channel.SetCharsetFromCodePage(static_cast<std::uint32_t>(std::strtoul(codepage->c_str(), nullptr, 10)));
  } else {
    channel.m_nCharset = charset;
  }
  // A text file's bytes are not converted: neither 7-bit nor UTF-8, they are taken to be
  // in the code page of the server's files, or in the charset the caller named for it.
  std::int32_t files = charset != -1 && charset != kUtf8Charset ? charset : OwnCharset(p.m_nConnectionCodePage);
  channel.m_nFileCharset = files == kUtf8Charset ? 1 : files;
  channel.m_strRecipient = p.m_strRecipient.value_or("");
  channel.m_strCC = p.m_strCopyRecipients.value_or("");
  channel.m_strBCC = p.m_strBlindCopyRecipients.value_or("");
  channel.m_strFrom = p.m_strFrom.value_or("");
  channel.SetSubject(p.m_strSubject.value_or(""));
  if (p.m_strAttachments) channel.m_strAttachments = *p.m_strAttachments;
  channel.m_nPriority = p.m_nPriority;
  channel.m_nImportance = p.m_nImportance;
  if (p.m_nTimeout != 0) {
    // Seconds to milliseconds, clamped to what 32 bits hold rather than wrapped.
    std::int64_t milliseconds = static_cast<std::int64_t>(p.m_nTimeout) * 1000;
    if (milliseconds > INT32_MAX) milliseconds = INT32_MAX;
    if (milliseconds < INT32_MIN) milliseconds = INT32_MIN;
    channel.m_nTimeout = static_cast<std::int32_t>(milliseconds);
  }
  channel.m_strTerminator = p.m_nTermination == 1 ? "\r" : p.m_nTermination == 2 ? "\n" : "\r\n";
  if (p.m_nSMTPPort > 0) channel.m_nPort = p.m_nSMTPPort;
  if (p.m_strSMTPUsername) {
    channel.m_strSMTPUsername = *p.m_strSMTPUsername;
    channel.m_bAuthenticate = true;
  }
  if (p.m_strSMTPPassword) {
    channel.m_strSMTPPassword = *p.m_strSMTPPassword;
    channel.m_bAuthenticate = true;
  }
  if (p.m_strSMTPOAuthToken) {
    channel.m_strSMTPOAuthToken = *p.m_strSMTPOAuthToken;
    channel.m_bAuthenticate = true;
  }
  // A mode outside 0-3 counts as not given: the settings and defaults decide.
  if (p.m_bTlsNamed && p.m_nTls >= TlsMode::Never && p.m_nTls <= TlsMode::Implicit) channel.m_nTlsMode = p.m_nTls;
  if (p.m_bTlsVerifyNamed) channel.m_bTlsVerify = p.m_nTlsVerify != 0;
  // A bound of the call's own replaces the MaxSeconds setting; 0 or less: none.
  if (p.m_bMaxSecondsNamed) channel.m_nMaxSeconds = p.m_nMaxSeconds > 0 ? p.m_nMaxSeconds : 0;
  if (p.m_nPartialRecipients != 0) channel.m_bPartialRecipients = true;
  channel.m_settings.strOAuthTokenUrl = p.m_strOAuthTokenUrl.value_or("");
  channel.m_settings.strOAuthClientId = p.m_strOAuthClientId.value_or("");
  channel.m_settings.strOAuthClientSecret = p.m_strOAuthClientSecret.value_or("");
  channel.m_settings.strOAuthScope = p.m_strOAuthScope.value_or("");
}

// Without @codepage the text keeps its bytes and the label fits them: an ISO-8859 part
// where each byte the message's text holds means the same character there, else the code
// page's own name (PairedIsoParts, ChooseCharset).
void ChooseMessageCharset(CSMTPChannel& channel, const CXpParameters& p, const CSMTPOLEDBQuery* runner) {
  if (p.m_nTextCodePage == 0) return;  // a code page the system does not know: as before
  CByteSet present{};
  for (const std::string* text : {&channel.m_strFrom, &channel.m_strRecipient, &channel.m_strCC,
                                  &channel.m_strSubject, &channel.m_strBody, &channel.m_strStyleSheet}) {
    AddBytes(present, *text);
  }
  if (runner != nullptr) {
    for (const std::string* text : {&runner->m_strQuery, &runner->m_strTableCaption, &runner->m_strTableAttribute,
                                    &runner->m_strCaptionAttribute, &runner->m_strHeaderAttribute,
                                    &runner->m_strTDAttribute, &runner->m_strTRAttribute, &runner->m_strFileName,
                                    &runner->m_strFieldSeparator, &runner->m_strRowSeparator}) {
      AddBytes(present, *text);
    }
    for (std::size_t i = 0; i < runner->GetResultsetCount(); ++i) {
      const CSMTPQueryResultset& resultset = runner->GetResultset(i);
      for (std::size_t column = 0; column < resultset.GetColumnCount(); ++column) {
        AddBytes(present, resultset.GetColumn(column).m_strName);
      }
      if (!resultset.HasEightBitValues()) continue;
      for (std::size_t row = 0; row < resultset.GetRowCount(); ++row) {
        for (std::size_t column = 0; column < resultset.GetColumnCount(); ++column) {
          AddBytes(present, resultset.GetValue(row, column));
        }
      }
    }
  }
  channel.m_nCharset = ChooseCharset(p.m_nTextCodePage, PairedIsoParts(p.m_nConnectionCodePage), present);
}

// The report of a call whose channel was filled (and perhaps sent).
CCallReport MakeReport(const CSMTPChannel& channel, std::int32_t status, bool accepted,
                       std::chrono::steady_clock::time_point start) {
  CCallReport report;
  report.nStatus = status;
  report.bAccepted = accepted;
  report.strSender = channel.m_strFromAddress;
  report.nRecipients = channel.m_arrRecipients.size();
  report.strRelayHost = channel.m_strRelayName.empty() ? channel.m_strAddress : channel.m_strRelayName;
  report.nRelayPort = channel.m_nPort;
  report.bRelayConnected = channel.m_bRelayConnected;
  report.strTlsVersion = channel.m_strTlsVersion;
  report.strTlsCipher = channel.m_strTlsCipher;
  report.strMessageId = channel.m_strMessageId;
  report.nSize = channel.m_nMessageBytes;
  for (const CDeliveryAttempt& attempt : channel.m_arrAttempts) {
    report.arrAttempts.push_back(
        {attempt.strRelay, attempt.nPort, StatusCode(attempt.nStatus), attempt.strReply, attempt.nDelayMs});
  }
  if (channel.m_nAcceptedRelay >= 0) report.nAcceptedAttempt = static_cast<int>(channel.m_arrAttempts.size());
  for (const CRefusedRecipient& refused : channel.m_arrRefusedRecipients) {
    report.arrRefusedRecipients.emplace_back(refused.strAddress, refused.strReply);
  }
  report.nMilliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  return report;
}

std::uint16_t RunRequest(IServerCall& server, const CPlatform& callerPlatform, CXpParameters& parameters,
                         const CCallProfile& callProfile, std::chrono::steady_clock::time_point start) {
  // With a profile, its values stand in for the settings of the same meaning for this call.
  std::optional<CProfileSettings> profileSettings;
  CPlatform platform = callerPlatform;
  if (callProfile.profile && platform.pSettings != nullptr) {
    profileSettings.emplace(*platform.pSettings, *callProfile.profile, callProfile.bOwnRelay);
    platform.pSettings = &*profileSettings;
  }
  // The settings of a runner whose values go into another code page than the server's
  // strings (that of the message's text) outlive the runner, declared before it.
  std::optional<CCodePageSettings> textSettings;
  // The runner is declared first so that it outlives the channel, which points at it.
  std::unique_ptr<CSMTPOLEDBQuery> runner;
  std::unique_ptr<CSMTPChannel> channel;
  try {
    channel = std::make_unique<CSMTPChannel>(platform);
    FillChannel(*channel, parameters, server);
    // A profile that cannot be used ends the call here: no query runs, nothing is sent.
    const bool profileReady = ApplyCallProfile(callProfile, parameters, *channel);

    bool runFlag = true;
    // A run that cannot connect leaves this value in the row; no stage sets it then.
    std::int32_t status = -1;
    std::optional<std::int32_t> customCode;
    try {
      if (parameters.m_strQuery && profileReady) {
        CPlatform queryPlatform = platform;
        if (parameters.m_nTextCodePage != 0 && platform.pSettings != nullptr &&
            platform.pSettings->AnsiCodePage() != parameters.m_nTextCodePage) {
          textSettings.emplace(*platform.pSettings, parameters.m_nTextCodePage);
          queryPlatform.pSettings = &*textSettings;
        }
        runFlag = RunQueryStage(parameters, *channel, server, queryPlatform, runner);
      }
      channel->m_strQuery = parameters.m_strQuery.value_or("");
      if (parameters.m_nCodePage == -1 || !IsUsableCharset(parameters.m_nCodePage)) {
        ChooseMessageCharset(*channel, parameters, runner.get());
      }
      if (runFlag && profileReady) {
        channel->Initialise();
        status = StatusCode(channel->m_nStatus);
      } else if (!profileReady) {
        status = StatusCode(channel->m_nStatus);
      }
    } catch (const CCustomException& error) {
      customCode = error.Code();
      status = error.Code();
    }

    ReportLogProblem(server, *channel, runner.get());
    // Driver messages are text from outside: their line breaks stay, control characters go.
    std::string queryError = runner ? CensorKeepingLineEnds(runner->GetQueryError()) : std::string();
    bool noOutput = parameters.m_nNoOutput != 0;
    bool accepted =
        runFlag && !customCode && (status == StatusCode(Status::Success) || status == StatusCode(Status::Partial));
    CCallReport report = MakeReport(*channel, status, accepted, start);
    server.ReportCall(report);
    // The message went to the others: the caller learns whom it did not reach, and why.
    for (const CRefusedRecipient& refused : channel->m_arrRefusedRecipients) {
      server.SendMessage("Recipient " + CensorText(refused.strAddress, " ") +
                         " refused and left out: " + CensorText(refused.strReply, " ") + "\n");
    }
    if (platform.pSettings != nullptr && SystemLogWanted(*platform.pSettings)) {
      WriteSystemLog(FormatSendLogLine(report), !report.bAccepted);
    }
    if (!noOutput) {
      if (!runFlag) {
        SendOutcomeRow(server, status, std::nullopt, std::nullopt, std::nullopt, queryError);
      } else if (status <= 0) {
        // A query that reported errors while the mail went out is not a clean success.
        std::optional<std::string> reported;
        if (!queryError.empty()) reported = queryError;
        SendOutcomeRow(server, status, std::nullopt, std::nullopt, std::nullopt, reported);
      } else if (customCode) {
        SendOutcomeRow(server, status, CSMTPChannel::GetStatusText(status), std::string(), std::string(), queryError);
      } else {
        SendOutcomeRow(server, status, channel->GetErrorMessage(), channel->GetSMTPErrorNumber(),
                       channel->GetSMTPErrorMessage(), queryError);
      }
      server.SendDone(kDoneMore | kDoneCount, 0, 1);
    } else {
      server.SendDone(kDoneMore, 0, 0);
    }
    channel.reset();
    runner.reset();
    if (noOutput) return static_cast<std::uint16_t>(status & 0xFFFF);
    return status == 0 ? 0 : 1;
  } catch (...) {
    ReportException(server, start);
    server.SendMessage("Exception caught whilst executing xp_Varnel\n");
    channel.reset();
    runner.reset();
    server.SendDone(kDoneMore, 0, 0);
    return 1;
  }
}

}  // namespace

std::uint32_t GetXpVersion() { return 0x07000000; }

std::uint16_t XpVarnel(IServerCall& server, const CPlatform& platform) {
  const auto start = std::chrono::steady_clock::now();
  try {
    CXpParameters parameters;
    if (!ReadXpParameters(server, parameters)) return 1;
    CCallProfile profile = FindCallProfile(platform.pProfiles, parameters);
    if (parameters.m_bMinimumMissing && !HasMinimumParameters(parameters, profile)) {
      RefuseWithoutMinimum(server);
      return 1;
    }
    return RunRequest(server, platform, parameters, profile, start);
  } catch (...) {
    ReportException(server, start);
    server.SendMessage("Exception caught whilst executing xp_Varnel\n");
    server.SendDone(kDoneMore, 0, 0);
    return 1;
  }
}

}  // namespace varnel
