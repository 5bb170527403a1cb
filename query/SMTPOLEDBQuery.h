// Placeholder until the query runner lands.
#pragma once
#include <string>
namespace varnel {
class CSMTPOLEDBQuery {
 public:
  std::string GetQueryError() const { return {}; }
};
}  // namespace varnel
