#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "host/HostCommand.h"
#include "host/HostOptions.h"
#include "host/HostSettings.h"
#include "platform/Tls.h"
#include "VarnelVersion.h"

using varnel::CHostServerCall;
using varnel::host::CHostOptions;

namespace {

class CFixedSettings final : public varnel::ISettings {
 public:
  varnel::SettingState BindIP(std::string& value) override {
    value = "127.0.0.2";
    return varnel::SettingState::Found;
  }
  varnel::SettingState Value(const char*, const char*, std::string&) override { return varnel::SettingState::Missing; }
  std::string OdbcDriver() override { return "Base driver"; }
  std::string OdbcAttributes() override { return "Base=1"; }
};

struct CResult {
  int nStatus;
  std::string strOutput;
  std::string strErrors;
};

CResult RunCommand(const std::vector<std::string>& arguments, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  int status = varnel::host::RunHostCommand(arguments, in, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace

TEST(HostCommandTest, OptionsAreRead) {
  CHostOptions options;
  std::string error;
  ASSERT_TRUE(varnel::host::ParseHostOptions({"--server", "db1", "--login=sa", "--password", "p w", "--integrated",
                                              "--codepage", "1251", "--bind-token", "tok", "--json", "--odbc-driver",
                                              "FreeTDS", "--odbc-attributes=TDS_Version=7.4", "exec xp_Varnel"},
                                             "me", options, error))
      << error;
  EXPECT_EQ(options.strServer, "db1");
  EXPECT_EQ(options.strLogin, "sa");
  EXPECT_EQ(options.strPassword, "p w");
  EXPECT_TRUE(options.bIntegrated);
  EXPECT_EQ(options.nCodePage, 1251);
  EXPECT_EQ(options.strBindToken, "tok");
  EXPECT_TRUE(options.bJson);
  EXPECT_EQ(options.strOdbcDriver, std::optional<std::string>("FreeTDS"));
  EXPECT_EQ(options.strOdbcAttributes, std::optional<std::string>("TDS_Version=7.4"));
  EXPECT_EQ(options.strStatement, std::optional<std::string>("exec xp_Varnel"));

  ASSERT_TRUE(varnel::host::ParseHostOptions({"-i", "file.sql"}, "me", options, error));
  EXPECT_EQ(options.strServer, "localhost");
  EXPECT_EQ(options.strLogin, "me");
  EXPECT_EQ(options.nCodePage, 1252);
  EXPECT_FALSE(options.bIntegrated);
  EXPECT_EQ(options.strInputFile, std::optional<std::string>("file.sql"));
  EXPECT_FALSE(options.strStatement.has_value());
  EXPECT_FALSE(options.strOdbcDriver.has_value());

  ASSERT_TRUE(varnel::host::ParseHostOptions({"--", "-not an option"}, "me", options, error));
  EXPECT_EQ(options.strStatement, std::optional<std::string>("-not an option"));
}

TEST(HostCommandTest, BadOptionsAreRefused) {
  struct Case {
    std::vector<std::string> arguments;
    const char* words;
  };
  const std::vector<Case> cases = {
      {{"--server"}, "needs a value"},
      {{"--codepage", "12x"}, "needs a number"},
      {{"--codepage", "99999"}, "not known"},
      {{"--frobnicate"}, "unknown option"},
      {{"--json=yes"}, "takes no value"},
      {{"--version=1"}, "takes no value"},
      {{"exec xp_Varnel", "'a'"}, "one argument"},
      {{"-i", "f", "exec xp_Varnel"}, "not both"},
      {{"-i", "f", "-i", "g"}, "twice"},
  };
  for (const Case& c : cases) {
    CHostOptions options;
    std::string error;
    EXPECT_FALSE(varnel::host::ParseHostOptions(c.arguments, "me", options, error)) << c.words;
    EXPECT_NE(error.find(c.words), std::string::npos) << error;
    CResult result = RunCommand(c.arguments);
    EXPECT_EQ(result.nStatus, 64) << c.words;
    EXPECT_NE(result.strErrors.find(c.words), std::string::npos) << result.strErrors;
    EXPECT_EQ(result.strOutput, "");
  }
}

TEST(HostCommandTest, CallCarriesTheConnection) {
  CHostOptions options;
  options.strServer = "srv";
  options.strLogin = "joe";
  options.strPassword = "secret";
  options.bIntegrated = true;
  options.nCodePage = 1250;
  options.strBindToken = "bind-1";
  CHostServerCall call;
  std::ostringstream errors;
  // Columns count characters: the two-byte letter is one.
  ASSERT_TRUE(varnel::host::PrepareCall(options, "exec xp_Varnel @subject='\xC5\x91', 5", call, errors) == false);
  EXPECT_NE(errors.str().find("line 1, column 30"), std::string::npos) << errors.str();

  ASSERT_TRUE(varnel::host::PrepareCall(options, "exec xp_Varnel @subject='\xC5\x91', @timeout=5", call, errors));
  EXPECT_EQ(call.ParamCount(), 2);
  EXPECT_EQ(call.ParamName(1), "@subject");
  EXPECT_EQ(call.ParamLength(1), 1);
  EXPECT_EQ(*static_cast<const unsigned char*>(call.ParamData(1)), 0xF5);
  EXPECT_EQ(call.ConnectionField(14), std::optional<std::string>("srv"));
  EXPECT_EQ(call.ConnectionField(16), std::optional<std::string>("joe"));
  EXPECT_EQ(call.ConnectionField(17), std::optional<std::string>("secret"));
  EXPECT_EQ(call.ConnectionField(30), std::optional<std::string>("TRUE"));
  EXPECT_EQ(call.ConnectionField(36), std::optional<std::string>("1250"));
  EXPECT_EQ(call.BindToken(), "bind-1");

  CHostServerCall plain;
  options.bIntegrated = false;
  ASSERT_TRUE(varnel::host::PrepareCall(options, "xp_Varnel", plain, errors));
  EXPECT_EQ(plain.ConnectionField(30), std::optional<std::string>("FALSE"));
  EXPECT_EQ(plain.ParamCount(), 0);
}

TEST(HostCommandTest, StatementErrorsExitWithUsage) {
  CResult result = RunCommand({"exec xp_Varnel @a = 'open"});
  EXPECT_EQ(result.nStatus, 64);
  EXPECT_EQ(result.strOutput, "");
  EXPECT_EQ(result.strErrors, "varnel: cannot read the statement: line 1, column 21: string not closed\n");

  result = RunCommand({}, "exec xp_Varnel\n@a = 1,\n@b = CAST(1 AS xml)");
  EXPECT_EQ(result.nStatus, 64);
  EXPECT_NE(result.strErrors.find("line 3, column 16: type xml is not supported"), std::string::npos) << result.strErrors;

  result = RunCommand({"-i", std::string(VARNEL_TEST_DATA_DIR) + "/host/does-not-exist.sql"});
  EXPECT_EQ(result.nStatus, 64);
  EXPECT_NE(result.strErrors.find("cannot open"), std::string::npos);
}

TEST(HostCommandTest, HelpAndExitStatus) {
  CResult result = RunCommand({"--help"});
  EXPECT_EQ(result.nStatus, 0);
  for (const char* option : {"--server", "--login", "--password", "--integrated", "--codepage", "--bind-token",
                             "--json", "--odbc-driver", "--odbc-attributes", "-i FILE", "--version"}) {
    EXPECT_NE(result.strOutput.find(option), std::string::npos) << option;
  }
}

TEST(HostCommandTest, ExitStatusOfTheCall) {
  struct Case {
    std::int32_t nStatus;
    bool bAccepted;
    int nExit;
  };
  // Accepted is 0 whatever else the call reported; otherwise the status code as 8 bits.
  const std::vector<Case> cases = {{0, true, 0}, {6, false, 6}, {8, false, 8}, {16, false, 16},
                                   {-1, false, 255}, {0, false, 70}};
  for (const Case& c : cases) {
    varnel::CCallReport report;
    report.nStatus = c.nStatus;
    report.bAccepted = c.bAccepted;
    EXPECT_EQ(varnel::host::ExitStatus(report), c.nExit) << c.nStatus;
  }
  // No report: the procedure refused the call's parameters.
  EXPECT_EQ(varnel::host::ExitStatus(std::nullopt), 64);
}

TEST(HostCommandTest, VersionNamesTheBuildAndItsTlsLibrary) {
  class CNamedTls final : public varnel::ITlsClient {
   public:
    std::unique_ptr<varnel::IConnection> Handshake(std::unique_ptr<varnel::IConnection>, const varnel::CTlsSettings&,
                                                   std::chrono::milliseconds, std::string& error) override {
      error = "not in this test";
      return nullptr;
    }
    std::string LibraryVersion() override { return "ExampleTLS 9.8.7"; }
  } tls;
  const std::string first = std::string("varnel ") + VARNEL_VERSION_TEXT + "\n";
  EXPECT_EQ(varnel::host::HostVersionText(&tls), first + "TLS: ExampleTLS 9.8.7\n");
  EXPECT_EQ(varnel::host::HostVersionText(nullptr).rfind(first + "TLS: none", 0), 0u);

  // --version answers before any statement is read, whatever else the line holds.
  CResult result = RunCommand({"--json", "--version"}, "not a statement");
  EXPECT_EQ(result.nStatus, 0);
  EXPECT_EQ(result.strOutput.rfind(first + "TLS: ", 0), 0u) << result.strOutput;
  EXPECT_EQ(result.strErrors, "");
}

TEST(HostCommandTest, RunsTheProcedureAndPrintsJson) {
  // Whatever the procedure answers, the command prints one JSON object; the call without
  // parameters is refused (return value 1, no status): a usage error.
  CResult result = RunCommand({"--json", "exec xp_Varnel"});
  EXPECT_EQ(result.nStatus, 64);
  EXPECT_EQ(result.strOutput.rfind("{\"format\":1,\"accepted\":false,\"status\":null,\"return\":1,", 0), 0u)
      << result.strOutput;
  EXPECT_EQ(result.strErrors, "");
}

TEST(HostCommandTest, SqlcmdSpellingsAreAliases) {
  struct Case {
    std::vector<std::string> arguments;
    std::string strServer, strLogin, strDatabase, strInputFile;
  };
  const std::vector<Case> cases = {
      {{"-S", "sql01", "-U", "report", "-d", "sales", "-i", "job.sql"}, "sql01", "report", "sales", "job.sql"},
      {{"-Ssql01", "-Ureport", "-dsales", "-ijob.sql"}, "sql01", "report", "sales", "job.sql"},
      {{"--server=sql01", "--login", "report", "--database=sales", "-i", "job.sql"}, "sql01", "report", "sales",
       "job.sql"},
  };
  for (const Case& c : cases) {
    CHostOptions options;
    std::string error;
    ASSERT_TRUE(varnel::host::ParseHostOptions(c.arguments, "me", options, error)) << error;
    EXPECT_EQ(options.strServer, c.strServer);
    EXPECT_EQ(options.strLogin, c.strLogin);
    EXPECT_EQ(options.strDatabase, std::optional<std::string>(c.strDatabase));
    EXPECT_EQ(options.strInputFile, std::optional<std::string>(c.strInputFile));
  }
  CHostOptions options;
  std::string error;
  EXPECT_FALSE(varnel::host::ParseHostOptions({"-d"}, "me", options, error));
  EXPECT_NE(error.find("-d needs a value"), std::string::npos) << error;
}

TEST(HostCommandTest, DatabaseOptionIsTheQueryDefault) {
  // -d gives @qdatabase (in the connection's code page) to a named call that names none.
  struct Case {
    const char* pStatement;
    int nParams;
    const char* pLastName;
    std::string strLastValue;
  };
  const std::vector<Case> cases = {
      {"exec xp_Varnel @query='select 1'", 2, "@qdatabase", "caf\xE9"},
      {"exec xp_Varnel @query='select 1', @QDatabase='own'", 2, "@QDatabase", "own"},
      {"exec xp_Varnel 'to@example.com', NULL, 'relay', 'subject'", 4, "", "subject"},
  };
  for (const Case& c : cases) {
    CHostOptions options;
    options.strDatabase = "caf\xC3\xA9";
    CHostServerCall call;
    std::ostringstream errors;
    ASSERT_TRUE(varnel::host::PrepareCall(options, c.pStatement, call, errors)) << errors.str();
    ASSERT_EQ(call.ParamCount(), c.nParams) << c.pStatement;
    EXPECT_EQ(call.ParamName(c.nParams), c.pLastName);
    EXPECT_EQ(std::string(static_cast<const char*>(call.ParamData(c.nParams)),
                          static_cast<std::size_t>(call.ParamLength(c.nParams))),
              c.strLastValue);
  }
}

TEST(HostCommandTest, SettingsOverrideOnlyWhatIsGiven) {
  CFixedSettings base;
  varnel::host::CHostSettings kept(base, std::nullopt, std::nullopt);
  EXPECT_EQ(kept.OdbcDriver(), "Base driver");
  EXPECT_EQ(kept.OdbcAttributes(), "Base=1");
  varnel::host::CHostSettings replaced(base, std::string("FreeTDS"), std::string(""));
  EXPECT_EQ(replaced.OdbcDriver(), "FreeTDS");
  EXPECT_EQ(replaced.OdbcAttributes(), "");
  std::string bind;
  EXPECT_EQ(replaced.BindIP(bind), varnel::SettingState::Found);
  EXPECT_EQ(bind, "127.0.0.2");
}
