#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "platform/System.h"

namespace varnel {

std::int64_t CurrentTime() { return static_cast<std::int64_t>(std::time(nullptr)); }

bool ToLocalTime(std::int64_t time, std::tm& result) {
  std::time_t value = static_cast<std::time_t>(time);
  return localtime_r(&value, &result) != nullptr;
}

bool ToUniversalTime(std::int64_t time, std::tm& result) {
  std::time_t value = static_cast<std::time_t>(time);
  return gmtime_r(&value, &result) != nullptr;
}

long CurrentThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

const char* DefaultLogFileName() { return "/tmp/corvane.log"; }

}  // namespace varnel
