#include "platform/Log.h"

#include <cstdio>
#include <ctime>

#include "platform/System.h"

namespace varnel {

std::string FormatDayTime(const std::tm& time) {
  char buffer[128];
  std::size_t length = std::strftime(buffer, sizeof buffer, "%d %b %Y %H:%M:%S", &time);
  return std::string(buffer, length);
}

std::string FormatLogTime(std::int64_t time) {
  std::tm local{};
  if (!ToLocalTime(time, local)) return {};
  return FormatDayTime(local);
}

void AppendLogLine(std::int32_t debug, const std::string& file, const std::string& message,
                   const long* threadNumber) {
  if (debug <= 0) return;
  if (file.empty()) return;
  std::string text = message;
  std::int64_t now = CurrentTime();
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  std::string line = FormatLogTime(now);
  if (threadNumber != nullptr) {
    char number[32];
    std::snprintf(number, sizeof number, "% ld", *threadNumber);
    line += " - ";
    line += number;
    line += " - ";
  } else {
    line += " - ";
  }
  line += text;
  line += '\n';
  // The default file sits in a shared directory: never followed through a planted link,
  // never readable by others.
  AppendToFile(file, line, file == DefaultLogFileName());
}

}  // namespace varnel
