#include "mime/MessageCharset.h"

namespace varnel {

bool IsMessageCharset(std::int32_t charset) {
  return charset == kUtf8Charset || (charset >= 1 && charset <= 16 && charset != 12);
}

std::string CharsetName(std::int32_t charset) {
  if (charset == kUtf8Charset) return "utf-8";
  if (!IsMessageCharset(charset)) charset = 1;
  return "iso-8859-" + std::to_string(charset);
}

}  // namespace varnel
