// One column of a captured result set: the name the database reported and the width of
// the text slot its values were fetched into.
#pragma once

#include <cstdint>
#include <string>

namespace varnel {

class CSMTPColumn {
 public:
  std::string m_strName;    // empty for a column without a name
  std::uint64_t m_nWidth = 0;  // bytes of the slot, terminating zero included
};

}  // namespace varnel
