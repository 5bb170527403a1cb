// What a careless or hostile caller, relay or token endpoint cannot do: quoted numbers
// never switch a protection off, the server's secrets and kernel files are never attached,
// a log never follows a planted link or appends to a planted file, the host command keeps
// passwords out of its arguments and dumps, and no text from outside forges a log line or
// puts control characters into the outcome row. Where a call is refused, nothing reaches
// the relay.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "host/HostCommand.h"
#include "host/HostOptions.h"
#include "host/HostServerCall.h"
#include "platform/Settings.h"
#include "platform/TextCensor.h"
#include "platform/Unicode.h"
#include "procedure/ParameterReader.h"
#include "procedure/XpVarnel.h"
#include "smtp/SMTPChannel.h"
#include "tests/unit/TestRelay.h"
#include "tests/unit/TokenEndpointProcess.h"

using namespace varnel;
using namespace varnel::test;

namespace {

// Settings by name; names in m_setUnreadable exist but cannot be read.
class CMapSettings final : public ISettings {
 public:
  std::map<std::string, std::string> m_mapValues;
  std::set<std::string> m_setUnreadable;
  SettingState BindIP(std::string&) override { return SettingState::Missing; }
  std::string OdbcDriver() override { return "SQLite3"; }
  std::string OdbcAttributes() override { return {}; }
  SettingState Value(const char* name, const char*, std::string& value) override {
    if (m_setUnreadable.count(name) != 0) return SettingState::Error;
    auto found = m_mapValues.find(name);
    if (found == m_mapValues.end()) return SettingState::Missing;
    value = found->second;
    return SettingState::Found;
  }
};

struct CCall {
  CHostServerCall server;
  CLoopbackNetwork network;
  CMapSettings settings;
  std::uint16_t nReturn = 0;

  // The three required parameters and the relay's port.
  explicit CCall(int port) {
    Add(CHostServerCall::Text("@recipient", "a@example.com"));
    Add(CHostServerCall::Text("@from", "from@example.com"));
    Add(CHostServerCall::Text("@address", "127.0.0.1"));
    Add(CHostServerCall::Int("@smtpport", port));
  }
  CCall& Add(CHostParameter parameter) {
    server.AddParameter(std::move(parameter));
    return *this;
  }
  std::uint16_t Run() {
    CPlatform platform = DefaultPlatform();
    platform.pNetwork = &network;
    platform.pSettings = &settings;
    nReturn = XpVarnel(server, platform);
    return nReturn;
  }
  std::int16_t Result() const {
    const std::string& data = server.Rows().at(0).at(0).data;
    return static_cast<std::int16_t>(static_cast<unsigned char>(data[0]) | static_cast<unsigned char>(data[1]) << 8);
  }
  const std::string& Column(std::size_t index) const { return server.Rows().at(0).at(index).data; }
};

std::vector<CStep> FullSend() {
  std::vector<CStep> steps = PlainEnvelope("from@example.com", {"a@example.com"});
  steps.push_back(CStep::Data());
  steps.push_back(CStep::Send("250 queued\r\n"));
  steps.push_back(CStep::Expect("QUIT\r\n"));
  steps.push_back(CStep::Send("221 bye\r\n"));
  return steps;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary) << text;
  ::chmod(path.c_str(), mode);
}

// A temporary directory, removed with everything in it.
class CScratch {
 public:
  CScratch() {
    char name[] = "/tmp/varnel-security-XXXXXX";
    m_strPath = ::mkdtemp(name) != nullptr ? name : "";
  }
  ~CScratch() {
    std::error_code ignored;
    if (!m_strPath.empty()) std::filesystem::remove_all(m_strPath, ignored);
  }
  CScratch(const CScratch&) = delete;
  CScratch& operator=(const CScratch&) = delete;
  std::string operator/(const std::string& name) const { return m_strPath + "/" + name; }
  const std::string& Path() const { return m_strPath; }

 private:
  std::string m_strPath;
};

