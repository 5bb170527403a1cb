#include "procedure/XpVarnel.h"

namespace varnel {

std::uint32_t GetXpVersion() { return 0x07000000; }

std::uint16_t XpVarnel(IServerCall& server, const CPlatform&) {
  server.SendDone(kDoneMore, 0, 0);
  return 1;
}

}  // namespace varnel
