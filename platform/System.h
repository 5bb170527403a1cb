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
// Appends text to a log file, creating it when missing, as a text-mode stream would (line
// feeds become CR LF on Windows). Only regular files are written: a FIFO or device never
// blocks the caller. The file's own name is never followed when it is a link (POSIX:
// O_NOFOLLOW; Windows: a reparse point is not followed), a new file is readable by its
// owner only, and in a shared folder (sticky and writable by others) a file that another
// user planted is refused, as the kernel's protected_regular does. False, with the reason
// in error, when nothing could be written.
bool AppendToFile(const std::string& path, const std::string& text, std::string* error = nullptr);
// Opens a file for binary reading without waiting on it, then checks the open handle:
// only a regular file is returned (a FIFO or device swapped in never blocks the caller);
// nullptr otherwise. size receives its length at that moment.
std::FILE* OpenRegularFile(const std::string& path, std::uint64_t& size);
// The current length of an open file; false when it cannot be told.
bool OpenFileSize(std::FILE* file, std::uint64_t& size);
// A file whose rights let users other than its owner read it (POSIX: group or others
// may read); false where that cannot be told.
bool ReadableByOthers(const std::string& path);
// Keeps the secrets this process holds (passwords, client secrets, tokens) out of core
// dumps and away from debuggers and other processes of the same user (Linux: not
// dumpable, no core file). False when the system refused.
bool ProtectProcessSecrets();
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