// Sets an environment variable for one scope.
class CScopedEnvironment {
 public:
  CScopedEnvironment(const char* name, const std::optional<std::string>& value) : m_pName(name) {
    if (const char* old = std::getenv(name)) m_strOld = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~CScopedEnvironment() {
    if (m_strOld) {
      ::setenv(m_pName, m_strOld->c_str(), 1);
    } else {
      ::unsetenv(m_pName);
    }
  }
  CScopedEnvironment(const CScopedEnvironment&) = delete;
  CScopedEnvironment& operator=(const CScopedEnvironment&) = delete;

 private:
  const char* m_pName;
  std::optional<std::string> m_strOld;
};

// C0 but TAB, DEL, and C1: as characters in a UTF-8 line, as bytes in any other.
bool HoldsControlCharacters(const std::string& text) {
  bool utf8 = IsValidUtf8(text);
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
    if (utf8 && c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) return true;
    if (!utf8 && c >= 0x80 && c <= 0x9F) return true;
  }
  return false;
}

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path, std::ios::binary);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

}  // namespace

// Item: text given for a number parameter.
TEST(SecurityTest, QuotedNumbersOfVarnelsOwnParametersAreNumbersOrRefused) {
  using Member = std::int32_t CXpParameters::*;
  struct Case {
    const char* pName;
    std::string strText;
    bool bUnicode;
    std::optional<std::int32_t> nExpected;  // nothing: the call is refused
    Member pMember;
    std::string strQuoted;                  // the value as the refusal quotes it
  } const cases[] = {
      {"@tls", "2", false, 2, &CXpParameters::m_nTls, ""},
      {"@TLS", " 3 ", false, 3, &CXpParameters::m_nTls, ""},
      {"@tlsverify", "1", false, 1, &CXpParameters::m_nTlsVerify, ""},
      {"@tlsverify", "\t+1\r\n", false, 1, &CXpParameters::m_nTlsVerify, ""},
      {"@qhtmlescape", "1", true, 1, &CXpParameters::m_nQHTMLEscape, ""},
      {"@qcsv", "-0", false, 0, &CXpParameters::m_nQCSV, ""},
      {"@qcsv", "-2147483648", false, INT32_MIN, &CXpParameters::m_nQCSV, ""},
      {"@maxseconds", " 90 ", false, 90, &CXpParameters::m_nMaxSeconds, ""},
      {"@partialrecipients", "1", false, 1, &CXpParameters::m_nPartialRecipients, ""},
      {"@maxseconds", "1m", false, std::nullopt, &CXpParameters::m_nMaxSeconds, "'1m'"},
      {"@partialrecipients", "yes", false, std::nullopt, &CXpParameters::m_nPartialRecipients, "'yes'"},
      {"@tls", "yes", false, std::nullopt, &CXpParameters::m_nTls, "'yes'"},
      {"@tls", "", false, std::nullopt, &CXpParameters::m_nTls, "''"},
      {"@tls", "   ", false, std::nullopt, &CXpParameters::m_nTls, "'   '"},
      {"@tlsverify", "1.0", false, std::nullopt, &CXpParameters::m_nTlsVerify, "'1.0'"},
      {"@tlsverify", "0x1", false, std::nullopt, &CXpParameters::m_nTlsVerify, "'0x1'"},
      {"@tlsverify", "- 1", false, std::nullopt, &CXpParameters::m_nTlsVerify, "'- 1'"},
      {"@qhtmlescape", "+", false, std::nullopt, &CXpParameters::m_nQHTMLEscape, "'+'"},
      {"@qcsv", "2147483648", false, std::nullopt, &CXpParameters::m_nQCSV, "'2147483648'"},
      {"@tls", "\xef\xbc\x91", true, std::nullopt, &CXpParameters::m_nTls, "'?'"},  // a full-width 1
      {"@tls", "2\x1b[2J", false, std::nullopt, &CXpParameters::m_nTls, "'2?[2J'"},
  };
  for (const Case& c : cases) {
    auto parameter = [&c] {
      if (!c.bUnicode) return CHostServerCall::Text(c.pName, c.strText);
      return CHostServerCall::NText(c.pName, Utf8ToUtf16(c.strText));
    };
    CQuietPort port;
    CCall read(port.Port());
    read.Add(parameter());
    CXpParameters parameters;
    bool accepted = ReadXpParameters(read.server, parameters);
    EXPECT_EQ(accepted, c.nExpected.has_value()) << c.pName << " " << c.strText;
    if (c.nExpected) {
      EXPECT_EQ(parameters.*c.pMember, *c.nExpected) << c.pName << " " << c.strText;
      EXPECT_TRUE(parameters.m_arrLogNotes.empty());
      continue;
    }
    // Refused with the parameter's name, before anything is sent.
    CCall call(port.Port());
    call.Add(parameter());
    EXPECT_EQ(call.Run(), 1);
    ASSERT_EQ(call.server.Messages().size(), 2u);
    EXPECT_EQ(call.server.Messages()[0],
              std::string("Parameter ") + c.pName + " needs a whole number; " + c.strQuoted + " is not one\n");
    EXPECT_TRUE(call.server.Rows().empty());
    EXPECT_FALSE(port.Contacted()) << c.pName << " " << c.strText;
  }

  // The classic number parameters keep their rule (text is 0), and the log says so.
  CScratch scratch;
  CScriptedRelay relay(FullSend());
  CCall call(relay.Port());
  call.Add(CHostServerCall::Text("@timeout", "30")).Add(CHostServerCall::NText("@Html", u"1"));
  call.Add(CHostServerCall::Text("@body", "<HTML>x</HTML>")).Add(CHostServerCall::Int("@debug", 1));
  call.Add(CHostServerCall::Text("@debugfilename", scratch / "notes.log"));
  EXPECT_EQ(call.Run(), 0);
  EXPECT_NE(relay.Message().find("Content-Type: text/plain"), std::string::npos);
  std::string log = ReadFile(scratch / "notes.log");
  EXPECT_NE(log.find(" - @timeout was given as the text '30', which counts as 0 for this parameter\n"), std::string::npos);
  EXPECT_NE(log.find(" - @Html was given as the text '1', which counts as 0 for this parameter\n"), std::string::npos);
}

