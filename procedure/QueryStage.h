// The query stage of a request: builds the query runner from the call's parameters and
// the caller's connection, runs it and hands it to the channel. A connection field that
// does not fit its 500-byte buffer throws CCustomException 11, 12 or 13.
#pragma once

#include <memory>

#include "platform/Platform.h"
#include "platform/ServerCall.h"
#include "smtp/SMTPChannel.h"
#include "procedure/XpParameters.h"
#include "query/SMTPOLEDBQuery.h"

namespace varnel {

// Returns the run flag (the result of RunQuery). The runner is stored in runner as soon
// as it exists, so that the caller owns it even when this throws, and in channel.m_pQuery
// after the run, whatever its outcome.
bool RunQueryStage(const CXpParameters& parameters, CSMTPChannel& channel, IServerCall& server,
                   const CPlatform& platform, std::unique_ptr<CSMTPOLEDBQuery>& runner);

}  // namespace varnel
