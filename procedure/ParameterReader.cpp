#include "procedure/ParameterReader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mime/MessageCharset.h"
#include "platform/AsciiCase.h"
#include "platform/Unicode.h"

namespace varnel {
namespace {

enum class TypeGroup { Text, Integer, Unicode, Unsupported };

TypeGroup GroupOf(int type) {
  switch (type) {
    case ServerType::Text:
    case ServerType::VarBinary:
    case ServerType::VarChar:
    case ServerType::Char:
    case ServerType::BigVarBinary:
    case ServerType::BigVarChar:
    case ServerType::BigBinary:
    case ServerType::BigChar:
      return TypeGroup::Text;
    case ServerType::IntN:
    case ServerType::TinyInt:
    case ServerType::SmallInt:
    case ServerType::Int:
      return TypeGroup::Integer;
    case ServerType::NText:
    case ServerType::NVarChar:
    case ServerType::NChar:
      return TypeGroup::Unicode;
    default:
      return TypeGroup::Unsupported;
  }
}

void Refuse(IServerCall& server, const std::string& message) {
  SendUsageMessage(server, message);
  server.SendDone(kDoneMore, 0, 0);
}

std::string WithName(const char* format, const std::string& name) {
  std::string text = format;
  std::size_t at = text.find("%s");
  text.replace(at, 2, name);
  return text;
}

// The value's bytes as a NUL-terminated text: it ends at its first NUL byte.
std::optional<std::string> ReadRawText(IServerCall& server, int n) {
  CParamInfo info;
  if (!server.ParamInfo(n, info, nullptr) || info.bNull || info.nActualLength == 0) return std::nullopt;
  // Read once, into the string that keeps the value: a large @body is not copied again.
  std::string text(static_cast<std::size_t>(info.nActualLength) + 1, '\0');
  if (!server.ParamInfo(n, info, reinterpret_cast<std::uint8_t*>(text.data()))) return std::nullopt;
  std::size_t length = info.nActualLength < text.size() ? info.nActualLength : text.size() - 1;
  const void* nul = std::memchr(text.data(), '\0', length);
  text.resize(nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text.data()) : length);
  return text;
}

std::optional<std::string> ReadUnicodeText(IServerCall& server, int n, bool utf8) {
  CParamInfo info;
  if (!server.ParamInfo(n, info, nullptr) || info.bNull || info.nActualLength == 0) return std::nullopt;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(info.nActualLength) + 10, 0);
  if (!server.ParamInfo(n, info, buffer.data())) return std::nullopt;
  std::size_t length = info.nActualLength < buffer.size() ? info.nActualLength : buffer.size();
  return utf8 ? UnicodeToUtf8(buffer.data(), length) : NarrowUnicode(buffer.data(), length);
}

// Converts parameter n to a 4-byte integer; false when the server cannot.
bool ConvertToInt(IServerCall& server, int n, std::int32_t& value) {
  int type = server.ParamType(n);
  int length = server.ParamLength(n);
  const void* data = server.ParamData(n);
  std::int32_t converted = 0;
  if (data == nullptr || length <= 0) return false;
  if (server.Convert(type, data, length, ServerType::Int, &converted, 4) == 0) return false;
  value = converted;
  return true;
}

struct CTextTarget {
  const char* pName;
  std::optional<std::string> CXpParameters::*pMember;
};

struct CNumberTarget {
  const char* pName;
  std::int32_t CXpParameters::*pMember;
};

constexpr CTextTarget kTextTargets[] = {
    {"@recipient", &CXpParameters::m_strRecipient},
    {"@from", &CXpParameters::m_strFrom},
    {"@address", &CXpParameters::m_strAddress},
    {"@subject", &CXpParameters::m_strSubject},
    {"@copy_recipients", &CXpParameters::m_strCopyRecipients},
    {"@blind_copy_recipients", &CXpParameters::m_strBlindCopyRecipients},
    {"@body", &CXpParameters::m_strBody},
    {"@attachments", &CXpParameters::m_strAttachments},
    {"@debugfilename", &CXpParameters::m_strDebugFileName},
    {"@query", &CXpParameters::m_strQuery},
    {"@qserver", &CXpParameters::m_strQServer},
    {"@qdatabase", &CXpParameters::m_strQDatabase},
    {"@quser", &CXpParameters::m_strQUser},
    {"@qpassword", &CXpParameters::m_strQPassword},
    {"@qrowsep", &CXpParameters::m_strQRowSeparator},
    {"@stylesheet", &CXpParameters::m_strStyleSheet},
    {"@qtableattribute", &CXpParameters::m_strQTableAttribute},
    {"@qcaptionattribute", &CXpParameters::m_strQCaptionAttribute},
    {"@qheaderattribute", &CXpParameters::m_strQHeaderAttribute},
    {"@qtrattribute", &CXpParameters::m_strQTRAttribute},
    {"@qtdattribute", &CXpParameters::m_strQTDAttribute},
    {"@qtablecaption", &CXpParameters::m_strQTableCaption},
    {"@qfilename", &CXpParameters::m_strQFileName},
    {"@qfieldsep", &CXpParameters::m_strQFieldSeparator},
    {"@smtpusername", &CXpParameters::m_strSMTPUsername},
    {"@smtppassword", &CXpParameters::m_strSMTPPassword},
    {"@smtpoauthtoken", &CXpParameters::m_strSMTPOAuthToken},
    {"@oauthtokenurl", &CXpParameters::m_strOAuthTokenUrl},
    {"@oauthclientid", &CXpParameters::m_strOAuthClientId},
    {"@oauthclientsecret", &CXpParameters::m_strOAuthClientSecret},
    {"@oauthscope", &CXpParameters::m_strOAuthScope},
};