// Item: the server's secrets and kernel files as attachments.
TEST(SecurityTest, AttachmentsOutsideTheAllowedFoldersEndTheCallBeforeTheRelay) {
  CScratch scratch;
  ::mkdir((scratch / "config").c_str(), 0700);
  ::mkdir((scratch / "allowed").c_str(), 0700);
  ::mkdir((scratch / "outside").c_str(), 0700);
  WriteFile(scratch / "config/OAuthClientSecret", "client-secret-value");
  WriteFile(scratch / "allowed/report.txt", "the report");
  WriteFile(scratch / "outside/secret.txt", "outside-secret");
  std::filesystem::create_symlink((scratch / "outside/secret.txt").c_str(), (scratch / "allowed/link-out.txt").c_str());
  std::filesystem::create_symlink((scratch / "config/OAuthClientSecret").c_str(), (scratch / "allowed/link-config.txt").c_str());
  std::filesystem::create_symlink("/proc/self/environ", (scratch / "allowed/link-proc.txt").c_str());
  // The settings folder is found through a link of its own, as /etc/varnel may be.
  std::filesystem::create_symlink((scratch / "config").c_str(), (scratch / "config-link").c_str());
  CScopedEnvironment configDir("VARNEL_CONFIG_DIR", scratch / "config-link");
  std::string sysFile;
  for (const char* candidate : {"/sys/kernel/uevent_seqnum", "/sys/devices/system/cpu/online", "/sys/power/state"}) {
    struct stat status {};
    if (sysFile.empty() && ::stat(candidate, &status) == 0 && S_ISREG(status.st_mode)) sysFile = candidate;
  }
  const std::string allowed = scratch / "allowed";

  struct Case {
    const char* pName;
    std::string strAttachments;
    std::optional<std::string> strFolders;  // the AttachmentFolders setting; nothing: not set
    bool bUnreadableSetting;
    int nStatus;
    std::string strReason;  // part of ErrorMessage after the status text
  } const cases[] = {
      {"settings folder", scratch / "config/OAuthClientSecret", std::nullopt, false, 17, "lies in Varnel's settings folder"},
      {"settings folder by wildcard", scratch / "config/*", std::nullopt, false, 17, "settings folder"},
      {"process environment", "/proc/self/environ", std::nullopt, false, 17, "is a file of the kernel"},
      {"kernel file through a link", scratch / "allowed/link-proc.txt", std::nullopt, false, 17, "is a file of the kernel"},
      {"sysfs file", sysFile, std::nullopt, false, sysFile.empty() ? 0 : 17, "is a file of the kernel"},
      {"no limit set", scratch / "outside/secret.txt", std::nullopt, false, 0, ""},
      {"below an allowed folder", scratch / "allowed/report.txt", allowed, false, 0, ""},
      {"allowed among folders that do not exist", scratch / "allowed/report.txt",
       "/nonexistent/folder ; " + allowed + "\n", false, 0, ""},
      {"outside the allowed folders", scratch / "outside/secret.txt", allowed, false, 17,
       "is not below a folder of the AttachmentFolders setting"},
      {"link out of the allowed folder", scratch / "allowed/link-out.txt", allowed, false, 17, "outside/secret.txt)"},
      {"dot-dot out of the allowed folder", scratch / "allowed/../outside/secret.txt", allowed, false, 17,
       "is not below a folder"},
      {"one refused file among allowed ones", allowed + "/report.txt;" + allowed + "/link-config.txt", allowed, false, 17,
       "lies in Varnel's settings folder"},
      {"empty setting allows nothing", scratch / "allowed/report.txt", "", false, 17, "is not below a folder"},
      {"relative folder in the setting", scratch / "allowed/report.txt", "allowed", false, 7,
       "the AttachmentFolders setting names a folder that is not an absolute path: allowed"},
      {"unreadable setting", scratch / "allowed/report.txt", std::nullopt, true, 7,
       "the AttachmentFolders setting cannot be read"},
  };
  for (const Case& c : cases) {
    if (c.strAttachments.empty()) continue;  // no such file on this system
    SCOPED_TRACE(c.pName);
    std::optional<CScriptedRelay> relay;
    CQuietPort port;
    if (c.nStatus == 0) relay.emplace(FullSend());
    CCall call(relay ? relay->Port() : port.Port());
    call.Add(CHostServerCall::Text("@attachments", c.strAttachments));
    if (c.strFolders) call.settings.m_mapValues["AttachmentFolders"] = *c.strFolders;
    if (c.bUnreadableSetting) call.settings.m_setUnreadable.insert("AttachmentFolders");
    call.Run();
    ASSERT_EQ(call.server.Rows().size(), 1u);
    EXPECT_EQ(call.Result(), c.nStatus) << call.Column(1);
    if (c.nStatus == 0) {
      EXPECT_TRUE(relay->Failures().empty()) << relay->Failures().front();
      continue;
    }
    std::string expected = std::string(CSMTPChannel::GetStatusText(c.nStatus)) + ": ";
    EXPECT_EQ(call.Column(1).rfind(expected, 0), 0u) << call.Column(1);
    EXPECT_NE(call.Column(1).find(c.strReason), std::string::npos) << call.Column(1);
    EXPECT_FALSE(port.Contacted()) << "the relay was contacted";
  }
}

