#include "mime/AttachmentFiles.h"

#include "mime/InputFile.h"

namespace varnel {
namespace {

constexpr char kListSeparators[] = "\t \n\f\r";

}  // namespace

void AddMatchingFiles(IFileSystem& fileSystem, const std::string& pattern, CAttachmentFiles& files) {
  for (CFoundFile& found : fileSystem.FindFiles(pattern)) {
    files.arrNames.push_back(std::move(found.strName));
    files.arrPaths.push_back(std::move(found.strFullPath));
  }
}

CAttachmentFiles ExpandAttachmentList(IFileSystem& fileSystem, const std::string& attachments) {
  CAttachmentFiles files;
  files.bExpanded = true;
  std::string list = attachments;
  for (char& c : list) {
    if (c == ';') c = ',';
  }
  if (list.find(',') == std::string::npos) {
    // A lone item is used as given, blanks and all.
    AddMatchingFiles(fileSystem, list, files);
    return files;
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = list.find(',', start);
    std::size_t end = comma == std::string::npos ? list.size() : comma;
    std::size_t first = list.find_first_not_of(kListSeparators, start);
    if (first != std::string::npos && first < end) {
      std::size_t last = list.find_last_not_of(kListSeparators, end - 1);
      AddMatchingFiles(fileSystem, list.substr(first, last - first + 1), files);
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return files;
}

bool CheckAttachmentFiles(CAttachmentFiles& files, const CAttachmentPolicy& policy, std::string& refusal) {
  files.arrSizes.assign(files.arrPaths.size(), UINT64_MAX);
  for (std::size_t index = 0; index < files.arrPaths.size(); ++index) {
    CInputFile file(files.arrPaths[index]);
    if (!file.IsOpen()) continue;
    if (!policy.Allows(file.Get(), files.arrPaths[index], refusal)) return false;
    files.arrSizes[index] = file.Size();
  }
  return true;
}

}  // namespace varnel
