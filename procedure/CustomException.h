// The procedure's own exception: carries a channel status code (11, 12 or 13) from the
// query stage to the procedure's handler.
#pragma once

#include <cstdint>

namespace varnel {

class CCustomException {
 public:
  explicit CCustomException(std::int32_t code) : m_nCode(code) {}
  std::int32_t Code() const { return m_nCode; }

 private:
  std::int32_t m_nCode;
};

}  // namespace varnel
