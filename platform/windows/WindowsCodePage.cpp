// Code page conversions through the Windows code page API (MultiByteToWideChar and
// WideCharToMultiByte), which every Windows has without any runtime library.
#include <string>

#include "platform/CodePage.h"
#include "platform/windows/WindowsHeaders.h"

namespace varnel {
namespace SystemCodePage {

bool Decode(int codePage, std::string_view bytes, std::u16string& out) {
  UINT page = static_cast<UINT>(codePage);
  if (!::IsValidCodePage(page)) return false;
  out.clear();
  if (bytes.empty()) return true;
  int units = ::MultiByteToWideChar(page, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (units <= 0) return false;
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  ::MultiByteToWideChar(page, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), units);
  out.assign(wide.begin(), wide.end());
  return true;
}

bool Encode(int codePage, std::u16string_view text, std::string& out) {
  UINT page = static_cast<UINT>(codePage);
  if (!::IsValidCodePage(page)) return false;
  out.clear();
  if (text.empty()) return true;
  std::wstring wide(text.begin(), text.end());
  // No best fit: a character the code page lacks becomes "?", never a look-alike.
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  int bytes = ::WideCharToMultiByte(page, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, "?", nullptr);
  if (bytes <= 0) {
    flags = 0;
    bytes = ::WideCharToMultiByte(page, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, "?", nullptr);
  }
  if (bytes <= 0) return false;
  out.assign(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(page, flags, wide.data(), static_cast<int>(wide.size()), out.data(), bytes, "?", nullptr);
  return true;
}

bool IsLeadByte(int codePage, unsigned char byte) {
  return ::IsDBCSLeadByteEx(static_cast<UINT>(codePage), byte) != FALSE;
}

int AnsiCodePage() { return static_cast<int>(::GetACP()); }

}  // namespace SystemCodePage
}  // namespace varnel
