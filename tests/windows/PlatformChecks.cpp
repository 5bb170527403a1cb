// Checks of the Windows platform layer on its own, run under Wine: file enumeration,
// registry settings, clock and environment, sockets against a listener of its own on
// 127.0.0.1, and TLS against the servers of tests/tls/tls_check_server.py (named in
// VARNEL_TLS_CHECK by scripts/test-windows). Prints every failed check and a closing "N passed, N failed" line; the
// exit status is 1 when a check failed.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/AttachmentPolicy.h"
#include "platform/FileSystem.h"
#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "platform/System.h"
#include "platform/TemporaryFile.h"
#include "platform/Tls.h"

namespace {

int g_nPassed = 0;
int g_nFailed = 0;

void Check(bool condition, const std::string& what) {
  if (condition) {
    ++g_nPassed;
  } else {
    ++g_nFailed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---------------------------------------------------------------- file enumeration

std::string MakeTempDirectory() {
  char base[MAX_PATH] = {};
  ::GetTempPathA(MAX_PATH, base);
  std::string directory = std::string(base) + "varnel-checks-" + std::to_string(::GetCurrentProcessId());
  ::CreateDirectoryA(directory.c_str(), nullptr);
  return directory;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(content.data(), 1, content.size(), file);
  std::fclose(file);
}

std::set<std::string> Names(const std::vector<varnel::CFoundFile>& files) {
  std::set<std::string> names;
  for (const varnel::CFoundFile& file : files) names.insert(file.strName);
  return names;
}

void CheckFileEnumeration() {
  std::string directory = MakeTempDirectory();
  char full[MAX_PATH] = {};
  ::GetFullPathNameA(directory.c_str(), MAX_PATH, full, nullptr);
  std::string absolute = full;
  WriteFile(directory + "\\Alpha.TXT", "a");
  WriteFile(directory + "\\beta.txt", "b");
  WriteFile(directory + "\\gamma.log", "g");
  ::CreateDirectoryA((directory + "\\folder.txt").c_str(), nullptr);

  varnel::IFileSystem& files = varnel::DefaultFileSystem();
  struct CCase {
    std::string strPattern;
    std::set<std::string> expected;
  };
  const CCase cases[] = {
      {directory + "\\*.txt", {"Alpha.TXT", "beta.txt"}},  // any case, never a directory
      {directory + "\\*.TXT", {"Alpha.TXT", "beta.txt"}},
      {directory + "\\B?TA.txt", {"beta.txt"}},
      {directory + "\\?????.*", {"Alpha.TXT", "gamma.log"}},
      {directory + "\\gamma.log", {"gamma.log"}},            // a plain path matches itself
      {directory + "/beta.txt", {"beta.txt"}},               // forward slash as separator
      {directory + "\\folder.txt", {}},                      // only a directory matches
      {directory + "\\missing*.txt", {}},
      {directory + "\\nosuchdir\\*.txt", {}},
      {"", {}},
  };
  for (const CCase& test : cases)
    Check(Names(files.FindFiles(test.strPattern)) == test.expected, "FindFiles(" + test.strPattern + ")");

  // Full path: the pattern's directory made absolute, then the found name.
  auto found = files.FindFiles(directory + "\\BETA.TXT");
  Check(found.size() == 1 && found[0].strFullPath == absolute + "\\beta.txt",
        "full path of BETA.TXT is " + (found.empty() ? std::string("none") : found[0].strFullPath));

  // A relative pattern resolves against the current directory.
  char previous[MAX_PATH] = {};
  ::GetCurrentDirectoryA(MAX_PATH, previous);
  ::SetCurrentDirectoryA(directory.c_str());
  found = files.FindFiles("*.LOG");
  Check(found.size() == 1 && found[0].strFullPath == absolute + "\\gamma.log", "relative pattern *.LOG");
  found = files.FindFiles(".\\gamma.log");
  Check(found.size() == 1 && found[0].strFullPath == absolute + "\\gamma.log", "relative pattern .\\gamma.log");
  ::SetCurrentDirectoryA(previous);

  for (const char* name : {"\\Alpha.TXT", "\\beta.txt", "\\gamma.log"}) ::DeleteFileA((directory + name).c_str());
  ::RemoveDirectoryA((directory + "\\folder.txt").c_str());
  ::RemoveDirectoryA(directory.c_str());
}

// ---------------------------------------------------------------- registry settings

constexpr const char* kKey = "Software\\Corvane";

void DeleteSettingsKey() { ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey); }

bool SettingsKeyExists() {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

void SetValue(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key = nullptr;
  ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  ::RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  ::RegCloseKey(key);
}

void CheckSettings() {
  varnel::ISettings& settings = varnel::DefaultSettings();
  std::string value = "unchanged";

  DeleteSettingsKey();
  Check(settings.BindIP(value) == varnel::SettingState::Missing, "BindIP without the key is Missing");
  Check(!SettingsKeyExists(), "reading BindIP does not create the key");
  Check(settings.OdbcDriver() == "SQL Server", "default ODBC driver");
  Check(settings.OdbcAttributes().empty(), "no ODBC attributes by default");

  SetValue("Other", REG_SZ, "x", 2);
  Check(settings.BindIP(value) == varnel::SettingState::Missing, "BindIP without the value is Missing");

  SetValue("BindIP", REG_SZ, "127.0.0.1", 10);
  Check(settings.BindIP(value) == varnel::SettingState::Found && value == "127.0.0.1", "BindIP as REG_SZ: " + value);

  // The value is taken as text whatever its registry type.
  SetValue("BindIP", REG_BINARY, "10.1.2.3", 8);
  Check(settings.BindIP(value) == varnel::SettingState::Found && value == "10.1.2.3", "BindIP as REG_BINARY: " + value);

  std::string longValue(2000, '1');
  SetValue("BindIP", REG_SZ, longValue.c_str(), static_cast<DWORD>(longValue.size() + 1));
  Check(settings.BindIP(value) == varnel::SettingState::Error, "an overlong BindIP is an error, not cut");

  SetValue("OdbcDriver", REG_SZ, "SQLite3", 8);
  SetValue("OdbcAttributes", REG_SZ, "Database=c:\\x.db", 17);
  Check(settings.OdbcDriver() == "SQLite3", "ODBC driver from the registry");
  Check(settings.OdbcAttributes() == "Database=c:\\x.db", "ODBC attributes from the registry");
  SetValue("OdbcDriver", REG_SZ, "", 1);
  Check(settings.OdbcDriver() == "SQL Server", "an empty ODBC driver value falls back to the default");

  DeleteSettingsKey();
}

// ---------------------------------------------------------------- clock, threads, environment

void CheckSystem() {
  Check(std::strcmp(varnel::DefaultLogFileName(), "c:\\temp\\corvane.log") == 0, "default log file name");

  std::tm utc{};
  Check(varnel::ToUniversalTime(86400 * 365 + 3661, utc) && utc.tm_year == 71 && utc.tm_mon == 0 &&
            utc.tm_mday == 1 && utc.tm_hour == 1 && utc.tm_min == 1 && utc.tm_sec == 1,
        "UTC of 1971-01-01 01:01:01");
  std::tm local{};
  Check(varnel::ToLocalTime(varnel::CurrentTime(), local) && local.tm_year >= 123, "local time of now");
  Check(!varnel::ToUniversalTime(-1, utc), "a time before 1970 is refused");

  long mine = varnel::CurrentThreadId();
  long other = 0;
  std::thread([&other] { other = varnel::CurrentThreadId(); }).join();
  Check(mine == static_cast<long>(::GetCurrentThreadId()) && other != 0 && other != mine, "thread ids");

  std::string longValue(5000, 'v');
  ::SetEnvironmentVariableA("VARNEL_CHECK_VALUE", longValue.c_str());
  Check(varnel::EnvironmentValue("VARNEL_CHECK_VALUE") == longValue, "a long environment value is read whole");
  ::SetEnvironmentVariableA("VARNEL_CHECK_VALUE", nullptr);
  Check(varnel::EnvironmentValue("VARNEL_CHECK_VALUE").empty(), "an unset variable is empty");
}

// ---------------------------------------------------------------- sockets

// ---------------------------------------------------------------- temporary files

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data{};
  HANDLE find = ::FindFirstFileA((folder + "\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = data.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileA(find, &data));
  ::FindClose(find);
  return names;
}

void CheckTemporaryFiles() {
  Check(!varnel::SystemTemporaryFolder().empty(), "the system's temporary folder is known");
  std::string folder = MakeTempDirectory() + "\\rows";
  ::CreateDirectoryA(folder.c_str(), nullptr);
  std::string error;
  {
    std::unique_ptr<varnel::ITemporaryFile> file = varnel::CreateTemporaryFile(folder, error);
    Check(file != nullptr, "a temporary file is made: " + error);
    if (file) {
      std::string data(200000, '\0');
      for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13);
      Check(file->Append(data.data(), 150000, error) && file->Append(data.data() + 150000, 50000, error),
            "the temporary file takes data: " + error);
      std::string back(5000, '\0');
      Check(file->ReadAt(148000, back.data(), back.size(), error) && back == data.substr(148000, 5000),
            "the temporary file reads back what it took: " + error);
      Check(!file->ReadAt(199000, back.data(), back.size(), error), "nothing is read past its end");
      std::vector<std::string> entries = FolderEntries(folder);
      Check(entries.size() == 1, "the open file is in its folder");
      if (entries.size() == 1) {
        HANDLE other = ::CreateFileA((folder + "\\" + entries[0]).c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        Check(other == INVALID_HANDLE_VALUE, "nobody else opens the temporary file");
        if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
      }
    }
  }
  Check(FolderEntries(folder).empty(), "the temporary file is gone once closed");
  Check(varnel::CreateTemporaryFile(folder + "\\missing", error) == nullptr && !error.empty(),
        "a missing folder is refused with the reason");
  ::RemoveDirectoryA(folder.c_str());
}

// A listener on 127.0.0.1 of the checks' own, in plain Winsock.
class CListener {
 public:
  CListener() {
    WSADATA data{};
    ::WSAStartup(MAKEWORD(2, 2), &data);
    m_hSocket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ::bind(m_hSocket, reinterpret_cast<sockaddr*>(&local), sizeof local);
    ::listen(m_hSocket, 4);
    int length = sizeof local;
    ::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&local), &length);
    m_nPort = ::ntohs(local.sin_port);
  }
  ~CListener() {
    ::closesocket(m_hSocket);
    if (m_bStarted) ::WSACleanup();
  }
  // From here on only the platform layer's own use of Winsock keeps it started.
  void ReleaseStart() {
    if (m_bStarted) ::WSACleanup();
    m_bStarted = false;
  }
  CListener(const CListener&) = delete;
  CListener& operator=(const CListener&) = delete;
  int Port() const { return m_nPort; }
  SOCKET Accept(std::string& peer) {
    sockaddr_in remote{};
    int length = sizeof remote;
    SOCKET accepted = ::accept(m_hSocket, reinterpret_cast<sockaddr*>(&remote), &length);
    peer = varnel::DottedAddress(remote.sin_addr.s_addr);
    return accepted;
  }

 private:
  SOCKET m_hSocket = INVALID_SOCKET;
  int m_nPort = 0;
  bool m_bStarted = true;
};

void CheckNetwork() {
  using std::chrono::milliseconds;
  varnel::INetwork& network = varnel::DefaultNetwork();

  struct CDotted {
    std::uint32_t nHostOrder;
    const char* pText;
  };
  for (const CDotted& test : {CDotted{0x7F000001u, "127.0.0.1"}, CDotted{0, "0.0.0.0"},
                              CDotted{0xFFFFFFFFu, "255.255.255.255"}, CDotted{0x0A000102u, "10.0.1.2"}})
    Check(varnel::DottedAddress(::htonl(test.nHostOrder)) == test.pText, std::string("DottedAddress ") + test.pText);

  Check(network.StartSocketLibrary(), "socket library starts");
  ::SetEnvironmentVariableA("VARNEL_HOSTNAME", "relay-host.example");
  Check(network.QueryHostName() == "relay-host.example", "VARNEL_HOSTNAME overrides the host name");
  ::SetEnvironmentVariableA("VARNEL_HOSTNAME", nullptr);
  Check(!network.QueryHostName().empty(), "the host name query answers");

  std::vector<std::uint32_t> addresses;
  Check(network.LookupIPv4("localhost", addresses) &&
            std::find(addresses.begin(), addresses.end(), ::htonl(0x7F000001u)) != addresses.end(),
        "localhost resolves to 127.0.0.1");
  Check(network.LookupIPv4("127.0.0.1", addresses) && addresses.size() == 1, "a dotted address looks up as itself");
  Check(!network.LookupIPv4("", addresses) && addresses.empty(), "an empty name looks up nothing");

  std::string error;
  Check(network.CreateSocket("not-an-address", error) == nullptr && !error.empty(), "an invalid bind address is refused");

  CListener listener;
  // Connect, bound to 127.0.0.1: the listener sees that address.
  auto socket = network.CreateSocket("127.0.0.1", error);
  Check(socket != nullptr, "socket bound to 127.0.0.1: " + error);
  if (socket == nullptr) return;
  std::string peer;
  SOCKET accepted = INVALID_SOCKET;
  std::thread acceptor([&] { accepted = listener.Accept(peer); });
  auto connection = socket->Connect("127.0.0.1", listener.Port(), milliseconds(2000), error);
  acceptor.join();
  Check(connection != nullptr && peer == "127.0.0.1", "connect to the listener: " + error);
  if (connection == nullptr) return;

  // Receive: what arrived, then a bounded wait, then the end of the stream.
  ::send(accepted, "220 ready\r\n", 11, 0);
  char buffer[100];
  std::size_t received = 0;
  Check(connection->Receive(buffer, sizeof buffer, received, milliseconds(2000)) == varnel::IoResult::Ok &&
            std::string(buffer, received) == "220 ready\r\n",
        "receive the greeting");
  auto start = Clock::now();
  Check(connection->Receive(buffer, sizeof buffer, received, milliseconds(300)) == varnel::IoResult::Timeout,
        "a silent peer times out");
  long long waited = MillisecondsSince(start);
  Check(waited >= 250 && waited < 2000, "the receive time-out is kept: " + std::to_string(waited) + " ms");

  // Send: a peer that never reads cannot hold the sender past the time-out.
  std::string block(16 * 1024 * 1024, 'x');
  start = Clock::now();
  varnel::IoResult sent = connection->SendAll(block.data(), block.size(), milliseconds(300));
  waited = MillisecondsSince(start);
  Check(sent == varnel::IoResult::Timeout && waited < 3000,
        "a send to a peer that does not read times out: " + std::to_string(waited) + " ms");

  // Calls on other threads start and clean up Winsock all the time; the last cleanup of
  // a process closes every socket, so none of theirs may end this connection.
  listener.ReleaseStart();
  std::vector<std::thread> others;
  for (int thread = 0; thread < 8; ++thread)
    others.emplace_back([&network] {
      std::vector<std::uint32_t> found;
      for (int round = 0; round < 1000; ++round) {
        network.StartSocketLibrary();
        network.LookupIPv4("127.0.0.1", found);
      }
    });
  for (std::thread& thread : others) thread.join();
  ::send(accepted, "250 still here\r\n", 16, 0);
  Check(connection->Receive(buffer, sizeof buffer, received, milliseconds(2000)) == varnel::IoResult::Ok &&
            std::string(buffer, received) == "250 still here\r\n",
        "a connection outlives Winsock starts and cleanups on other threads");

  ::closesocket(accepted);
  Check(connection->Receive(buffer, sizeof buffer, received, milliseconds(2000)) == varnel::IoResult::Closed ||
            connection->Receive(buffer, sizeof buffer, received, milliseconds(2000)) == varnel::IoResult::Closed,
        "a closed peer ends the stream");
  connection.reset();

  // A refused connection is reported at once, with the system's reason.
  int closedPort = 0;
  {
    CListener gone;
    closedPort = gone.Port();
  }
  socket = network.CreateSocket("", error);
  start = Clock::now();
  error.clear();
  Check(socket != nullptr && socket->Connect("127.0.0.1", closedPort, milliseconds(5000), error) == nullptr &&
            !error.empty(),
        "a refused connection fails: " + error);
  Check(MillisecondsSince(start) < 4000, "a refused connection does not wait for the time-out");

  socket = network.CreateSocket("", error);
  Check(socket != nullptr && socket->Connect("127.0.0.1", 0, milliseconds(500), error) == nullptr,
        "port 0 is refused");
}

// ---------------------------------------------------------------- TLS

struct CTlsServers {
  std::string strCaFile;
  std::map<std::string, int> ports;
};

bool ReadTlsServers(CTlsServers& servers) {
  std::istringstream words(varnel::EnvironmentValue("VARNEL_TLS_CHECK"));
  words >> servers.strCaFile;
  std::string entry;
  while (words >> entry) {
    std::size_t equals = entry.find('=');
    if (equals != std::string::npos) servers.ports[entry.substr(0, equals)] = std::atoi(entry.c_str() + equals + 1);
  }
  return !servers.strCaFile.empty() && servers.ports.size() == 8;
}

std::unique_ptr<varnel::IConnection> TlsHandshake(int port, const std::string& peer, bool verify,
                                                  const std::string& caFile, std::string& error,
                                                  std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
  auto socket = varnel::DefaultNetwork().CreateSocket("", error);
  auto plain = socket != nullptr ? socket->Connect("127.0.0.1", port, std::chrono::milliseconds(5000), error) : nullptr;
  if (plain == nullptr) return nullptr;
  varnel::CTlsSettings settings;
  settings.strPeerName = peer;
  settings.bVerify = verify;
  settings.strCaFile = caFile;
  return varnel::DefaultTlsClient().Handshake(std::move(plain), settings, timeout, error);
}

std::string ReceiveLine(varnel::IConnection& connection) {
  std::string line;
  char buffer[256];
  while (line.find('\n') == std::string::npos) {
    std::size_t received = 0;
    if (connection.Receive(buffer, sizeof buffer, received, std::chrono::milliseconds(10000)) != varnel::IoResult::Ok)
      break;
    line.append(buffer, received);
  }
  return line;
}

void CheckTls() {
  using std::chrono::milliseconds;
  CTlsServers servers;
  if (!ReadTlsServers(servers)) {
    Check(false, "VARNEL_TLS_CHECK names the CA file and eight servers (scripts/test-windows starts them)");
    return;
  }
  struct CCase {
    const char* pServer;
    const char* pPeer;
    bool bVerify;
    bool bWithCaFile;
    std::string strError;  // empty: the handshake succeeds
  };
  const CCase cases[] = {
      {"good", "localhost", true, true, ""},
      {"good", "127.0.0.1", true, true, ""},
      {"good", "127.0.0.2", true, true, "certificate verify failed: IP address mismatch"},
      {"wrong-name", "localhost", true, true, "certificate verify failed: hostname mismatch"},
      {"untrusted", "localhost", true, true, "certificate verify failed: "},
      {"good", "localhost", true, false, "certificate verify failed: "},  // the system's roots alone
      {"expired", "localhost", true, true, "certificate verify failed: certificate has expired"},
      {"wrong-name", "localhost", false, true, ""},
      {"untrusted", "127.0.0.1", false, false, ""},
      {"plain", "localhost", true, true, "handshake failed: "},
      // Names come from the subjectAltName alone, never from the common name.
      {"ip-only", "127.0.0.1", true, true, ""},
      {"ip-only", "localhost", true, true, "certificate verify failed: hostname mismatch"},
      {"cn-only", "localhost", true, true, "certificate verify failed: hostname mismatch"},
      {"cn-only", "127.0.0.1", true, true, "certificate verify failed: IP address mismatch"},
  };
  for (const CCase& test : cases) {
    std::string what = std::string("TLS ") + test.pServer + " as " + test.pPeer + (test.bVerify ? "" : " unverified") +
                       (test.bWithCaFile ? "" : " without the CA file");
    std::string error;
    auto secure = TlsHandshake(servers.ports[test.pServer], test.pPeer, test.bVerify,
                               test.bWithCaFile ? servers.strCaFile : std::string(), error);
    if (test.strError.empty()) {
      Check(secure != nullptr && ReceiveLine(*secure) == "220 ready\r\n", what + ": " + error);
    } else {
      Check(secure == nullptr && error.rfind(test.strError, 0) == 0, what + " is refused: " + error);
    }
  }

  auto start = Clock::now();
  std::string error;
  Check(TlsHandshake(servers.ports["silent"], "localhost", true, servers.strCaFile, error, milliseconds(500)) ==
                nullptr &&
            error == "handshake failed: timed out" && MillisecondsSince(start) < 3000,
        "a silent TLS server times out: " + error);

  // Records: sends of mixed sizes arrive whole and in order.
  auto secure = TlsHandshake(servers.ports["good"], "localhost", true, servers.strCaFile, error);
  Check(secure != nullptr && ReceiveLine(*secure) == "220 ready\r\n", "TLS session for data: " + error);
  if (secure == nullptr) return;
  const std::size_t total = 1024 * 1024 + 7;
  std::string data(total, '\0');
  unsigned long long sum = 0;
  for (std::size_t i = 0; i < total; ++i) {
    data[i] = static_cast<char>((i * 131) >> 3);
    sum += static_cast<unsigned char>(data[i]);
  }
  std::string header = "SIZE " + std::to_string(total) + "\r\n";
  bool sent = secure->SendAll(header.data(), header.size(), milliseconds(10000)) == varnel::IoResult::Ok;
  const std::size_t sizes[] = {1, 78, 16384, 16385, 65536, 200000};
  for (std::size_t offset = 0, round = 0; sent && offset < total; ++round) {
    std::size_t size = std::min(sizes[round % 6], total - offset);
    sent = secure->SendAll(data.data() + offset, size, milliseconds(10000)) == varnel::IoResult::Ok;
    offset += size;
  }
  std::string answer = ReceiveLine(*secure);
  Check(sent && answer == "ok " + std::to_string(total) + " " + std::to_string(sum) + "\r\n",
        "1 MB in mixed sends arrives whole: " + answer);
  Check(varnel::DefaultTlsClient().LibraryVersion() == "Schannel", "the TLS library names itself");
}

}  // namespace

// ---------------------------------------------------------------- logs and attachments

std::string ReadWhole(const std::string& path) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return text;
  char buffer[256];
  for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, count);
  std::fclose(file);
  return text;
}

