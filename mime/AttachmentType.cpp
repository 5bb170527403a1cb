#include "mime/AttachmentType.h"

#include "platform/AsciiCase.h"

namespace varnel {
namespace {

struct CExtensionType {
  std::string_view strExtension;
  std::string_view strType;
};

// Types as IANA registers them; the office formats are those their makers register.
constexpr CExtensionType kTypes[] = {
    {"txt", "text/plain"},
    {"log", "text/plain"},
    {"sql", "text/plain"},
    {"ini", "text/plain"},
    {"csv", "text/csv"},
    {"tsv", "text/tab-separated-values"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"xml", "text/xml"},
    {"css", "text/css"},
    {"md", "text/markdown"},
    {"ics", "text/calendar"},
    {"rtf", "application/rtf"},
    {"json", "application/json"},
    {"pdf", "application/pdf"},
    {"zip", "application/zip"},
    {"gz", "application/gzip"},
    {"tgz", "application/gzip"},
    {"tar", "application/x-tar"},
    {"7z", "application/x-7z-compressed"},
    {"png", "image/png"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"gif", "image/gif"},
    {"bmp", "image/bmp"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"svg", "image/svg+xml"},
    {"webp", "image/webp"},
    {"mp3", "audio/mpeg"},
    {"wav", "audio/wav"},
    {"mp4", "video/mp4"},
    {"doc", "application/msword"},
    {"xls", "application/vnd.ms-excel"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
};

constexpr std::string_view kDefaultType = "application/octet-stream";

}  // namespace

std::string_view AttachmentType(std::string_view fileName) {
  std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return kDefaultType;
  std::string extension = AsciiLower(std::string(fileName.substr(dot + 1)));
  for (const CExtensionType& entry : kTypes) {
    if (entry.strExtension == extension) return entry.strType;
  }
  return kDefaultType;
}

bool IsTextType(std::string_view type) { return type.substr(0, 5) == "text/"; }

}  // namespace varnel