// Item: log files in a shared folder.
TEST(SecurityTest, LogsNeverFollowALinkNorAppendToAPlantedFileAndTheSendGoesOn) {
  CScratch scratch;
  const std::string shared = scratch / "shared";
  ::mkdir(shared.c_str(), 0700);
  ::chmod(shared.c_str(), 01777);  // sticky and writable by all, as /tmp
  WriteFile(scratch / "victim", "keep\n", 0644);
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* pName;
    std::string strPath;
    std::function<void()> fnPrepare;
    std::string strReason;  // empty: the log is written
    std::string strUntouched;  // a file whose content must stay "keep\n"
  } const cases[] = {
      {"new file", shared + "/new.log", [] {}, "", ""},
      {"own file", shared + "/own.log", [&] { WriteFile(shared + "/own.log", "old\n"); }, "", ""},
      {"final link", shared + "/link.log",
       [&] { std::filesystem::create_symlink((scratch / "victim").c_str(), (shared + "/link.log").c_str()); },
       "it is a symbolic link, which a log never follows", scratch / "victim"},
      {"final link behind //", shared + "//link2.log",
       [&] { std::filesystem::create_symlink((scratch / "victim").c_str(), (shared + "/link2.log").c_str()); }, "symbolic link",
       scratch / "victim"},
      {"final link behind /./", shared + "/./link3.log",
       [&] { std::filesystem::create_symlink((scratch / "victim").c_str(), (shared + "/link3.log").c_str()); }, "symbolic link",
       scratch / "victim"},
      {"dangling link", shared + "/dangling.log",
       [&] { std::filesystem::create_symlink((scratch / "created-through-link").c_str(), (shared + "/dangling.log").c_str()); },
       "symbolic link", ""},
      {"hard link to another file", shared + "/hard.log",
       [&] { std::filesystem::create_hard_link((scratch / "victim").c_str(), (shared + "/hard.log").c_str()); },
       "it has further hard links and lies in a shared folder", scratch / "victim"},
      {"file planted by another user", root ? shared + "/planted.log" : std::string(),
       [&] {
         WriteFile(shared + "/planted.log", "keep\n", 0666);
         if (::chown((shared + "/planted.log").c_str(), 65534, 65534) != 0) std::abort();
       },
       "it belongs to another user and lies in a shared folder", shared + "/planted.log"},
      {"FIFO", shared + "/fifo.log", [&] { ::mkfifo((shared + "/fifo.log").c_str(), 0622); }, "not a regular file", ""},
      {"missing folder", scratch / "missing/x.log", [] {}, "its folder cannot be opened", ""},
  };
  mode_t oldMask = ::umask(0);
  for (const Case& c : cases) {
    if (c.strPath.empty()) continue;  // needs root
    SCOPED_TRACE(c.pName);
    c.fnPrepare();
    CScriptedRelay relay(FullSend());
    CCall call(relay.Port());
    call.Add(CHostServerCall::Int("@debug", 1)).Add(CHostServerCall::Text("@debugfilename", c.strPath));
    EXPECT_EQ(call.Run(), 0);
    EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();  // the send went on
    if (c.strReason.empty()) {
      EXPECT_TRUE(call.server.Messages().empty()) << call.server.Messages().front();
      struct stat status {};
      ASSERT_EQ(::lstat(c.strPath.c_str(), &status), 0);
      EXPECT_TRUE(S_ISREG(status.st_mode));
      if (std::string(c.pName) == "new file") { EXPECT_EQ(status.st_mode & 0777, 0600u); }
      std::string text = ReadFile(c.strPath);
      if (std::string(c.pName) == "own file") { EXPECT_EQ(text.rfind("old\n", 0), 0u); }
      EXPECT_NE(text.find(" - Entering sendmail procedure\n"), std::string::npos);
    } else {
      ASSERT_EQ(call.server.Messages().size(), 1u);
      const std::string& message = call.server.Messages()[0];
      EXPECT_EQ(message.rfind("The log file " + c.strPath + " could not be written: ", 0), 0u) << message;
      EXPECT_NE(message.find(c.strReason), std::string::npos) << message;
      EXPECT_NE(message.find("The call went on without it.\n"), std::string::npos) << message;
    }
    if (!c.strUntouched.empty()) { EXPECT_EQ(ReadFile(c.strUntouched), "keep\n"); }
  }
  ::umask(oldMask);
  struct stat status {};
  EXPECT_NE(::lstat((scratch / "created-through-link").c_str(), &status), 0) << "a link's target was created";
}

