// The parameter set of one xp_Varnel call, read in named or positional form.
// A text value is present only when the caller passed a non-NULL, non-empty value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnel {

struct CXpParameters {
  // Text parameters.
  std::optional<std::string> m_strRecipient;
  std::optional<std::string> m_strFrom;
  std::optional<std::string> m_strAddress;
  std::optional<std::string> m_strSubject;
  std::optional<std::string> m_strCopyRecipients;
  std::optional<std::string> m_strBlindCopyRecipients;
  std::optional<std::string> m_strBody;
  std::optional<std::string> m_strAttachments;
  std::optional<std::string> m_strDebugFileName;
  std::optional<std::string> m_strQuery;
  std::optional<std::string> m_strQServer;
  std::optional<std::string> m_strQDatabase;
  std::optional<std::string> m_strQUser;
  std::optional<std::string> m_strQPassword;
  std::optional<std::string> m_strQRowSeparator;
  std::optional<std::string> m_strStyleSheet;
  std::optional<std::string> m_strQTableAttribute;
  std::optional<std::string> m_strQCaptionAttribute;
  std::optional<std::string> m_strQHeaderAttribute;
  std::optional<std::string> m_strQTRAttribute;
  std::optional<std::string> m_strQTDAttribute;
  std::optional<std::string> m_strQTableCaption;
  std::optional<std::string> m_strQFileName;
  std::optional<std::string> m_strQFieldSeparator;
  std::optional<std::string> m_strSMTPUsername;
  std::optional<std::string> m_strSMTPPassword;
  std::optional<std::string> m_strSMTPOAuthToken;
  std::optional<std::string> m_strOAuthTokenUrl;
  std::optional<std::string> m_strOAuthClientId;
  std::optional<std::string> m_strOAuthClientSecret;
  std::optional<std::string> m_strOAuthScope;
  std::optional<std::string> m_strProfile;

  // Number parameters (0 when not given, @codepage -1).
  std::int32_t m_nTimeout = 0;
  std::int32_t m_nCodePage = -1;
  std::int32_t m_nHTML = 0;
  std::int32_t m_nNoOutput = 0;
  std::int32_t m_nDebug = 0;
  std::int32_t m_nSMTPPort = 0;
  std::int32_t m_nImportance = 0;
  std::int32_t m_nPriority = 0;
  std::int32_t m_nQAsAttachments = 0;
  std::int32_t m_nQBind = 0;
  std::int32_t m_nQHTMLEscape = 0;
  std::int32_t m_nQCSV = 0;
  std::int32_t m_nTermination = 0;
  std::int32_t m_nTls = 0;
  std::int32_t m_nTlsVerify = 0;
  std::int32_t m_nMaxSeconds = 0;
  std::int32_t m_nPartialRecipients = 0;

  // The code page of the caller's connection, and the one text values were converted to
  // (that of a usable @codepage, else mostly the connection's); 0 when the system does
  // not know it and values stayed as they came.
  std::int32_t m_nConnectionCodePage = 0;
  std::int32_t m_nTextCodePage = 0;

  // Parameters whose mere naming matters.
  bool m_bHTMLNamed = false;
  bool m_bQAsAttachmentsNamed = false;
  bool m_bQBindNamed = false;
  bool m_bPasswordNamed = false;
  bool m_bTlsNamed = false;
  bool m_bTlsVerifyNamed = false;
  bool m_bMaxSecondsNamed = false;
  bool m_bPartialRecipientsNamed = false;
  // The named form left out @from or @address: a relay profile must give them, else the
  // call is refused as one without its minimum parameters.
  bool m_bMinimumMissing = false;

  // What the log should say once it is set up: number parameters of the classic set that
  // were given as text and so became 0.
  std::vector<std::string> m_arrLogNotes;
};

}  // namespace varnel
