// The media type of an attached file (RFC 2046), chosen by its extension from a built-in
// table of common types; anything else is application/octet-stream. Never fails.
#pragma once

#include <string>
#include <string_view>

namespace varnel {

// "type/subtype" for a file name, matched on the text after its last "." without regard
// to case. A name without an extension, or with one not in the table, is
// "application/octet-stream".
std::string_view AttachmentType(std::string_view fileName);
// True for text/* types: their parts carry the charset and CR LF line breaks.
bool IsTextType(std::string_view type);

}  // namespace varnel
