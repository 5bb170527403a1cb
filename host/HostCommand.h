// The varnel host command: reads one EXEC statement, runs xp_Varnel in this process with
// the caller's connection taken from the command line, and prints what it sent. Returns
// the exit status that scripts rely on: 0 when the relay accepted the message, the
// outcome's status code when it did not (with or without @no_output), 64 (EX_USAGE) when
// the command line or the statement cannot be read or the procedure refused the call.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "host/HostServerCall.h"
#include "platform/Platform.h"

namespace varnel::host {

struct CHostOptions;

// sysexits.h: the command was used incorrectly; an internal fault.
inline constexpr int kExitUsage = 64;
inline constexpr int kExitSoftware = 70;

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

// The exit status of a call from its report: none means the procedure refused the call's
// parameters. A status code is an exit status as an 8-bit value (-1 gives 255).
int ExitStatus(const std::optional<CCallReport>& report);

}  // namespace varnel::host
