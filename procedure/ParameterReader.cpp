#include "procedure/ParameterReader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mime/MessageCharset.h"
#include "platform/AsciiCase.h"
#include "platform/CodePage.h"
#include "platform/TextCensor.h"
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

// Where a call's text goes: the code page of the caller's connection (what varchar values
// are in) and the code page the values are converted to. Either is none when the system
// does not know it; values then stay as they came.
struct CTextCodePages {
  std::optional<CCodePage> connection;
  std::optional<CCodePage> text;
};

// A varchar value in the connection's code page, as bytes of target.
std::string ConvertText(const CTextCodePages& pages, const std::optional<CCodePage>& target, std::string value) {
  if (!pages.connection || !target || pages.connection->Number() == target->Number()) return value;
  return pages.connection->ConvertTo(*target, value);
}

std::optional<std::string> ReadUnicodeText(IServerCall& server, int n, const std::optional<CCodePage>& target) {
  CParamInfo info;
  if (!server.ParamInfo(n, info, nullptr) || info.bNull || info.nActualLength == 0) return std::nullopt;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(info.nActualLength) + 10, 0);
  if (!server.ParamInfo(n, info, buffer.data())) return std::nullopt;
  std::size_t length = info.nActualLength < buffer.size() ? info.nActualLength : buffer.size();
  if (!target) return NarrowUnicode(buffer.data(), length);
  std::u16string units = BytesToUtf16(std::string_view(reinterpret_cast<const char*>(buffer.data()), length));
  std::size_t nul = units.find(u'\0');
  if (nul != std::u16string::npos) units.resize(nul);
  return target->FromUtf16(units);
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
  // The classic parameters take 0 for any text, as callers of old expect. Every parameter
  // added since reads text as SQL Server converts it to int and refuses any other text:
  // '1' must not become 0 where 0 switches a protection off (@tls, @tlsverify).
  bool bTextIsZero = false;
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
    {"@profile", &CXpParameters::m_strProfile},
};

constexpr CNumberTarget kNumberTargets[] = {
    {"@timeout", &CXpParameters::m_nTimeout, true},
    {"@codepage", &CXpParameters::m_nCodePage, true},
    {"@html", &CXpParameters::m_nHTML, true},
    {"@no_output", &CXpParameters::m_nNoOutput, true},
    {"@debug", &CXpParameters::m_nDebug, true},
    {"@smtpport", &CXpParameters::m_nSMTPPort, true},
    {"@importance", &CXpParameters::m_nImportance, true},
    {"@priority", &CXpParameters::m_nPriority, true},
    {"@qasattachments", &CXpParameters::m_nQAsAttachments, true},
    {"@qbind", &CXpParameters::m_nQBind, true},
    {"@termination", &CXpParameters::m_nTermination, true},
    {"@qhtmlescape", &CXpParameters::m_nQHTMLEscape},
    {"@qcsv", &CXpParameters::m_nQCSV},
    {"@tls", &CXpParameters::m_nTls},
    {"@tlsverify", &CXpParameters::m_nTlsVerify},
    {"@maxseconds", &CXpParameters::m_nMaxSeconds},
    {"@partialrecipients", &CXpParameters::m_nPartialRecipients},
};

// The code pages of a call's text: the connection's, and the one its values are converted
// to. That is the code page of a usable @codepage (the last one named wins, as for every
// parameter); else the connection's own, except that the double-byte code pages whose
// usual charset names do not cover their vendors' extensions (932, 949, 950) go UTF-8.
CTextCodePages FindTextCodePages(IServerCall& server, const std::optional<std::int32_t>& given) {
  CTextCodePages pages;
  std::optional<std::string> field = server.ConnectionField(ConnectionInfo::CodePage);
  int connection = field ? static_cast<int>(std::strtol(field->c_str(), nullptr, 10)) : 0;
  if (connection > 0) pages.connection = CCodePage::Find(connection);
  if (given && IsUsableCharset(*given)) {
    pages.text = CCodePage::Find(CharsetCodePage(*given));
  } else if (connection == 932 || connection == 949 || connection == 950) {
    pages.text = CCodePage::Find(kUtf8CodePage);
  } else {
    pages.text = pages.connection;
  }
  return pages;
}

// A text parameter's value as the call keeps it: in the text's code page; attachment
// lists in UTF-8, the file system's names.
void StoreText(const CTextCodePages& pages, std::optional<std::string> CXpParameters::*member,
               std::optional<std::string> value, bool fromUnicode, CXpParameters& parameters) {
  if (value && !fromUnicode) {
    bool fileNames = member == &CXpParameters::m_strAttachments;
    value = ConvertText(pages, fileNames ? CCodePage::Find(kUtf8CodePage) : pages.text, std::move(*value));
  }
  parameters.*member = std::move(value);
}

// Text as SQL Server converts it to int: blanks around it, an optional sign, decimal
// digits, within 32 bits. Nothing else (no decimal point, no empty text) is a number.
bool ParseIntegerText(const std::string& text, std::int32_t& value) {
  constexpr const char* kBlanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return false;
  std::size_t last = text.find_last_not_of(kBlanks);
  std::size_t at = first;
  bool negative = text[at] == '-';
  if (text[at] == '-' || text[at] == '+') ++at;
  if (at > last) return false;
  std::int64_t number = 0;
  for (; at <= last; ++at) {
    if (text[at] < '0' || text[at] > '9') return false;
    number = number * 10 + (text[at] - '0');
    if (number > std::int64_t{INT32_MAX} + 1) return false;
  }
  if (negative) number = -number;
  if (number > INT32_MAX || number < INT32_MIN) return false;
  value = static_cast<std::int32_t>(number);
  return true;
}

