// Test peers for the delivery: a scripted SMTP relay on 127.0.0.1 that plays one
// conversation from a script and records everything the client sent, and a network that
// names the local host "localhost" so that all traffic stays on loopback. Once its script
// has run, the relay answers a QUIT with 221, as every relay does.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Network.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "smtp/ChannelStatus.h"

namespace varnel {

// The tests pin a status by its number, the one callers see in the outcome row.
inline bool operator==(Status status, int code) { return StatusCode(status) == code; }
inline void PrintTo(Status status, std::ostream* out) { *out << StatusCode(status); }

}  // namespace varnel

namespace varnel::test {

// One step of a relay's script.
struct CStep {
  enum class Kind { Send, ExpectLine, ExpectStart, ExpectData, Close, Pause, StopReading, ReadSlowly };
  Kind eKind;
  std::string strText;   // Send: bytes; ExpectLine: the exact line (CR LF included); ExpectStart: its start
  int nMilliseconds = 0;  // Pause

  static CStep Send(std::string text) { return {Kind::Send, std::move(text), 0}; }
  static CStep Expect(std::string line) { return {Kind::ExpectLine, std::move(line), 0}; }
  // A line that begins with start; the whole line is kept in Lines().
  static CStep ExpectStart(std::string start) { return {Kind::ExpectStart, std::move(start), 0}; }
  static CStep Data() { return {Kind::ExpectData, {}, 0}; }
  static CStep Close() { return {Kind::Close, {}, 0}; }
  static CStep Pause(int milliseconds) { return {Kind::Pause, {}, milliseconds}; }
  // Accepts the connection but never reads again (the client's sends back up).
  static CStep StopReading() { return {Kind::StopReading, {}, 0}; }
  // Takes at most 64 KiB, then pauses, until the client closes: a relay that keeps up the
  // upload, slowly. What it reads is not kept.
  static CStep ReadSlowly(int milliseconds) { return {Kind::ReadSlowly, {}, milliseconds}; }
};

// A port on loopback that nothing listens on: reserved, read and closed again.
inline int ClosedPort() {
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  return ntohs(address.sin_port);
}

// A socket listening on a free port of 127.0.0.1; port is set to that port.
inline int ListenOnLoopback(int& port) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener, 4);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return listener;
}

// A port that listens but never answers: Contacted() tells whether anyone connected.
class CQuietPort {
 public:
  CQuietPort() { m_hListen = ListenOnLoopback(m_nPort); }
  ~CQuietPort() { ::close(m_hListen); }
  CQuietPort(const CQuietPort&) = delete;
  CQuietPort& operator=(const CQuietPort&) = delete;
  int Port() const { return m_nPort; }
  bool Contacted() const {
    pollfd entry{m_hListen, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0;
  }

 private:
  int m_hListen = -1;
  int m_nPort = 0;
};

class CScriptedRelay {
 public:
  explicit CScriptedRelay(std::vector<CStep> script) : CScriptedRelay(std::move(script), {}) {}
  // Plays script to the first connection, then each later script to one more connection.
  CScriptedRelay(std::vector<CStep> script, std::vector<std::vector<CStep>> later)
      : m_arrScript(std::move(script)), m_arrLater(std::move(later)) {
    m_hListen = ListenOnLoopback(m_nPort);
    m_thread = std::thread([this] { Play(); });
  }

  ~CScriptedRelay() {
    m_bStop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_hListen >= 0) ::close(m_hListen);
  }