constexpr CNumberTarget kNumberTargets[] = {
    {"@timeout", &CXpParameters::m_nTimeout},
    {"@codepage", &CXpParameters::m_nCodePage},
    {"@html", &CXpParameters::m_nHTML},
    {"@no_output", &CXpParameters::m_nNoOutput},
    {"@debug", &CXpParameters::m_nDebug},
    {"@smtpport", &CXpParameters::m_nSMTPPort},
    {"@importance", &CXpParameters::m_nImportance},
    {"@priority", &CXpParameters::m_nPriority},
    {"@qasattachments", &CXpParameters::m_nQAsAttachments},
    {"@qbind", &CXpParameters::m_nQBind},
    {"@qhtmlescape", &CXpParameters::m_nQHTMLEscape},
    {"@qcsv", &CXpParameters::m_nQCSV},
    {"@termination", &CXpParameters::m_nTermination},
    {"@tls", &CXpParameters::m_nTls},
    {"@tlsverify", &CXpParameters::m_nTlsVerify},
};

bool ReadPositional(IServerCall& server, int count, CXpParameters& parameters) {
  if (count < 4) {
    Refuse(server, count == -1 ? std::string() : std::string("Incorrect number of parameters\n"));
    return false;
  }
  parameters.m_strRecipient = ReadRawText(server, 1);
  if (!parameters.m_strRecipient) {
    Refuse(server, "Recipient Incorrect format\n");
    return false;
  }
  parameters.m_strFrom = ReadRawText(server, 2);
  parameters.m_strAddress = ReadRawText(server, 3);
  if (!parameters.m_strAddress) {
    Refuse(server, "Address Incorrect format\n");
    return false;
  }
  parameters.m_strSubject = ReadRawText(server, 4);
  if (count >= 5) parameters.m_strCopyRecipients = ReadRawText(server, 5);
  if (count >= 6) parameters.m_strBlindCopyRecipients = ReadRawText(server, 6);
  if (count >= 7) parameters.m_strBody = ReadRawText(server, 7);
  if (count >= 8) parameters.m_strAttachments = ReadRawText(server, 8);
  struct {
    int nPosition;
    std::int32_t CXpParameters::*pMember;
    const char* pMessage;
  } const numbers[] = {{9, &CXpParameters::m_nTimeout, "Timeout Incorrect format\n"},
                       {10, &CXpParameters::m_nSMTPPort, "Port Incorrect format\n"}};
  for (const auto& number : numbers) {
    if (count < number.nPosition) break;
    CParamInfo info;
    if (!server.ParamInfo(number.nPosition, info, nullptr) || info.bNull || info.nActualLength == 0) continue;
    if (!ConvertToInt(server, number.nPosition, parameters.*number.pMember)) {
      Refuse(server, number.pMessage);
      return false;
    }
  }
  return true;
}

// Whether the message will be UTF-8, known before any text is read: a usable @codepage
// of 65001 (the last one named wins, as for every parameter), or, without a usable one, a
// connection whose code page is 65001.
bool MessageIsUtf8(IServerCall& server, int count) {
  std::optional<std::int32_t> given;
  for (int n = 1; n <= count; ++n) {
    if (AsciiLower(server.ParamName(n)) != "@codepage") continue;
    CParamInfo info;
    server.ParamInfo(n, info, nullptr);
    std::int32_t number = 0;
    if (GroupOf(server.ParamType(n)) == TypeGroup::Integer && !info.bNull && info.nActualLength > 0) {
      ConvertToInt(server, n, number);
    }
    given = number;
  }
  if (given && IsMessageCharset(*given)) return *given == kUtf8Charset;
  std::optional<std::string> connection = server.ConnectionField(kConnectionCodePageField);
  return connection && std::strtoul(connection->c_str(), nullptr, 10) == static_cast<unsigned long>(kUtf8Charset);
}

