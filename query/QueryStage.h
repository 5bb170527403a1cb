// Placeholder until the query stage lands.
#pragma once
#include <memory>
#include "platform/Platform.h"
#include "platform/ServerCall.h"
#include "procedure/SMTPChannel.h"
#include "procedure/XpParameters.h"
#include "query/SMTPOLEDBQuery.h"
namespace varnel {
inline bool RunQueryStage(const CXpParameters&, CSMTPChannel&, IServerCall&, const CPlatform&,
                          std::unique_ptr<CSMTPOLEDBQuery>&) {
  return false;
}
}  // namespace varnel