  int Port() const { return m_nPort; }
  // Waits for the script to end; the transcript holds every byte the client sent.
  std::string Transcript() {
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strTranscript;
  }
  // The message text received after DATA (without the end-of-data line).
  std::string Message() {
    Transcript();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strMessage;
  }
  // The lines matched by ExpectStart steps, in order, without their CR LF.
  std::vector<std::string> Lines() {
    Transcript();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrLines;
  }
  // Connections accepted so far (without waiting for the script to end).
  int Connections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nConnections;
  }
  // Steps that did not go as scripted.
  std::vector<std::string> Failures() {
    Transcript();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_arrFailures;
  }

 private:
  bool ReadMore(int client, std::string& pending) {
    for (int waited = 0; waited < 20000 && !m_bStop; waited += 50) {
      pollfd entry{client, POLLIN, 0};
      if (::poll(&entry, 1, 50) <= 0) continue;
      char buffer[65536];
      ssize_t count = ::recv(client, buffer, sizeof buffer, 0);
      if (count <= 0) return false;
      pending.append(buffer, static_cast<std::size_t>(count));
      std::lock_guard<std::mutex> lock(m_mutex);
      m_strTranscript.append(buffer, static_cast<std::size_t>(count));
      return true;
    }
    return false;
  }

  void Fail(std::string text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_arrFailures.push_back(std::move(text));
  }

  void Play() {
    if (!PlayOne(m_arrScript)) return;
    for (const std::vector<CStep>& script : m_arrLater) {
      if (!PlayOne(script)) return;
    }
  }

  // One connection; false when none came.
  bool PlayOne(const std::vector<CStep>& script) {
    int client = -1;
    for (int waited = 0; waited < 20000 && !m_bStop && client < 0; waited += 50) {
      pollfd entry{m_hListen, POLLIN, 0};
      if (::poll(&entry, 1, 50) > 0) client = ::accept(m_hListen, nullptr, nullptr);
    }
    if (client < 0) return false;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_nConnections;
    }
    std::string pending;
    bool stopReading = false;
    for (const CStep& step : script) {
      switch (step.eKind) {
        case CStep::Kind::Send:
          ::send(client, step.strText.data(), step.strText.size(), MSG_NOSIGNAL);
          break;
        case CStep::Kind::ExpectLine:
        case CStep::Kind::ExpectStart: {
          std::size_t end;
          while ((end = pending.find("\r\n")) == std::string::npos && ReadMore(client, pending)) {
          }
          if (end == std::string::npos) {
            Fail("missing line: " + step.strText);
            break;
          }
          std::string line = pending.substr(0, end + 2);
          pending.erase(0, end + 2);
          if (step.eKind == CStep::Kind::ExpectLine && line != step.strText) {
            Fail("expected " + step.strText + " got " + line);
          }
          if (step.eKind == CStep::Kind::ExpectStart) {
            if (line.rfind(step.strText, 0) != 0) Fail("expected " + step.strText + "... got " + line);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_arrLines.push_back(line.substr(0, line.size() - 2));
          }
          break;
        }
        case CStep::Kind::ExpectData: {
          std::size_t end;
          while ((end = pending.find("\r\n.\r\n")) == std::string::npos && ReadMore(client, pending)) {
          }
          if (end == std::string::npos) {
            Fail("missing end of data");
            break;
          }
          std::lock_guard<std::mutex> lock(m_mutex);
          m_strMessage = pending.substr(0, end);
          pending.erase(0, end + 5);
          break;
        }
        case CStep::Kind::Close:
          ::close(client);
          client = -1;
          break;
        case CStep::Kind::Pause:
          for (int waited = 0; waited < step.nMilliseconds && !m_bStop; waited += 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          break;
        case CStep::Kind::StopReading:
          stopReading = true;
          break;
        case CStep::Kind::ReadSlowly:
          while (!m_bStop) {
            pollfd entry{client, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) continue;
            char buffer[65536];
            if (::recv(client, buffer, sizeof buffer, 0) <= 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(step.nMilliseconds));
          }
          break;
      }
      if (client < 0) break;
    }
    if (client >= 0) {
      // Keep the connection until the client closes it, reading unless told not to.
      bool answered = false;
      while (!m_bStop) {
        if (stopReading) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          continue;
        }
        if (!answered && (pending.rfind("QUIT\r\n", 0) == 0 || pending.find("\r\nQUIT\r\n") != std::string::npos)) {
          ::send(client, "221 bye\r\n", 9, MSG_NOSIGNAL);
          answered = true;
        }
        if (!ReadMore(client, pending)) break;
      }
      ::close(client);
    }
    return true;
  }

  std::vector<CStep> m_arrScript;
  std::vector<std::vector<CStep>> m_arrLater;
  int m_nConnections = 0;
  int m_hListen = -1;
  int m_nPort = 0;
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
  std::mutex m_mutex;
  std::string m_strTranscript;
  std::string m_strMessage;
  std::vector<std::string> m_arrLines;
  std::vector<std::string> m_arrFailures;
};

