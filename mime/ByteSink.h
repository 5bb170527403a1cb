// Where the encoders and the attachment writer put their output. The SMTP data stream
// implements it over the connection (buffered); tests collect into memory.
#pragma once

#include <cstddef>
#include <string_view>

namespace varnel {

class IByteSink {
 public:
  virtual ~IByteSink() = default;
  // Appends bytes to the stream. A sink whose connection failed drops them silently;
  // its owner reports the failure once the writer has finished.
  virtual void Write(const char* data, std::size_t size) = 0;
  // True once the bytes can no longer arrive anywhere: writers stop producing them.
  virtual bool Failed() const { return false; }
  void Write(std::string_view text) { Write(text.data(), text.size()); }
};

}  // namespace varnel
