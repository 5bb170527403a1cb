// The command line of the varnel host command: where the statement comes from, the
// caller's connection it stands for, and how the outcome is printed. A bad command line
// gives false and a message naming the option.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace varnel {
class ITlsClient;
}

namespace varnel::host {

struct CHostOptions {
  std::optional<std::string> strStatement;  // given as the one argument
  std::optional<std::string> strInputFile;  // -i FILE; neither: standard input
  std::string strServer = "localhost";
  std::string strLogin;  // default: the user running the command
  std::string strPassword;
  bool bPasswordInArguments = false;           // --password: readable by every local user
  std::optional<std::string> strPasswordFile;  // --password-file FILE
  std::optional<std::string> strDatabase;  // -d: @qdatabase when the statement names none
  bool bIntegrated = false;
  int nCodePage = 1252;
  std::string strBindToken;
  bool bJson = false;
  std::optional<std::string> strOdbcDriver;
  std::optional<std::string> strOdbcAttributes;
  bool bHelp = false;
  bool bVersion = false;
  bool bCheckConfig = false;  // --check-config: validate the settings, print them, send nothing
  std::optional<std::string> strProfile;  // --profile NAME: check only that relay profile
  bool bProbe = false;  // --probe: contact each checked profile's relays (QUIT before MAIL)
};

// defaultLogin is used when --login is not given.
bool ParseHostOptions(const std::vector<std::string>& arguments, const std::string& defaultLogin,
                      CHostOptions& options, std::string& error);
std::string HostUsage();
// The environment variable that gives the caller's password when no option does.
inline constexpr const char* kPasswordVariable = "VARNEL_PASSWORD";
// What --version prints: this build's version and the TLS library that tls stands for
// (null: a build without TLS).
std::string HostVersionText(ITlsClient* tls);

}  // namespace varnel::host
