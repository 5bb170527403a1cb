#include "platform/Log.h"

#include <cstdio>
#include <ctime>

#include "platform/System.h"
#include "platform/TextCensor.h"

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

bool AppendLogLine(std::int32_t debug, const std::string& file, const std::string& message,
                   const long* threadNumber, std::string* error) {
  if (debug <= 0) return true;
  if (file.empty()) {
    if (error != nullptr) *error = "no file name";
    return false;
  }
  std::int64_t now = CurrentTime();
  std::string prefix = FormatLogTime(now);
  if (threadNumber != nullptr) {
    char number[32];
    std::snprintf(number, sizeof number, "% ld", *threadNumber);
    prefix += " - ";
    prefix += number;
    prefix += " - ";
  } else {
    prefix += " - ";
  }
  // All lines of one message in one write, so that they stay together.
  std::string lines;
  for (const std::string& line : CensoredLines(message)) {
    lines += prefix;
    lines += line;
    lines += '\n';
  }
  return AppendToFile(file, lines, error);
}

}  // namespace varnel
