// Database client seam used by the query runner (ODBC behind it).
#pragma once

namespace varnel {

class IDatabaseClient {
 public:
  virtual ~IDatabaseClient() = default;
};

}  // namespace varnel
