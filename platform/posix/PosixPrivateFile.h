// The check a file that holds a secret must pass on POSIX.
#pragma once

#include <cstdio>
#include <string>

namespace varnel {

// The open file is a regular file of this process's user, closed to group and others;
// false with the reason (for a message naming the file) otherwise.
bool IsPrivateFile(std::FILE* stream, std::string& reason);

}  // namespace varnel
