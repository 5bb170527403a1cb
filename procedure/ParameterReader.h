// Reads the parameters of one xp_Varnel call in named or positional form. A refused call
// has been answered (message, usage text, done notice) when ReadXpParameters returns
// false; an unknown name is answered the same way but does not refuse the call.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ServerCall.h"
#include "procedure/XpParameters.h"

namespace varnel {

bool ReadXpParameters(IServerCall& server, CXpParameters& parameters);

inline constexpr const char* kMinimumParametersMessage =
    "The minimum parameters are Recipient, From and Address. All must be supplied.\n";
// Answers a named call that left out @from or @address with no profile to give them as
// ReadXpParameters answers one without its minimum parameters; the call is then over.
void RefuseWithoutMinimum(IServerCall& server);

// The usage text sent after every refusal.
std::string BuildUsageText();
// Sends message (bounded to 254 characters) and the usage text; the caller sends the
// done notice.
void SendUsageMessage(IServerCall& server, const std::string& message);

// UTF-16 (low byte first) narrowed to 8-bit text: U+0000 to U+00FF keep their Latin-1
// byte, every other character becomes "?"; a U+0000 ends the text.
std::string NarrowUnicode(const unsigned char* data, std::size_t size);
// UTF-16 (low byte first) as UTF-8, every character kept, for a UTF-8 message; a U+0000
// ends the text.
std::string UnicodeToUtf8(const unsigned char* data, std::size_t size);

// An @codepage that the message can carry: an ISO-8859 part or UTF-8 that this system
// can convert text to.
bool IsUsableCharset(std::int32_t charset);

// The caller's connection field that holds its code page as decimal text.
inline constexpr int kConnectionCodePageField = ConnectionInfo::CodePage;

}  // namespace varnel
