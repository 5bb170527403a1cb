// Clock, calendar and thread identity of the host operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace varnel {

// Seconds since 1 January 1970 UTC.
std::int64_t CurrentTime();
// Broken-down local time or UTC; false when the conversion fails.
bool ToLocalTime(std::int64_t time, std::tm& result);
bool ToUniversalTime(std::int64_t time, std::tm& result);
// Numeric id of the calling thread, as the operating system numbers threads.
long CurrentThreadId();
// Value of an environment variable; empty when unset.
std::string EnvironmentValue(const char* name);
// Appends text to a file, creating it when missing, as a text-mode stream would (line
// feeds become CR LF on Windows). Only regular files are written: a FIFO or device never
// blocks the caller. False when nothing could be written.
// A private file is never reached through a symbolic link and is created readable by its
// owner only (the default log in a shared directory).
bool AppendToFile(const std::string& path, const std::string& text, bool privateFile = false);
// Opens a file for binary reading without waiting on it, then checks the open handle:
// only a regular file is returned (a FIFO or device swapped in never blocks the caller);
// nullptr otherwise. size receives its length at that moment.
std::FILE* OpenRegularFile(const std::string& path, std::uint64_t& size);
// The current length of an open file; false when it cannot be told.
bool OpenFileSize(std::FILE* file, std::uint64_t& size);
// Default path of the diagnostic log file on this operating system.
const char* DefaultLogFileName();
// One line to the system's log: syslog's mail facility as "varnel" (POSIX), the
// Application event log as source "Varnel" (Windows); warning marks a failed send. Best
// effort: nothing is reported when it cannot be written.
void WriteSystemLog(const std::string& line, bool warning);

// Memory for bulk data (captured rows) in blocks of kBulkBlockSize bytes or more, which
// the system may back with large pages, so that filling them takes far fewer page faults.
// Not initialised; nullptr when no memory is left. FreeBulk(nullptr) does nothing.
constexpr std::size_t kBulkBlockSize = std::size_t{2} << 20;
void* AllocateBulk(std::size_t size);
void FreeBulk(void* block);

}  // namespace varnel
