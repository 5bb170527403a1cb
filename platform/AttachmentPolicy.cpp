#include "platform/AttachmentPolicy.h"

#include "platform/Settings.h"

namespace varnel {
namespace {

constexpr const char* kFoldersSetting = "AttachmentFolders";
constexpr const char* kFoldersVariable = "VARNEL_ATTACHMENT_FOLDERS";
constexpr const char* kBlanks = " \t";

}  // namespace

CAttachmentPolicy::CAttachmentPolicy() {
  for (auto& [path, what] : attachment_paths::ProtectedFolders()) m_arrRefusedFolders.push_back({path, what});
}

bool CAttachmentPolicy::Load(ISettings& settings, std::string& error) {
  std::string value;
  switch (settings.Value(kFoldersSetting, kFoldersVariable, value)) {
    case SettingState::Missing:
      m_bLimited = false;
      m_arrAllowedFolders.clear();
      return true;
    case SettingState::Error:
      error = std::string("the ") + kFoldersSetting + " setting cannot be read";
      return false;
    case SettingState::Found:
      break;
  }
  std::vector<std::string> folders;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = value.find_first_of(";\r\n", start);
    std::string item = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::size_t first = item.find_first_not_of(kBlanks);
    if (first != std::string::npos) {
      item = item.substr(first, item.find_last_not_of(kBlanks) - first + 1);
      if (!attachment_paths::IsAbsoluteFolder(item)) {
        error = std::string("the ") + kFoldersSetting + " setting names a folder that is not an absolute path: " +
                item.substr(0, 200);
        return false;
      }
      folders.push_back(attachment_paths::RealFolderPath(item));
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  m_bLimited = true;
  m_arrAllowedFolders = std::move(folders);
  return true;
}

void CAttachmentPolicy::RefuseFile(const std::string& path, const std::string& what) {
  if (!path.empty()) m_arrRefusedFolders.push_back({attachment_paths::RealFolderPath(path), what, true});
}

void CAttachmentPolicy::RefuseFolder(const std::string& path, const std::string& what) {
  if (!path.empty()) m_arrRefusedFolders.push_back({attachment_paths::RealFolderPath(path), what, false});
}

bool CAttachmentPolicy::Allows(std::FILE* file, const std::string& path, std::string& reason) const {
  std::string real;
  if (!attachment_paths::RealPathOfOpenFile(file, path, real, reason)) return false;
  std::string named = real == path ? path : path + " (" + real + ")";
  if (attachment_paths::IsKernelFile(file)) {
    reason = named + " is a file of the kernel, which is never attached";
    return false;
  }
  for (const CRefusedFolder& folder : m_arrRefusedFolders) {
    if (folder.bFile && attachment_paths::IsBelow(real, folder.strPath)) {
      reason = named + " is " + folder.strWhat + ", which is never attached";
      return false;
    }
    if (attachment_paths::IsBelow(real, folder.strPath)) {
      reason = named + " lies in " + folder.strWhat + " " + folder.strPath + ", whose files are never attached";
      return false;
    }
  }
  if (!m_bLimited) return true;
  for (const std::string& folder : m_arrAllowedFolders) {
    if (attachment_paths::IsBelow(real, folder)) return true;
  }
  reason = named + " is not below a folder of the " + kFoldersSetting + " setting";
  return false;
}

}  // namespace varnel