// Item: log files among the installation's settings and the kernel's files.
TEST(SecurityTest, LogsAreNeverWrittenAmongTheSettingsNorIntoTheKernelsFiles) {
  CScratch scratch;
  ::mkdir((scratch / "config").c_str(), 0700);
  ::mkdir((scratch / "config/jobs").c_str(), 0700);
  ::mkdir((scratch / "other").c_str(), 0700);
  WriteFile(scratch / "config/varnel.conf", "# no profiles\n");
  std::filesystem::create_symlink((scratch / "config").c_str(), (scratch / "config-link").c_str());
  CScopedEnvironment configDir("VARNEL_CONFIG_DIR", scratch / "config");
  const std::string comm = ReadFile("/proc/self/comm");
  struct Case {
    const char* pName;
    std::string strPath;
    std::string strReason;
    std::string strUntouched;  // a file whose content must stay as it was
  } const cases[] = {
      {"a new setting", scratch / "config/TlsMode", "lies in Varnel's settings folder", ""},
      {"the profiles file", scratch / "config/varnel.conf", "lies in Varnel's settings folder", scratch / "config/varnel.conf"},
      {"below the settings folder", scratch / "config/jobs/x.log", "lies in Varnel's settings folder", ""},
      {"through a link to the folder", scratch / "config-link/AllowPlainSignIn", "lies in Varnel's settings folder", ""},
      {"through ..", scratch / "other/../config/HeloName", "lies in Varnel's settings folder", ""},
      {"a file of the kernel", "/proc/self/comm", "it lies in a file system of the kernel", "/proc/self/comm"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pName);
    const std::string before = c.strUntouched.empty() ? std::string() : ReadFile(c.strUntouched);
    CScriptedRelay relay(FullSend());
    CCall call(relay.Port());
    call.Add(CHostServerCall::Int("@debug", 1)).Add(CHostServerCall::Text("@debugfilename", c.strPath));
    EXPECT_EQ(call.Run(), 0);
    EXPECT_TRUE(relay.Failures().empty()) << relay.Failures().front();  // the send went on
    ASSERT_EQ(call.server.Messages().size(), 1u);
    const std::string& message = call.server.Messages()[0];
    EXPECT_EQ(message.rfind("The log file " + c.strPath + " could not be written: ", 0), 0u) << message;
    EXPECT_NE(message.find(c.strReason), std::string::npos) << message;
    if (c.strUntouched.empty()) {
      struct stat status {};
      EXPECT_NE(::lstat(c.strPath.c_str(), &status), 0) << "the log was created";
    } else {
      EXPECT_EQ(ReadFile(c.strUntouched), before);
    }
  }
  EXPECT_EQ(ReadFile("/proc/self/comm"), comm);
}

