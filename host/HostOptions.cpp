#include "host/HostOptions.h"

#include <charconv>
#include <string_view>

#include "VarnelVersion.h"
#include "platform/CodePage.h"
#include "platform/Tls.h"

namespace varnel::host {

std::string HostUsage() {
  return "Usage: varnel [options] \"exec xp_Varnel @recipient='...', @from='...', @address='...'\"\n"
         "       varnel [options] -i FILE\n"
         "       varnel [options] < FILE\n"
         "\n"
         "Runs one EXEC statement of xp_Varnel in this process, as the database server would,\n"
         "and prints the messages and the outcome row.\n"
         "\n"
         "Options:\n"
         "  -i FILE                 read the statement from FILE\n"
         "  -S NAME, -U NAME, -d NAME  as sqlcmd spells --server, --login and --database\n"
         "  --database NAME         the database a query runs in when the statement names no\n"
         "                          @qdatabase (default master)\n"
         "  --server NAME           the caller's server name (default localhost)\n"
         "  --login NAME            the caller's login (default: the user running the command)\n"
         "  --password-file FILE    read the caller's password from FILE (its first line); keep\n"
         "                          the file readable by you only (chmod 600)\n"
         "  --password TEXT         the caller's password; every local user can read it in the\n"
         "                          process list, so prefer --password-file or VARNEL_PASSWORD\n"
         "  --integrated            the caller connected with integrated security\n"
         "  --codepage N            the connection's code page (default 1252); 'text' literals are\n"
         "                          converted to it; 437, 850, 874, 1250-1258, 28591-28599, 28605\n"
         "                          and 65001 are known\n"
         "  --bind-token TOKEN      the caller's bind token for @qbind\n"
         "  --odbc-driver NAME      ODBC driver of the query runner (overrides the setting)\n"
         "  --odbc-attributes TEXT  extra ODBC connection attributes (overrides the setting)\n"
         "  --json                  print one JSON object (format 1): the outcome row by column\n"
         "                          name, messages, the relay, TLS, Message-ID, size, duration\n"
         "  --version               print the version and the TLS library in use\n"
         "  --check-config          check every installation setting, print the effective values\n"
         "                          (secrets masked) and exit non-zero at the first fault; sends\n"
         "                          nothing and contacts no relay; the relay profiles too\n"
         "  --profile NAME          with --check-config: check and print that profile only\n"
         "  --probe                 with --check-config: also contact each profile's relay:\n"
         "                          connect, set up TLS, sign in, QUIT before MAIL; exits\n"
         "                          non-zero with the relay's reply when that fails\n"
         "  --help                  print this text\n"
         "\n"
         "Environment: VARNEL_PASSWORD gives the caller's password when neither password\n"
         "option does.\n"
         "\n"
         "Exit status: 0 the relay accepted the message; otherwise the outcome's status code\n"
         "(1-19; 255 for -1, a query that could not connect); 64 the command line or the\n"
         "statement could not be read, or the procedure refused its parameters.\n";
}

std::string HostVersionText(ITlsClient* tls) {
  std::string text = "varnel " VARNEL_VERSION_TEXT "\n";
  text += "TLS: " + (tls != nullptr ? tls->LibraryVersion() : std::string("none (this build sends in plain text only)")) + "\n";
  return text;
}

bool ParseHostOptions(const std::vector<std::string>& arguments, const std::string& defaultLogin,
                      CHostOptions& options, std::string& error) {
  options = CHostOptions();
  options.strLogin = defaultLogin;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    std::optional<std::string> inlineValue;
    if (argument.rfind("--", 0) == 0) {
      if (std::size_t equals = argument.find('='); equals != std::string::npos) {
        inlineValue = argument.substr(equals + 1);
        argument.resize(equals);
      }
    } else if (argument.size() > 2 && argument[0] == '-' &&
               std::string_view("iSUd").find(argument[1]) != std::string_view::npos) {
      // sqlcmd's spelling with the value attached: -Ssql01, -ijob.sql.
      inlineValue = argument.substr(2);
      argument.resize(2);
    }
    auto value = [&](std::string& target) {
      if (inlineValue) {
        target = *inlineValue;
        return true;
      }
      if (i + 1 >= arguments.size()) {
        error = "option " + argument + " needs a value";
        return false;
      }
      target = arguments[++i];
      return true;
    };
    auto flag = [&]() {
      if (!inlineValue) return true;
      error = "option " + argument + " takes no value";
      return false;
    };
    std::string text;
    if (argument == "--help" || argument == "-h" || argument == "-?") {
      if (!flag()) return false;
      options.bHelp = true;
    } else if (argument == "--version") {
      if (!flag()) return false;
      options.bVersion = true;
    } else if (argument == "--check-config") {
      if (!flag()) return false;
      options.bCheckConfig = true;
    } else if (argument == "--probe") {
      if (!flag()) return false;
      options.bProbe = true;
    } else if (argument == "--profile") {
      if (!value(text)) return false;
      options.strProfile = text;
    } else if (argument == "--json") {
      if (!flag()) return false;
      options.bJson = true;
    } else if (argument == "--integrated") {
      if (!flag()) return false;
      options.bIntegrated = true;
    } else if (argument == "-i") {
      if (!value(text)) return false;
      if (options.strInputFile) {
        error = "option -i given twice";
        return false;
      }
      options.strInputFile = text;
    } else if (argument == "--server" || argument == "-S") {
      if (!value(options.strServer)) return false;
    } else if (argument == "--login" || argument == "-U") {
      if (!value(options.strLogin)) return false;
    } else if (argument == "--database" || argument == "-d") {
      if (!value(text)) return false;
      options.strDatabase = text;
    } else if (argument == "--password") {
      if (!value(options.strPassword)) return false;
      options.bPasswordInArguments = true;
    } else if (argument == "--password-file") {
      if (!value(text)) return false;
      options.strPasswordFile = text;
    } else if (argument == "--bind-token") {
      if (!value(options.strBindToken)) return false;
    } else if (argument == "--odbc-driver") {
      if (!value(text)) return false;
      options.strOdbcDriver = text;
    } else if (argument == "--odbc-attributes") {
      if (!value(text)) return false;
      options.strOdbcAttributes = text;
    } else if (argument == "--codepage") {
      if (!value(text)) return false;
      int number = 0;
      auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (status != std::errc() || end != text.data() + text.size()) {
        error = "option --codepage needs a number, not '" + text + "'";
        return false;
      }
      if (!CCodePage::Find(number)) {
        error = "code page " + text + " is not known to this command";
        return false;
      }
      options.nCodePage = number;
    } else if (argument == "--") {
      for (++i; i < arguments.size(); ++i) {
        if (options.strStatement) {
          error = "give the statement as one argument (quote it)";
          return false;
        }
        options.strStatement = arguments[i];
      }
    } else if (argument.size() > 1 && argument[0] == '-') {
      error = "unknown option " + argument;
      return false;
    } else {
      if (options.strStatement) {
        error = "give the statement as one argument (quote it)";
        return false;
      }
      options.strStatement = arguments[i];
    }
  }
  if (options.strProfile && !options.bCheckConfig) {
    error = "option --profile goes with --check-config (a statement names its profile with @profile)";
    return false;
  }
  if (options.bProbe && !options.bCheckConfig) {
    error = "option --probe goes with --check-config";
    return false;
  }
  if (options.bPasswordInArguments && options.strPasswordFile) {
    error = "give the password either with --password or with --password-file, not both";
    return false;
  }
  if (options.strStatement && options.strInputFile) {
    error = "give the statement either as an argument or with -i, not both";
    return false;
  }
  return true;
}

}  // namespace varnel::host
