// The exports of xp_varnel.dll that the database server looks up by name: the mail
// procedure and the interface version. The library keeps the runtime's default entry
// point: nothing of its own runs at load or unload, where the loader lock is held.
#include "platform/windows/OdsServerCall.h"
#include "procedure/XpVarnel.h"

extern "C" {
int xp_Varnel(SRV_PROC* server);
// Exported as __GetXpVersion (see xp_varnel.def): C++ reserves names with "__".
unsigned long VarnelGetXpVersion();
}

int xp_Varnel(SRV_PROC* server) {
  // Without a handle there is nobody to answer, not even with a done notice.
  if (server == nullptr) return 1;
  try {
    varnel::COdsServerCall call(server);
    return varnel::XpVarnel(call, varnel::DefaultPlatform());
  } catch (...) {
    // The procedure answers its own exceptions; anything else must still not unwind
    // into the server's frames, which know nothing of C++ exceptions.
    return 1;
  }
}

unsigned long VarnelGetXpVersion() { return varnel::GetXpVersion(); }