// Item: the caller's password of the host command.
TEST(SecurityTest, HostPasswordsComeFromAFileOrTheEnvironmentAndArgumentsAreWarnedAbout) {
  CScratch scratch;
  WriteFile(scratch / "private", "from-file\nsecond line\n", 0600);
  WriteFile(scratch / "shared", "shared-file\r\n", 0644);
  WriteFile(scratch / "empty", "", 0600);
  struct Case {
    const char* pName;
    std::vector<std::string> arrArguments;
    std::optional<std::string> strEnvironment;
    bool bAccepted;
    std::string strPassword;
    std::string strWarning;  // empty: none
  } const cases[] = {
      {"file", {"--password-file", scratch / "private"}, std::nullopt, true, "from-file", ""},
      {"file wins over the environment", {"--password-file=" + scratch / "private"}, "from-env", true, "from-file", ""},
      {"file others can read", {"--password-file", scratch / "shared"}, std::nullopt, true, "shared-file",
       "can be read by other users"},
      {"empty file", {"--password-file", scratch / "empty"}, "from-env", true, "", ""},
      {"environment", {}, "from-env", true, "from-env", ""},
      {"argument", {"--password", "in-args"}, "from-env", true, "in-args", "--password puts the password where"},
      {"no password", {}, std::nullopt, true, "", ""},
      {"missing file", {"--password-file", scratch / "nothing"}, std::nullopt, false, "",
       "cannot read the password file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pName);
    CScopedEnvironment environment(host::kPasswordVariable, c.strEnvironment);
    host::CHostOptions options;
    std::string error;
    std::vector<std::string> arguments = c.arrArguments;
    arguments.push_back("exec xp_Varnel @recipient='a@example.com', @from='b@example.com', @address='127.0.0.1'");
    ASSERT_TRUE(host::ParseHostOptions(arguments, "me", options, error)) << error;
    std::ostringstream errors;
    EXPECT_EQ(host::ResolvePassword(options, errors), c.bAccepted);
    if (c.bAccepted) { EXPECT_EQ(options.strPassword, c.strPassword); }
    if (c.strWarning.empty()) {
      EXPECT_EQ(errors.str(), "");
    } else {
      EXPECT_NE(errors.str().find(c.strWarning), std::string::npos) << errors.str();
    }
  }
  host::CHostOptions both;
  std::string error;
  EXPECT_FALSE(host::ParseHostOptions({"--password", "a", "--password-file", "f"}, "me", both, error));

  // Secrets inside a statement given as an argument are warned about; from a file they are not.
  const std::string statement =
      "exec xp_Varnel @recipient='a@example.com', @from='b@example.com', @address='127.0.0.1', "
      "@SMTPPassword='pw', @qpassword=NULL, @oauthclientsecret='s'";
  for (bool asArgument : {true, false}) {
    host::CHostOptions options;
    ASSERT_TRUE(host::ParseHostOptions(asArgument ? std::vector<std::string>{statement}
                                                  : std::vector<std::string>{"-i", scratch / "statement.sql"},
                                       "me", options, error));
    CHostServerCall call;
    std::ostringstream errors;
    ASSERT_TRUE(host::PrepareCall(options, statement, call, errors)) << errors.str();
    host::WarnAboutSecretsInStatement(options, call, errors);
    std::string text = errors.str();
    EXPECT_EQ(text.find("@smtppassword stands in the command's arguments") != std::string::npos, asArgument) << text;
    EXPECT_EQ(text.find("@oauthclientsecret stands in") != std::string::npos, asArgument) << text;
    EXPECT_EQ(text.find("@qpassword"), std::string::npos) << "a NULL password is no secret";
  }

  // The command itself warns (a statement refused for its missing relay sends nothing).
  rlimit core{};
  ::getrlimit(RLIMIT_CORE, &core);
  {
    std::istringstream in;
    std::ostringstream out, err;
    host::RunHostCommand({"--password", "pw", "exec xp_Varnel @recipient='a@example.com', @from='b@example.com', "
                                              "@smtppassword='pw'"},
                         in, out, err);
    EXPECT_NE(err.str().find("--password puts the password where"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("@smtppassword stands in"), std::string::npos) << err.str();
  }

  // The command holds secrets from its start: it is not dumpable and writes no core file.
  ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
  std::istringstream in;
  std::ostringstream out, err;
  host::RunHostCommand({"--version"}, in, out, err);
  EXPECT_EQ(::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
  rlimit now{};
  ::getrlimit(RLIMIT_CORE, &now);
  EXPECT_EQ(now.rlim_cur, 0u);
  ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
  ::setrlimit(RLIMIT_CORE, &core);
}

// Item: control characters from a relay and a token endpoint.
TEST(SecurityTest, TextFromOutsideIsLoggedLineByLineAndCensoredInTheRow) {
  CScratch scratch;
  struct Case {
    const char* pName;
    std::vector<std::string> arrEndpointOptions;  // a token endpoint is started when given
    std::vector<CStep> arrScript;                  // else the relay plays this
    int nStatus;
    std::vector<std::string> arrLogLines;  // log lines expected whole (after the prefix)
    std::string strColumn;                 // expected part of ErrorMessage or SMTPErrorMessage
  } const cases[] = {
      {"unsolicited multi-line reply with DEL and C1",
       {},
       {CStep::Send("220 ready\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n"),
        // The 250 and a reply nobody asked for arrive in one piece: its second line must
        // not stand alone as a log line of its own.
        CStep::Send("250 hello\r\n421-05 Mar 2009 14:07:31 -  1 - Message accepted\x7f\r\n"
                    "421-raw \x9b" "31m\x85 caf\xe9\r\n421 utf-8 \xc2\x9b" "2J caf\xc3\xa9\r\n"),
        CStep::Pause(300)},
       6,
       {"Reply without a command: 421-05 Mar 2009 14:07:31 -  1 - Message accepted?",
        "421-raw ?31m? caf\xe9", "421 utf-8 ?2J caf\xc3\xa9"},
       "05 Mar 2009 14:07:31 -  1 - Message accepted?\r\n421-raw ?31m? caf\xe9\r\n421 utf-8 ?2J caf\xc3\xa9"},
      {"token endpoint's header with ESC and BEL",
       {"--content-encoding", "gzip\x1b[2J\x07"},
       {},
       16,
       {},
       "the reply is encoded (gzip?[2j?)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pName);
    std::optional<CTokenEndpointProcess> endpoint;
    std::optional<CScriptedRelay> relay;
    CQuietPort port;
    if (!c.arrEndpointOptions.empty()) {
      endpoint.emplace(c.arrEndpointOptions);
      ASSERT_FALSE(endpoint->m_strUrl.empty());
    } else {
      relay.emplace(c.arrScript);
    }
    std::string log = scratch / (std::string(c.pName).substr(0, 5) + ".log");
    CCall call(relay ? relay->Port() : port.Port());
    call.Add(CHostServerCall::Int("@debug", 1)).Add(CHostServerCall::Text("@debugfilename", log));
    if (endpoint) {
      call.settings.m_mapValues["TlsCaFile"] = endpoint->m_strCaFile;
      call.Add(CHostServerCall::Text("@smtpusername", "reports@example.com"));
      call.Add(CHostServerCall::Text("@oauthtokenurl", endpoint->m_strUrl));
      call.Add(CHostServerCall::Text("@oauthclientid", "varnel-app"));
      call.Add(CHostServerCall::Text("@oauthclientsecret", "s3cret&value=1"));
    }
    call.Run();
    ASSERT_EQ(call.server.Rows().size(), 1u);
    EXPECT_EQ(call.Result(), c.nStatus);
    // Every column of the row is free of control characters but the line ends between
    // the lines of a multi-line reply.
    for (std::size_t column = 1; column < 5; ++column) {
      for (const std::string& line : CensoredLines(call.Column(column))) EXPECT_FALSE(HoldsControlCharacters(line));
      EXPECT_EQ(call.Column(column).find_first_of(std::string("\0\x1b\x07\x7f", 4)), std::string::npos);
    }
    std::string columns = call.Column(1) + "|" + call.Column(3);
    EXPECT_NE(columns.find(c.strColumn), std::string::npos) << columns;
    // Every line of the log carries the prefix and no control character.
    std::vector<std::string> lines = FileLines(log);
    ASSERT_FALSE(lines.empty());
    std::vector<std::string> messages;
    for (const std::string& line : lines) {
      ASSERT_GE(line.size(), 23u);
      EXPECT_EQ(line.compare(20, 3, " - "), 0) << "a line without the prefix: " << line;
      EXPECT_FALSE(HoldsControlCharacters(line)) << line;
      std::size_t dash = line.find(" - ", 23);
      messages.push_back(dash == std::string::npos ? std::string() : line.substr(dash + 3));
    }
    for (const std::string& expected : c.arrLogLines) {
      EXPECT_NE(std::find(messages.begin(), messages.end(), expected), messages.end()) << expected;
    }
    if (endpoint) {
      EXPECT_NE(ReadFile(log).find("the reply is encoded (gzip?[2j?)"), std::string::npos);
      EXPECT_FALSE(port.Contacted()) << "the relay was contacted without a token";
    }
  }
}
