#include "procedure/QueryStage.h"

#include <optional>
#include <string>

#include "platform/System.h"
#include "procedure/CustomException.h"

namespace varnel {
namespace {

// The caller's connection fields are copied through a buffer of this many bytes.
constexpr std::size_t kConnectionBufferSize = 500;

std::string ReadField(IServerCall& server, int field, Status overflow) {
  std::optional<std::string> value = server.ConnectionField(field);
  if (!value) return {};
  if (value->size() >= kConnectionBufferSize) throw CCustomException(StatusCode(overflow));
  return *value;
}

}  // namespace

bool RunQueryStage(const CXpParameters& parameters, CSMTPChannel& channel, IServerCall& server,
                   const CPlatform& platform, std::unique_ptr<CSMTPOLEDBQuery>& runner) {
  const std::string query = parameters.m_strQuery.value_or(std::string());
  runner = std::make_unique<CSMTPOLEDBQuery>(query, platform);
  CSMTPOLEDBQuery& q = *runner;

  q.m_bIntegratedConnection =
      server.ConnectionField(ConnectionInfo::IntegratedSecurity) == std::optional<std::string>("TRUE");

  if (parameters.m_strQServer) {
    q.m_strServer = *parameters.m_strQServer;
  } else {
    q.m_strServer = ReadField(server, ConnectionInfo::ServerName, Status::ServerNameBuffer);
  }

  if (parameters.m_strQUser) {
    q.m_strUser = *parameters.m_strQUser;
    q.m_bUserGiven = true;
  } else {
    q.m_strUser = ReadField(server, ConnectionInfo::LoginName, Status::UserNameBuffer);
    q.m_bUserGiven = false;
  }

  q.m_strDatabase = parameters.m_strQDatabase.value_or("master");

  if (parameters.m_strQPassword) {
    q.m_strPassword = *parameters.m_strQPassword;
  } else if (parameters.m_bPasswordNamed) {
    q.m_bBlankPassword = true;
  } else {
    std::string password = ReadField(server, ConnectionInfo::Password, Status::PasswordBuffer);
    if (!password.empty()) q.m_strPassword = password;
  }

  if (parameters.m_bQBindNamed) q.m_strBindToken = server.BindToken();

  if (parameters.m_nDebug != 0) {
    q.m_nDebug = parameters.m_nDebug;
    q.m_strLogFileName = parameters.m_strDebugFileName.value_or(DefaultLogFileName());
  }

  q.m_strTerminator = channel.m_strTerminator;

  if (parameters.m_bQAsAttachmentsNamed) q.m_bAsAttachments = parameters.m_nQAsAttachments;
  if (parameters.m_bQBindNamed) q.m_bBind = parameters.m_nQBind;

  if (parameters.m_strQFieldSeparator) q.m_strFieldSeparator = *parameters.m_strQFieldSeparator;
  if (parameters.m_strQRowSeparator) q.m_strRowSeparator = *parameters.m_strQRowSeparator;
  if (parameters.m_strQTableCaption) q.m_strTableCaption = *parameters.m_strQTableCaption;
  if (parameters.m_strQFileName) q.m_strFileName = *parameters.m_strQFileName;

  if (parameters.m_strQTableAttribute) q.SetTableAttribute(*parameters.m_strQTableAttribute);
  if (parameters.m_strQHeaderAttribute) q.SetHeaderAttribute(*parameters.m_strQHeaderAttribute);
  if (parameters.m_strQCaptionAttribute) q.SetCaptionAttribute(*parameters.m_strQCaptionAttribute);
  if (parameters.m_strQTRAttribute) q.SetTRAttribute(*parameters.m_strQTRAttribute);
  if (parameters.m_strQTDAttribute) q.SetTDAttribute(*parameters.m_strQTDAttribute);

  q.m_bHTML = channel.m_bHTML;
  q.m_bHTMLEscape = parameters.m_nQHTMLEscape != 0;
  q.m_bCSV = parameters.m_nQCSV != 0;

  bool run = q.RunQuery(query);
  channel.m_pQuery = runner.get();
  return run;
}

}  // namespace varnel
