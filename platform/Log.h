// Diagnostic log lines: one open, append, close per line; silent on every failure.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace varnel {

// "%d %b %Y %H:%M:%S" (day, English month, year, 24-hour time): the stamp of log lines
// and of the message's Date header.
std::string FormatDayTime(const std::tm& time);

// The same in local time; empty when the conversion fails.
std::string FormatLogTime(std::int64_t time);

// Appends one line to file when debug is positive. With a thread number the line reads
// "time -  N - message", without one "time - message".
void AppendLogLine(std::int32_t debug, const std::string& file, const std::string& message,
                   const long* threadNumber);

}  // namespace varnel
