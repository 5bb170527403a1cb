// Relay profiles on POSIX: the TOML file varnel.conf in the settings folder, one table
// [profile.NAME] per profile, read with toml++ on every call (it is small, and a changed
// file applies at once). Secrets come from files of the process's own user or from the
// output of a command.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include <toml++/toml.h>

#include "platform/ProfileStore.h"
#include "platform/SecretFile.h"
#include "platform/posix/PosixPrivateFile.h"

namespace varnel {
namespace {

constexpr std::size_t kFileLimit = 1024 * 1024;

std::string ConfigPath() { return SettingsDirectory() + "/varnel.conf"; }

// The file names commands that run as this process's user: only root or that user may
// be able to change it.
bool IsTrustedConfig(int descriptor, std::string& reason) {
  struct stat status;
  if (::fstat(descriptor, &status) != 0) {
    reason = std::string("cannot be examined: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    reason = "is not a regular file";
    return false;
  }
  if (status.st_uid != 0 && status.st_uid != ::geteuid()) {
    reason = "belongs to user " + std::to_string(status.st_uid) + ", neither root nor this process's user";
    return false;
  }
  if ((status.st_mode & 022) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    reason = std::string("can be changed by group or others (mode ") + mode + "; chmod 644 it)";
    return false;
  }
  return true;
}

const char* TomlTypeName(toml::node_type type) {
  switch (type) {
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "a whole number";
    case toml::node_type::floating_point: return "a floating-point number";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::date: return "a date";
    case toml::node_type::time: return "a time";
    case toml::node_type::date_time: return "a date and time";
    case toml::node_type::array: return "an array";
    case toml::node_type::table: return "a table";
    case toml::node_type::none: break;
  }
  return "nothing";
}

CStoredValue StoredValue(const toml::node& node) {
  CStoredValue value;
  if (const auto* text = node.as_string()) {
    value.eKind = CStoredValue::Kind::Text;
    value.strText = text->get();
  } else if (const auto* number = node.as_integer()) {
    value.eKind = CStoredValue::Kind::Number;
    value.nNumber = number->get();
  } else if (const auto* flag = node.as_boolean()) {
    value.eKind = CStoredValue::Kind::Boolean;
    value.bValue = flag->get();
  } else if (const auto* array = node.as_array()) {
    value.eKind = CStoredValue::Kind::List;
    for (const toml::node& item : *array) {
      if (const auto* text = item.as_string()) {
        value.arrItems.push_back(text->get());
      } else {
        value.strProblem = std::string("is an array holding ") + TomlTypeName(item.type()) + ", not only strings";
        break;
      }
    }
  } else {
    value.strProblem = std::string("is ") + TomlTypeName(node.type());
  }
  return value;
}

class CPosixProfileStore final : public IProfileStore {
 public:
  std::string Origin() override { return "file " + ConfigPath(); }

  SettingState Read(const std::string& name, CStoredProfile& profile, std::string& error) override {
    toml::table file;
    SettingState state = Load(file, error);
    if (state != SettingState::Found) return state;
    const toml::table* profiles = file["profile"].as_table();
    const toml::node* found = profiles != nullptr ? profiles->get(name) : nullptr;
    if (found == nullptr) return SettingState::Missing;
    const toml::table* table = found->as_table();
    if (table == nullptr) {
      error = "profile." + name + " in " + Origin() + " is " + TomlTypeName(found->type()) + ", not a table";
      return SettingState::Error;
    }
    profile = CStoredProfile();
    profile.strName = name;
    profile.strOrigin = Origin();
    for (const auto& [key, node] : *table) {
      profile.arrValues.emplace_back(std::string(key.str()), StoredValue(node));
    }
    return SettingState::Found;
  }

  SettingState Names(std::vector<std::string>& names, std::string& error) override {
    names.clear();
    toml::table file;
    SettingState state = Load(file, error);
    if (state != SettingState::Found) return state;
    if (const toml::table* profiles = file["profile"].as_table()) {
      for (const auto& entry : *profiles) names.emplace_back(entry.first.str());
    }
    return SettingState::Found;
  }

 private:
  // The whole file, parsed; its only top-level table is "profile", whose members are tables.
  SettingState Load(toml::table& file, std::string& error) {
    std::string path = ConfigPath();
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (descriptor < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return SettingState::Missing;
      error = "the profiles file " + path + " cannot be opened: " + std::strerror(errno);
      return SettingState::Error;
    }
    std::string reason;
    if (!IsTrustedConfig(descriptor, reason)) {
      ::close(descriptor);
      error = "the profiles file " + path + " is refused: it " + reason;
      return SettingState::Error;
    }
    std::string text;
    char buffer[8192];
    for (;;) {
      ssize_t count = ::read(descriptor, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        error = "the profiles file " + path + " cannot be read: " + std::strerror(errno);
        ::close(descriptor);
        return SettingState::Error;
      }
      if (count == 0) break;
      text.append(buffer, static_cast<std::size_t>(count));
      if (text.size() > kFileLimit) {
        ::close(descriptor);
        error = "the profiles file " + path + " is larger than 1 MiB";
        return SettingState::Error;
      }
    }
    ::close(descriptor);
    try {
      file = toml::parse(text, path);
    } catch (const toml::parse_error& fault) {
      const toml::source_position& at = fault.source().begin;
      error = "the profiles file " + path + " does not parse at line " + std::to_string(at.line) + ", column " +
              std::to_string(at.column) + ": " + std::string(fault.description());
      return SettingState::Error;
    }
    for (const auto& [key, node] : file) {
      if (key.str() != "profile") {
        error = "the profiles file " + path + " holds \"" + std::string(key.str()) +
                "\" at its top level; only [profile.NAME] tables belong there";
        return SettingState::Error;
      }
      const toml::table* profiles = node.as_table();
      if (profiles == nullptr) {
        error = "the profiles file " + path + ": \"profile\" is " + TomlTypeName(node.type()) + ", not a table";
        return SettingState::Error;
      }
      for (const auto& [name, member] : *profiles) {
        if (!member.is_table()) {
          error = "the profiles file " + path + ": profile." + std::string(name.str()) + " is " +
                  TomlTypeName(member.type()) + ", not a table";
          return SettingState::Error;
        }
      }
    }
    return SettingState::Found;
  }
};

}  // namespace

IProfileStore& DefaultProfileStore() {
  static CPosixProfileStore store;
  return store;
}

bool ReadSecretFile(const std::string& path, std::string& value, std::string& error) {
  value.clear();
  std::FILE* stream = std::fopen(path.c_str(), "rbe");
  if (stream == nullptr) {
    error = "the file " + path + " cannot be read: " + std::strerror(errno);
    return false;
  }
  std::string reason;
  if (!IsPrivateFile(stream, reason)) {
    std::fclose(stream);
    error = "the file " + path + " is refused: it " + reason;
    return false;
  }
  return ReadOpenSecretFile(stream, path, value, error);
}

bool RunSecretCommand(const std::string& command, std::chrono::milliseconds limit, std::string& value,
                      std::string& error) {
  value.clear();
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    error = std::string("the command cannot be started: ") + std::strerror(errno);
    return false;
  }
  pid_t child = ::fork();
  if (child < 0) {
    error = std::string("the command cannot be started: ") + std::strerror(errno);
    ::close(output[0]);
    ::close(output[1]);
    return false;
  }
  if (child == 0) {
    // Its own process group, so that a time-out ends whatever it started too.
    ::setpgid(0, 0);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 2);
    }
    ::dup2(output[1], 1);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::setpgid(child, child);
  ::close(output[1]);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string text;
  bool overlong = false;
  bool timedOut = false;
  bool ended = false;
  bool closed = false;
  int status = 0;
  // Until the shell has ended and its output is read; something it left running in the
  // background may hold the pipe open, so once the shell has ended only what is already
  // there is taken.
  while (!(ended && closed)) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      break;
    }
    if (!closed) {
      pollfd wait{output[0], POLLIN, 0};
      int ready = ::poll(&wait, 1, ended ? 0 : static_cast<int>(left.count() > 20 ? 20 : left.count()));
      if (ready > 0) {
        char buffer[4096];
        ssize_t count = ::read(output[0], buffer, sizeof buffer);
        if (count > 0) {
          text.append(buffer, static_cast<std::size_t>(count));
          if (text.size() > kSecretLimit) {
            overlong = true;
            break;
          }
          continue;
        }
        if (count == 0 || errno != EINTR) closed = true;
      } else if (ready == 0 && ended) {
        closed = true;
      }
    }
    if (!ended) {
      pid_t done = ::waitpid(child, &status, WNOHANG);
      if (done == child) ended = true;
      if (done < 0 && errno != EINTR) break;
      if (!ended && closed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ::close(output[0]);
  // Whatever is left of it ends here.
  ::kill(-child, SIGKILL);
  if (!ended) {
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (timedOut) {
    error = "the command did not finish within " + std::to_string(limit.count()) + " ms";
    return false;
  }
  if (overlong) {
    error = "the command printed more than 64 KiB";
    return false;
  }
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = WIFEXITED(status) ? "the command exited with status " + std::to_string(WEXITSTATUS(status))
                              : std::string("the command was ended by a signal");
    return false;
  }
  value = SecretFirstLine(text);
  if (value.empty()) {
    error = "the command printed no secret (its first line is empty)";
    return false;
  }
  return true;
}

}  // namespace varnel