// The real network, but the local host is "localhost" with a chosen address list.
class CLoopbackNetwork final : public INetwork {
 public:
  explicit CLoopbackNetwork(std::vector<std::string> addresses = {"127.0.0.1"}) {
    for (const std::string& text : addresses) {
      in_addr value{};
      ::inet_pton(AF_INET, text.c_str(), &value);
      m_arrAddresses.push_back(value.s_addr);
    }
  }
  bool StartSocketLibrary() override { return true; }
  std::string QueryHostName() override { return m_strHostName; }
  std::string QueryFullyQualifiedName() override { return m_strQualifiedName; }
  bool LookupIPv4(const std::string& host, std::vector<std::uint32_t>& addresses) override {
    if (m_bFailLookup) return false;
    if (host == m_strHostName && !m_arrAddresses.empty()) {
      addresses = m_arrAddresses;
      return true;
    }
    return DefaultNetwork().LookupIPv4(host, addresses);
  }
  std::unique_ptr<IClientSocket> CreateSocket(const std::string& bindAddress, std::string& error) override {
    m_strLastBind = bindAddress;
    return DefaultNetwork().CreateSocket(bindAddress, error);
  }
  std::string m_strLastBind = "(none)";
  bool m_bFailLookup = false;
  // The host's names; with no addresses of its own, the host name is looked up for real.
  std::string m_strHostName = "localhost";
  std::string m_strQualifiedName;

 private:
  std::vector<std::uint32_t> m_arrAddresses;
};

class CTestSettings final : public ISettings {
 public:
  SettingState m_eBindState = SettingState::Missing;
  std::string m_strBindIP;
  SettingState BindIP(std::string& value) override {
    if (m_eBindState == SettingState::Found) value = m_strBindIP;
    return m_eBindState;
  }
  std::string OdbcDriver() override { return "SQLite3"; }
  std::string OdbcAttributes() override { return {}; }
  std::map<std::string, std::string> m_mapValues;  // by setting name
  std::string m_strBroken;                         // a setting whose store cannot be read
  SettingState Value(const char* name, const char*, std::string& value) override {
    if (m_strBroken == name) return SettingState::Error;
    auto found = m_mapValues.find(name);
    if (found == m_mapValues.end()) return SettingState::Missing;
    value = found->second;
    return SettingState::Found;
  }
};

struct CTestPlatform {
  CLoopbackNetwork network;
  CTestSettings settings;
  CPlatform Get() {
    CPlatform platform = DefaultPlatform();
    platform.pNetwork = &network;
    platform.pSettings = &settings;
    return platform;
  }
};

// The greeting and envelope of a plain send without login, up to DATA's reply.
inline std::vector<CStep> PlainEnvelope(const std::string& from, const std::vector<std::string>& recipients) {
  std::vector<CStep> steps = {CStep::Send("220 relay ready\r\n"), CStep::Expect("HELO [127.0.0.1]\r\n"),
                              CStep::Send("250 hello\r\n"), CStep::Expect("MAIL From:<" + from + ">\r\n"),
                              CStep::Send("250 ok\r\n")};
  for (const std::string& recipient : recipients) {
    steps.push_back(CStep::Expect("RCPT To:<" + recipient + ">\r\n"));
    steps.push_back(CStep::Send("250 ok\r\n"));
  }
  steps.push_back(CStep::Expect("DATA\r\n"));
  steps.push_back(CStep::Send("354 go ahead\r\n"));
  return steps;
}

}  // namespace varnel::test
