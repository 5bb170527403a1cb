// Text from outside (relay replies, token endpoints, database drivers, the caller's query)
// made safe for the log and the outcome row: control characters are replaced by "?", so
// no text can move a terminal's cursor, ring it, or start a log line of its own.
//
// Censored: C0 (0x00-0x1F) except TAB, DEL (0x7F) and C1 (U+0080-U+009F). What is a C1
// character depends on the text's encoding, so it is decided line by line: a line that is
// valid UTF-8 is read as UTF-8 and only the characters U+0080-U+009F (C2 80 to C2 9F) are
// censored, never the continuation bytes of other characters; any other line is
// single-byte text and the bytes 0x80-0x9F themselves are censored. TAB is kept: it
// cannot end a line, and drivers and relays use it in their texts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnel {

// One line with every control character censored (CR and LF included).
std::string CensorLine(std::string_view line);

// The lines of text, each censored: CR LF, a lone LF and a lone CR end a line; line ends
// at the very end add no empty line. An empty text is one empty line.
std::vector<std::string> CensoredLines(std::string_view text);

// The censored lines joined by separator (for a text that must stay one line).
std::string CensorText(std::string_view text, std::string_view separator);

// The text censored line by line with its CR and LF bytes kept where they are (for a
// multi-line text shown as a whole, such as a relay's multi-line reply).
std::string CensorKeepingLineEnds(std::string_view text);

// True when text is well-formed UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF).
bool IsValidUtf8(std::string_view text);

}  // namespace varnel