bool ReadNamed(IServerCall& server, int count, CXpParameters& parameters) {
  const bool utf8 = MessageIsUtf8(server, count);
  for (int n = 1; n <= count; ++n) {
    std::string name = server.ParamName(n);
    if (name.empty()) continue;
    std::string lower = AsciiLower(name);

    CParamInfo info;
    server.ParamInfo(n, info, nullptr);
    TypeGroup group = GroupOf(server.ParamType(n));
    if (group == TypeGroup::Unsupported) {
      Refuse(server, WithName("Unknown parameter type for %s\n", name));
      return false;
    }
    std::optional<std::string> text;
    std::int32_t number = 0;
    if (group == TypeGroup::Text) text = ReadRawText(server, n);
    if (group == TypeGroup::Unicode) text = ReadUnicodeText(server, n, utf8);
    if (group == TypeGroup::Integer && !info.bNull && info.nActualLength > 0) ConvertToInt(server, n, number);

    bool matched = false;
    for (const CTextTarget& target : kTextTargets) {
      if (lower != target.pName) continue;
      matched = true;
      // An integer passed for a text parameter counts as absent. Each name has one
      // target: the text moves there.
      parameters.*target.pMember = group == TypeGroup::Integer ? std::nullopt : std::move(text);
      if (target.pMember == &CXpParameters::m_strQPassword) parameters.m_bPasswordNamed = true;
      break;
    }
    for (const CNumberTarget& target : kNumberTargets) {
      if (lower != target.pName) continue;
      matched = true;
      // A text passed for a number parameter takes the number 0.
      parameters.*target.pMember = group == TypeGroup::Integer ? number : 0;
      if (target.pMember == &CXpParameters::m_nHTML) parameters.m_bHTMLNamed = true;
      if (target.pMember == &CXpParameters::m_nQAsAttachments) parameters.m_bQAsAttachmentsNamed = true;
      if (target.pMember == &CXpParameters::m_nQBind) parameters.m_bQBindNamed = true;
      // NULL counts as not given: the defaults then decide.
      bool given = !info.bNull;
      if (target.pMember == &CXpParameters::m_nTls) parameters.m_bTlsNamed = given;
      if (target.pMember == &CXpParameters::m_nTlsVerify) parameters.m_bTlsVerifyNamed = given;
    }
    if (!matched) {
      // The call goes on: the value is dropped and the mail is still sent.
      SendUsageMessage(server, WithName("Unknown parameter %s\n", name));
      server.SendDone(kDoneMore, 0, 0);
    }
  }
  if (!parameters.m_strRecipient || !parameters.m_strFrom || !parameters.m_strAddress) {
    Refuse(server, "The minimum parameters are Recipient, From and Address. All must be supplied.\n");
    return false;
  }
  return true;
}

}  // namespace

std::string UnicodeToUtf8(const unsigned char* data, std::size_t size) {
  std::u16string units = BytesToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
  std::size_t nul = units.find(u'\0');
  if (nul != std::u16string::npos) units.resize(nul);
  return Utf16ToUtf8(units);
}

std::string NarrowUnicode(const unsigned char* data, std::size_t size) {
  std::string text;
  text.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    unsigned unit = data[i] | (static_cast<unsigned>(data[i + 1]) << 8);
    if (unit == 0) break;
    if (unit <= 0xFF) {
      text += static_cast<char>(unit);
    } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < size) {
      // A surrogate pair is one character: one "?".
      unsigned next = data[i + 2] | (static_cast<unsigned>(data[i + 3]) << 8);
      if (next >= 0xDC00 && next <= 0xDFFF) i += 2;
      text += '?';
    } else {
      text += '?';
    }
  }
  return text;
}

