// Diagnostic log lines: one open, append, close per message. A log that cannot be written
// never stops a send; the first reason is kept so that the call can tell its caller.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

namespace varnel {

// "%d %b %Y %H:%M:%S" (day, English month, year, 24-hour time): the stamp of log lines
// and of the message's Date header.
std::string FormatDayTime(const std::tm& time);

// The same in local time; empty when the conversion fails.
std::string FormatLogTime(std::int64_t time);

// Appends message to file when debug is positive: one line per line of the message, each
// with the prefix ("time -  N - " with a thread number, "time - " without) and with its
// control characters censored (platform/TextCensor.h), so that no text from outside can
// forge a line of its own. False, with the reason in error, when the file could not be
// written.
bool AppendLogLine(std::int32_t debug, const std::string& file, const std::string& message,
                   const long* threadNumber, std::string* error = nullptr);

// The first reason a writer's log file could not be written, for the caller's messages.
// Writers on several threads may record at once.
class CLogProblem {
 public:
  void Record(const std::string& reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_strReason.empty()) m_strReason = reason;
  }
  std::string Reason() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strReason;
  }

 private:
  mutable std::mutex m_mutex;
  std::string m_strReason;
};

}  // namespace varnel
