// The tests' OAuth token endpoint (tests/e2e/token_endpoint.py over TLS with a PKI made at
// test time) as a child process: its URL and CA file are read from its first line; it is
// ended with the object.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace varnel::test {

// The endpoint as a child process, ended when the test ends.
class CTokenEndpointProcess {
 public:
  explicit CTokenEndpointProcess(const std::vector<std::string>& options) {
    std::string script = std::string(VARNEL_TEST_DATA_DIR) + "/../e2e/token_endpoint.py";
    std::vector<std::string> words = {"/usr/bin/python3", script, "serve"};
    words.insert(words.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&m_nPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_nPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::FILE* stream = ::fdopen(out[0], "r");
    char line[1024] = {};
    if (stream != nullptr && std::fgets(line, sizeof line, stream) != nullptr) {
      std::string text(line);
      std::size_t space = text.find(' ');
      if (space != std::string::npos) {
        m_strUrl = text.substr(0, space);
        m_strCaFile = text.substr(space + 1, text.find_last_not_of("\r\n") - space);
      }
    }
    if (stream != nullptr) std::fclose(stream);
  }
  ~CTokenEndpointProcess() {
    if (m_nPid > 0) {
      ::kill(m_nPid, SIGTERM);
      int status = 0;
      ::waitpid(m_nPid, &status, 0);
    }
  }
  std::string m_strUrl;
  std::string m_strCaFile;

 private:
  pid_t m_nPid = -1;
};

}  // namespace varnel::test
