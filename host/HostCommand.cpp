#include "host/HostCommand.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "host/ExecParser.h"
#include "host/HostOptions.h"
#include "host/HostSettings.h"
#include "host/OutcomePrinter.h"
#include "platform/System.h"
#include "procedure/XpVarnel.h"

namespace varnel::host {
namespace {

// Connection-information fields the procedure reads.
constexpr int kFieldServer = 14;
constexpr int kFieldLogin = 16;
constexpr int kFieldPassword = 17;
constexpr int kFieldIntegrated = 30;
constexpr int kFieldCodePage = 36;

std::string DefaultLogin() {
  std::string login = EnvironmentValue("USER");
  if (login.empty()) login = EnvironmentValue("LOGNAME");
  return login;
}

}  // namespace

int ExitStatus(std::uint16_t returnValue) { return returnValue > 255 ? 255 : returnValue; }

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
  for (CHostParameter& parameter : parameters) call.AddParameter(std::move(parameter));
  call.SetConnectionField(kFieldServer, options.strServer);
  call.SetConnectionField(kFieldLogin, options.strLogin);
  call.SetConnectionField(kFieldPassword, options.strPassword);
  call.SetConnectionField(kFieldIntegrated, options.bIntegrated ? "TRUE" : "FALSE");
  call.SetConnectionField(kFieldCodePage, std::to_string(options.nCodePage));
  call.SetBindToken(options.strBindToken);
  return true;
}

int RunHostCommand(const std::vector<std::string>& arguments, std::istream& input, std::ostream& output,
                   std::ostream& errors) {
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
  // The values live in the call from here on; the statement's text is not needed again.
  std::string().swap(statement);

  CPlatform platform = DefaultPlatform();
  CHostSettings settings(*platform.pSettings, options.strOdbcDriver, options.strOdbcAttributes, options.nCodePage);
  platform.pSettings = &settings;
  std::uint16_t returnValue = XpVarnel(call, platform);

  const CCodePage codePage = *CCodePage::Find(options.nCodePage);
  output << (options.bJson ? FormatOutcomeJson(call, codePage, returnValue) : FormatOutcomeTable(call, codePage));
  output.flush();
  for (const std::string& misuse : call.Errors()) errors << "varnel: the procedure misused the server interface: " << misuse << "\n";
  return ExitStatus(returnValue);
}

}  // namespace varnel::host
