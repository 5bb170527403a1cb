#include "host/HostCommand.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "host/ExecParser.h"
#include "host/HostOptions.h"
#include "host/ConfigCheck.h"
#include "host/HostSettings.h"
#include "host/OutcomePrinter.h"
#include "oauth/OAuthTokens.h"
#include "platform/AsciiCase.h"
#include "platform/Settings.h"
#include "platform/SharedFile.h"
#include "platform/System.h"
#include "procedure/XpVarnel.h"

namespace varnel::host {
namespace {

std::string DefaultLogin() {
  std::string login = EnvironmentValue("USER");
  if (login.empty()) login = EnvironmentValue("LOGNAME");
  return login;
}

constexpr const char* kSecretParameters[] = {"@smtppassword", "@qpassword", "@oauthclientsecret", "@smtpoauthtoken"};

}  // namespace

bool ResolvePassword(CHostOptions& options, std::ostream& errors) {
  if (options.strPasswordFile) {
    const std::string& path = *options.strPasswordFile;
    std::ifstream file(path, std::ios::binary);
    std::string line;
    if (!file || (!std::getline(file, line) && !file.eof())) {
      errors << "varnel: cannot read the password file " << path << "\n";
      return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    options.strPassword = line;
    if (ReadableByOthers(path)) {
      errors << "varnel: warning: the password file " << path
             << " can be read by other users; make it readable by its owner only (chmod 600)\n";
    }
    return true;
  }
  if (options.bPasswordInArguments) {
    errors << "varnel: warning: --password puts the password where every local user can read it (the "
              "process list); use --password-file FILE or "
           << kPasswordVariable << " instead\n";
    return true;
  }
  std::string fromEnvironment = EnvironmentValue(kPasswordVariable);
  if (!fromEnvironment.empty()) options.strPassword = fromEnvironment;
  return true;
}

void WarnAboutSecretsInStatement(const CHostOptions& options, IServerCall& call, std::ostream& errors) {
  if (!options.strStatement) return;
  for (int n = 1; n <= call.ParamCount(); ++n) {
    std::string name = AsciiLower(call.ParamName(n));
    CParamInfo info;
    if (!call.ParamInfo(n, info, nullptr) || info.bNull) continue;
    for (const char* secret : kSecretParameters) {
      if (name != secret) continue;
      errors << "varnel: warning: " << secret
             << " stands in the command's arguments, where every local user can read it (the process "
                "list); put the statement into a file readable by you only and give it with -i\n";
    }
  }
}


int ExitStatus(const std::optional<CCallReport>& report) {
  if (!report) return kExitUsage;
  // A message that reached only some recipients (status 19) is not a clean success.
  if (report->bAccepted && report->nStatus == 0) return 0;
  int status = report->nStatus & 0xFF;
  return status != 0 ? status : kExitSoftware;
}

bool PrepareCall(const CHostOptions& options, const std::string& statement, CHostServerCall& call,
                 std::ostream& errors) {
  std::optional<CCodePage> codePage = CCodePage::Find(options.nCodePage);
  if (!codePage) {
    errors << "varnel: code page " << options.nCodePage << " is not known to this command\n";
    return false;
  }
  std::vector<CHostParameter> parameters;
  CParseError error;
  if (!CExecParser(*codePage).Parse(statement, parameters, error)) {
    errors << "varnel: cannot read the statement: " << error.Text() << "\n";
    return false;
  }
  // -d: the database of the caller's session, where the query runs unless the statement
  // names one (named form only: the positional form has no query).
  bool named = !parameters.empty() && !parameters.front().strName.empty();
  bool databaseNamed = std::any_of(parameters.begin(), parameters.end(), [](const CHostParameter& parameter) {
    return AsciiLower(parameter.strName) == "@qdatabase";
  });
  if (options.strDatabase && named && !databaseNamed) {
    parameters.push_back(CHostServerCall::Text("@qdatabase", codePage->FromUtf8(*options.strDatabase)));
  }
  for (CHostParameter& parameter : parameters) call.AddParameter(std::move(parameter));
  call.SetConnectionField(ConnectionInfo::ServerName, options.strServer);
  call.SetConnectionField(ConnectionInfo::LoginName, options.strLogin);
  call.SetConnectionField(ConnectionInfo::Password, options.strPassword);
  call.SetConnectionField(ConnectionInfo::IntegratedSecurity, options.bIntegrated ? "TRUE" : "FALSE");
  call.SetConnectionField(ConnectionInfo::CodePage, std::to_string(options.nCodePage));
  call.SetBindToken(options.strBindToken);
  return true;
}

// Each run of the command is a process of its own: OAuth tokens are kept in files of the
// TokenCacheFolder setting (else the account's default folder), so that calls made at the
// same moment ask the endpoint once between them.
void ShareTokensBetweenProcesses(ISettings& settings) {
  std::string folder;
  switch (settings.Value("TokenCacheFolder", "VARNEL_TOKEN_CACHE_DIR", folder)) {
    case SettingState::Found:
      CutAtFirstNul(folder);
      if (folder.empty() || folder[0] != '/') {
        ShareOAuthTokensThrough({}, "the TokenCacheFolder setting (" + settings.Origin("TokenCacheFolder", "VARNEL_TOKEN_CACHE_DIR") +
                                        ") is not an absolute path");
        return;
      }
      ShareOAuthTokensThrough(folder);
      return;
    case SettingState::Missing: ShareOAuthTokensThrough(DefaultSharedFolderPath()); return;
    case SettingState::Error:
      ShareOAuthTokensThrough({}, "the TokenCacheFolder setting (" + settings.Origin("TokenCacheFolder", "VARNEL_TOKEN_CACHE_DIR") +
                                      ") cannot be read");
      return;
  }
}

int RunHostCommand(const std::vector<std::string>& arguments, std::istream& input, std::ostream& output,
                   std::ostream& errors) {
  // The arguments, the environment and the settings may hold passwords and secrets from
  // the start: no core dump and no other process of this user may read them.
  ProtectProcessSecrets();
  CHostOptions options;
  std::string message;
  if (!ParseHostOptions(arguments, DefaultLogin(), options, message)) {
    errors << "varnel: " << message << "\nTry 'varnel --help'.\n";
    return kExitUsage;
  }
  if (options.bHelp) {
    output << HostUsage();
    return 0;
  }
  if (options.bVersion) {
    output << HostVersionText(DefaultPlatform().pTls);
    return 0;
  }
  if (options.bCheckConfig) {
    CHostSettings checked(*DefaultPlatform().pSettings, options.strOdbcDriver, options.strOdbcAttributes,
                          options.nCodePage);
    CPlatform platform = DefaultPlatform();
    platform.pSettings = &checked;
    return RunConfigCheck(checked, platform.pProfiles, options.strProfile, output, errors,
                          options.bProbe ? &platform : nullptr);
  }
  if (!ResolvePassword(options, errors)) return kExitUsage;
  std::string statement;
  if (options.strStatement) {
    statement = *options.strStatement;
  } else if (options.strInputFile) {
    std::ifstream file(*options.strInputFile, std::ios::binary);
    if (!file) {
      errors << "varnel: cannot open " << *options.strInputFile << "\n";
      return kExitUsage;
    }
    // Read in one piece where the size is known (a large @body is held once).
    file.seekg(0, std::ios::end);
    std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size > 0 && file) {
      statement.resize(static_cast<std::size_t>(size));
      file.read(statement.data(), size);
      statement.resize(static_cast<std::size_t>(file.gcount()));
      // Whatever was added since the size was taken.
      if (!file.eof()) statement.append(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } else {
      file.clear();
      statement.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    if (file.bad()) {
      errors << "varnel: cannot read " << *options.strInputFile << "\n";
      return kExitUsage;
    }
  } else {
    statement.assign(std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>());
  }

  CHostServerCall call;
  if (!PrepareCall(options, statement, call, errors)) return kExitUsage;
  WarnAboutSecretsInStatement(options, call, errors);
  // The values live in the call from here on; the statement's text is not needed again.
  std::string().swap(statement);

  CPlatform platform = DefaultPlatform();
  CHostSettings settings(*platform.pSettings, options.strOdbcDriver, options.strOdbcAttributes, options.nCodePage);
  platform.pSettings = &settings;
  ShareTokensBetweenProcesses(settings);
  std::uint16_t returnValue = XpVarnel(call, platform);

  const CCodePage codePage = *CCodePage::Find(options.nCodePage);
  int exitStatus = ExitStatus(call.Report());
  output << (options.bJson ? FormatOutcomeJson(call, codePage, returnValue) : FormatOutcomeTable(call, codePage));
  output.flush();
  for (const std::string& misuse : call.Errors()) errors << "varnel: the procedure misused the server interface: " << misuse << "\n";
  return exitStatus;
}

}  // namespace varnel::host
