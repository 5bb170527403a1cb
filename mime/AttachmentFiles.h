// The files an attachment list names, its wildcards expanded once: what the policy check
// before MAIL looks at is what every composition of the message attaches. Expansion and
// the check report through their results; nothing is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/AttachmentPolicy.h"
#include "platform/FileSystem.h"

namespace varnel {

struct CAttachmentFiles {
  bool bExpanded = false;              // false: the list has not been expanded yet
  std::vector<std::string> arrNames;   // as the file system names them (UTF-8)
  std::vector<std::string> arrPaths;   // full paths, in the same order
  // The length of each file when it was checked (UINT64_MAX: it could not be opened then):
  // every composition of the message sends at most that much of it.
  std::vector<std::uint64_t> arrSizes;
};

// Appends every regular file matching one name or wildcard pattern.
void AddMatchingFiles(IFileSystem& fileSystem, const std::string& pattern, CAttachmentFiles& files);
// The files of a list: items separated by ";" or "," with blanks around them dropped (a
// lone item is used as given, blanks and all), each expanded in order.
CAttachmentFiles ExpandAttachmentList(IFileSystem& fileSystem, const std::string& list);
// Whether every file may be attached, each opened and checked as it is when sent; false
// with the reason for the first refused one. A file that cannot be opened is no refusal
// (the message carries a note instead). Records each file's length in arrSizes.
bool CheckAttachmentFiles(CAttachmentFiles& files, const CAttachmentPolicy& policy, std::string& refusal);

}  // namespace varnel
