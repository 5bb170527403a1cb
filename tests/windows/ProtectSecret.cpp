// Test helper: protects its argument with DPAPI in machine scope and prints the blob as
// hex, as `reg add ... /t REG_BINARY /d HEX` takes it (what an administrator's PowerShell
// line does with ProtectedData.Protect).
#include <cstdio>
#include <cstring>

#include "platform/windows/WindowsHeaders.h"

#include <wincrypt.h>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: protect_secret TEXT\n");
    return 2;
  }
  DATA_BLOB in{static_cast<DWORD>(std::strlen(argv[1])), reinterpret_cast<BYTE*>(argv[1])};
  DATA_BLOB out{0, nullptr};
  if (!::CryptProtectData(&in, nullptr, nullptr, nullptr, nullptr,
                          CRYPTPROTECT_LOCAL_MACHINE | CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    std::fprintf(stderr, "CryptProtectData failed: %lu\n", static_cast<unsigned long>(::GetLastError()));
    return 1;
  }
  for (DWORD i = 0; i < out.cbData; ++i) std::printf("%02x", out.pbData[i]);
  std::printf("\n");
  ::LocalFree(out.pbData);
  return 0;
}