std::string BuildUsageText() {
  std::string text;
  text += "Version 3.1 201103\n";
  text += "Quick format - \n";
  text += "Usage Recipient, From, Address, Subject, CC (Optional/Null), BCC (Optional/Null), Body (Optional/Null), "
          "Filename (Optional/Null), Timeout (Optional/Null), SMTPPortNumber (Optional Default 25)\n";
  text += "e.g. xp_Varnel 'dba@example.com', 'sqlserver@example.com', '192.0.2.25',NULL, "
          "'ops@example.com,oncall@example.com', NULL, 'Overnight error', 'Error on load','c:\\temp\\main.log', "
          "30, 25\n\n\n";
  text += "Extended format - \n";
  text += "exec xp_Varnel \n";
  text += "\t\t\t@recipient='',\t\t\t-- Recipient of mail e.g. dba@example.com\n";
  text += "\t\t\t@from= '',\t\t\t-- Mail address of the sender e.g. sqlserver@example.com\n";
  text += "\t\t\t@address= '',\t\t\t-- SMTP gateway either DNS name or IP address\n";
  text += "\t\t\t@subject= '',\t\t\t-- Subject line\n";
  text += "\t\t\t@copy_recipients= '',\t\t-- Multiple recipients of mail separated by commas\n";
  text += "\t\t\t@blind_copy_recipients= '',\t-- Multiple blind recipients of mail separated by commas\n";
  text += "\t\t\t@body= '',\t\t\t-- Body text\n";
  text += "\t\t\t@attachments= '',\t\t-- Attachments separated by commas which can include a wildcard e.g. "
          "'c:\\temp\\*.log,c:\\*.log'\n";
  text += "\t\t\t@timeout= ,\t\t\t-- Timeout after which the send is terminated in seconds\n";
  text += "\t\t\t@html= ,\t\t\t-- Sets the content type of the mail to be HTML 0 Ascii 1 HTML(defaults to 0)\n";
  text += "\t\t\t@importance=\t\t\t-- Sets the email importance 1 High 2 Medium 3 Low (Defaults to Medium)\n";
  text += "\t\t\t@priority=\t\t\t-- Sets the email priority 1 High 2 Medium 3 Low (Defaults to Medium)\n";
  text += "\t\t\t@smtpport= ,\t\t\t-- Sets the SMTP port if non standard\n";
  text += "\t\t\t@query= '',\t\t\t-- Query text - multiple resultsets supported e.g. select * from sysusers exec sp_who\n";
  text += "\t\t\t@qserver= '',\t\t\t-- Server name for query(defaults to current server)\n";
  text += "\t\t\t@qdatabase= '',\t\t\t-- Database name for query(defaults to master)\n";
  text += "\t\t\t@quser= '',\t\t\t-- Username for query(defaults to current user)\n";
  text += "\t\t\t@qpassword= '',\t\t\t-- User password for query(defaults to current password)\n";
  text += "\t\t\t@qrowsep= '',\t\t\t-- Row separator for query defaults to carriage return/linefeed\n";
  text += "\t\t\t@qfieldsep= '',\t\t\t-- Field separator for query (defaults to comma)\n";
  text += "\t\t\t@stylesheet= '',\t\t-- HTML Style Sheet\n";
  text += "\t\t\t@qtableattribute= '',\t\t-- HTML Table attribute e.g BORDER=1 BGCOLOR=\"#CCCCCC\"\n";
  text += "\t\t\t@qtablecaption= '',\t\t-- HTML Table Caption\n";
  text += "\t\t\t@qcaptionattribute= '',\t\t-- HTML Table Caption attribute e.g. align=top valign=bottom\n";
  text += "\t\t\t@qheaderattribute= '',\t\t-- HTML Table Header attribute - Applies to all columns e.g valign=middle\n";
  text += "\t\t\t@qtrattribute= '',\t\t-- HTML Table Row attribute - Applies to all rows e.g align=left "
          "bgcolor=\"#CCCCCC\"\n";
  text += "\t\t\t@qtdattribute= '',\t\t-- HTML Table Data Cell attribute - Applies to all cells e.g height=10 nowrap\n";
  text += "\t\t\t@qasattachments= ,\t\t-- Send query results as attachments (defaults to 0 - send in body of message\n";
  text += "\t\t\t@qbind= ,\t\t\t-- Bind to existing transaction (defaults to 1 - will bind)\n";
  text += "\t\t\t@qfilename= '',\t\t\t-- Filename of the attachment\n";
  text += "\t\t\t@no_output= \t\t\t-- Suppress output (defaults to 0 - No suppression\n";
  text += "\t\t\t@debug= \t\t\t-- Write log to file defaults to c:\\temp\\corvane.log\n";
  text += "\t\t\t@debugfilename= ''-- Log Filename\t\t\t-- \n";
  text += "\t\t\t@termination= ''-- 0 CRNL (Default) 1 CR Only 2 NL Only\t\t\t-- \n";
  text += "\t\t\t@SMTPUsername= ''-- SMTP Server Login\t\t\t-- \n";
  text += "\t\t\t@SMTPPassword= ''-- SMTP Server Password\t\t\t-- \n";
  return text;
}

void SendUsageMessage(IServerCall& server, const std::string& message) {
  // The message is formatted into a buffer of 255 bytes.
  server.SendMessage(message.size() > 254 ? message.substr(0, 254) : message);
  server.SendMessage(BuildUsageText());
}

bool ReadXpParameters(IServerCall& server, CXpParameters& parameters) {
  int count = server.ParamCount();
  std::string firstName = count >= 1 ? server.ParamName(1) : std::string();
  if (!firstName.empty()) return ReadNamed(server, count, parameters);
  return ReadPositional(server, count, parameters);
}

}  // namespace varnel