// Whether path's attachment policy verdict matches allowed; reason receives the refusal.
bool Verdict(const varnel::CAttachmentPolicy& policy, const std::string& path, std::string& reason) {
  std::uint64_t size = 0;
  std::FILE* file = varnel::OpenRegularFile(path, size);
  if (file == nullptr) {
    reason = "cannot open " + path;
    return false;
  }
  bool allowed = policy.Allows(file, path, reason);
  std::fclose(file);
  return allowed;
}

void CheckLogsAndAttachments() {
  std::string directory = MakeTempDirectory() + "-files";
  ::CreateDirectoryA(directory.c_str(), nullptr);
  ::CreateDirectoryA((directory + "\\Reports").c_str(), nullptr);
  ::CreateDirectoryA((directory + "\\Other").c_str(), nullptr);
  WriteFile(directory + "\\Reports\\day.txt", "report");
  WriteFile(directory + "\\Other\\secret.txt", "secret");

  // A log: written in text mode, created with a protected (not inherited) access list; a
  // folder is refused with a reason.
  std::string log = directory + "\\varnel.log";
  std::string error;
  Check(varnel::AppendToFile(log, "one\n", &error) && ReadWhole(log) == "one\r\n", "a new log is written: " + error);
  Check(varnel::AppendToFile(log, "two\n", &error) && ReadWhole(log) == "one\r\ntwo\r\n", "a log is appended to");
  // The access list can only be checked where the file system keeps one (Wine derives it
  // from the Unix mode): a file made here with a protected list shows whether it does.
  auto protectedList = [](const std::string& path) {
    std::vector<char> descriptor(4096);
    DWORD needed = 0;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    return ::GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(),
                              static_cast<DWORD>(descriptor.size()), &needed) &&
           ::GetSecurityDescriptorControl(descriptor.data(), &control, &revision) && (control & SE_DACL_PROTECTED) != 0;
  };
  std::string probe = directory + "\\probe.txt";
  PSECURITY_DESCRIPTOR probeDescriptor = nullptr;
  if (::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;SY)", SDDL_REVISION_1, &probeDescriptor,
                                                             nullptr)) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, probeDescriptor, FALSE};
    HANDLE handle = ::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    ::LocalFree(probeDescriptor);
  }
  if (protectedList(probe)) Check(protectedList(log), "a new log's access list is its own, not the folder's");
  ::DeleteFileA(probe.c_str());
  error.clear();
  Check(!varnel::AppendToFile(directory, "x\n", &error) && !error.empty(), "a folder is no log: " + error);
  std::string linkLog = directory + "\\link.log";
  // Where the system makes real links (Wine 8 reports success and makes none).
  ::CreateSymbolicLinkA(linkLog.c_str(), (directory + "\\Other\\secret.txt").c_str(), 0);
  DWORD linkAttributes = ::GetFileAttributesA(linkLog.c_str());
  if (linkAttributes != INVALID_FILE_ATTRIBUTES && (linkAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    Check(!varnel::AppendToFile(linkLog, "x\n", &error), "a log never follows a symbolic link");
    Check(ReadWhole(directory + "\\Other\\secret.txt") == "secret", "the link's target is untouched");
  }
  ::DeleteFileA(linkLog.c_str());

  // Attachments: AttachmentFolders from the registry, as REG_SZ and as REG_MULTI_SZ,
  // compared without regard to case and on the real path.
  varnel::ISettings& settings = varnel::DefaultSettings();
  DeleteSettingsKey();
  varnel::CAttachmentPolicy open;
  std::string reason;
  Check(open.Load(settings, error) && !open.Limited() && Verdict(open, directory + "\\Other\\secret.txt", reason),
        "without the setting any file is allowed: " + reason);
  std::string folders = "c:\\nowhere; " + directory + "\\REPORTS";
  SetValue("AttachmentFolders", REG_SZ, folders.c_str(), static_cast<DWORD>(folders.size() + 1));
  varnel::CAttachmentPolicy limited;
  Check(limited.Load(settings, error) && limited.Limited(), "AttachmentFolders as REG_SZ: " + error);
  Check(Verdict(limited, directory + "\\Reports\\day.txt", reason), "a file below an allowed folder: " + reason);
  Check(!Verdict(limited, directory + "\\Other\\secret.txt", reason) && reason.find("is not below") != std::string::npos,
        "a file outside the allowed folders: " + reason);
  Check(!Verdict(limited, directory + "\\Reports\\..\\Other\\secret.txt", reason), "a file reached through ..");
  std::string multi = directory + "\\Other" + std::string(1, '\0') + "c:\\nowhere" + std::string(2, '\0');
  SetValue("AttachmentFolders", REG_MULTI_SZ, multi.data(), static_cast<DWORD>(multi.size()));
  varnel::CAttachmentPolicy multiple;
  Check(multiple.Load(settings, error) && Verdict(multiple, directory + "\\Other\\secret.txt", reason) &&
            !Verdict(multiple, directory + "\\Reports\\day.txt", reason),
        "AttachmentFolders as REG_MULTI_SZ: " + reason);
  SetValue("AttachmentFolders", REG_SZ, "Reports", 8);
  varnel::CAttachmentPolicy relative;
  Check(!relative.Load(settings, error) && error.find("AttachmentFolders") != std::string::npos,
        "a relative folder is refused: " + error);
  DeleteSettingsKey();

  ::DeleteFileA(log.c_str());
  ::DeleteFileA((directory + "\\Reports\\day.txt").c_str());
  ::DeleteFileA((directory + "\\Other\\secret.txt").c_str());
  ::RemoveDirectoryA((directory + "\\Reports").c_str());
  ::RemoveDirectoryA((directory + "\\Other").c_str());
  ::RemoveDirectoryA(directory.c_str());
}

int main() {
  CheckFileEnumeration();
  CheckSettings();
  CheckSystem();
  CheckLogsAndAttachments();
  CheckTemporaryFiles();
  CheckNetwork();
  CheckTls();
  std::printf("platform: %d passed, %d failed\n", g_nPassed, g_nFailed);
  return g_nFailed == 0 ? 0 : 1;
}