// A value quoted in a message or the log: short, one line, no control characters.
std::string QuotedValue(const std::optional<std::string>& text) {
  std::string value = text.value_or("");
  if (value.size() > 40) value = value.substr(0, 40) + "...";
  return "'" + CensorText(value, " ") + "'";
}

bool ReadPositional(IServerCall& server, int count, CXpParameters& parameters) {
  const CTextCodePages pages = FindTextCodePages(server, std::nullopt);
  parameters.m_nConnectionCodePage = pages.connection ? pages.connection->Number() : 0;
  parameters.m_nTextCodePage = pages.text ? pages.text->Number() : 0;
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
  for (auto member : {&CXpParameters::m_strRecipient, &CXpParameters::m_strFrom, &CXpParameters::m_strAddress,
                      &CXpParameters::m_strSubject, &CXpParameters::m_strCopyRecipients,
                      &CXpParameters::m_strBlindCopyRecipients, &CXpParameters::m_strBody,
                      &CXpParameters::m_strAttachments}) {
    StoreText(pages, member, parameters.*member, false, parameters);
  }
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

// The @codepage of a named call, known before any text is read.
std::optional<std::int32_t> GivenCodePage(IServerCall& server, int count) {
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
  return given;
}

bool ReadNamed(IServerCall& server, int count, CXpParameters& parameters) {
  const CTextCodePages pages = FindTextCodePages(server, GivenCodePage(server, count));
  parameters.m_nConnectionCodePage = pages.connection ? pages.connection->Number() : 0;
  parameters.m_nTextCodePage = pages.text ? pages.text->Number() : 0;
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
    if (group == TypeGroup::Unicode) {
      text = ReadUnicodeText(server, n, lower == "@attachments" ? CCodePage::Find(kUtf8CodePage) : pages.text);
    }
    if (group == TypeGroup::Integer && !info.bNull && info.nActualLength > 0) ConvertToInt(server, n, number);

    bool matched = false;
    for (const CTextTarget& target : kTextTargets) {
      if (lower != target.pName) continue;
      matched = true;
      // An integer passed for a text parameter counts as absent.
      StoreText(pages, target.pMember, group == TypeGroup::Integer ? std::nullopt : std::move(text),
                group == TypeGroup::Unicode, parameters);
      if (target.pMember == &CXpParameters::m_strQPassword) parameters.m_bPasswordNamed = true;
      break;
    }
    for (const CNumberTarget& target : kNumberTargets) {
      if (lower != target.pName) continue;
      matched = true;
      if (group != TypeGroup::Integer && !info.bNull && !target.bTextIsZero) {
        if (!text || !ParseIntegerText(*text, number)) {
          Refuse(server, WithName("Parameter %s needs a whole number; ", name) + QuotedValue(text) + " is not one\n");
          return false;
        }
      } else if (group != TypeGroup::Integer) {
        // A text passed for a classic number parameter takes the number 0.
        if (!info.bNull) {
          parameters.m_arrLogNotes.push_back(name + " was given as the text " + QuotedValue(text) +
                                             ", which counts as 0 for this parameter");
        }
        number = 0;
      }
      parameters.*target.pMember = number;
      if (target.pMember == &CXpParameters::m_nHTML) parameters.m_bHTMLNamed = true;
      if (target.pMember == &CXpParameters::m_nQAsAttachments) parameters.m_bQAsAttachmentsNamed = true;
      if (target.pMember == &CXpParameters::m_nQBind) parameters.m_bQBindNamed = true;
      // NULL counts as not given: the defaults then decide.
      bool given = !info.bNull;
      if (target.pMember == &CXpParameters::m_nTls) parameters.m_bTlsNamed = given;
      if (target.pMember == &CXpParameters::m_nTlsVerify) parameters.m_bTlsVerifyNamed = given;
      if (target.pMember == &CXpParameters::m_nMaxSeconds) parameters.m_bMaxSecondsNamed = given;
      if (target.pMember == &CXpParameters::m_nPartialRecipients) parameters.m_bPartialRecipientsNamed = given;
    }
    if (!matched) {
      // The call goes on: the value is dropped and the mail is still sent.
      SendUsageMessage(server, WithName("Unknown parameter %s\n", name));
      server.SendDone(kDoneMore, 0, 0);
    }
  }
  if (!parameters.m_strRecipient) {
    Refuse(server, kMinimumParametersMessage);
    return false;
  }
  // A relay profile may give the sender and the relay; whether one does is known once
  // the profiles are read (RefuseWithoutMinimum).
  parameters.m_bMinimumMissing = !parameters.m_strFrom || !parameters.m_strAddress;
  return true;
}

}  // namespace

bool IsUsableCharset(std::int32_t charset) {
  return IsMessageCharset(charset) && CCodePage::Find(CharsetCodePage(charset)).has_value();
}

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

void RefuseWithoutMinimum(IServerCall& server) { Refuse(server, kMinimumParametersMessage); }

bool ReadXpParameters(IServerCall& server, CXpParameters& parameters) {
  int count = server.ParamCount();
  std::string firstName = count >= 1 ? server.ParamName(1) : std::string();
  if (!firstName.empty()) return ReadNamed(server, count, parameters);
  return ReadPositional(server, count, parameters);
}

}  // namespace varnel
