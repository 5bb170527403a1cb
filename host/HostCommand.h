// The varnel host command: reads one EXEC statement, runs xp_Varnel in this process with
// the caller's connection taken from the command line, and prints what it sent. Returns
// the exit status: the procedure's return value (255 above 255), 2 when the command line
// or the statement cannot be read.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "host/HostServerCall.h"
#include "platform/Platform.h"

namespace varnel::host {

struct CHostOptions;

inline constexpr int kExitUsage = 2;

int RunHostCommand(const std::vector<std::string>& arguments, std::istream& input, std::ostream& output,
                   std::ostream& errors);

// Fills a server call from the options and the statement; false with the message printed
// to errors when the statement cannot be read.
bool PrepareCall(const CHostOptions& options, const std::string& statement, CHostServerCall& call,
                 std::ostream& errors);

// The caller's password from --password-file (its first line), else --password, else the
// environment variable VARNEL_PASSWORD. Warns on errors when the password stands in the
// arguments or its file can be read by others; false (with the message printed) when the
// file cannot be read.
bool ResolvePassword(CHostOptions& options, std::ostream& errors);

// Warns on errors for every secret (@smtppassword, @qpassword, @oauthclientsecret,
// @smtpoauthtoken) that a statement given as an argument carries.
void WarnAboutSecretsInStatement(const CHostOptions& options, IServerCall& call, std::ostream& errors);

// The exit status of a procedure's return value.
int ExitStatus(std::uint16_t returnValue);

}  // namespace varnel::host
