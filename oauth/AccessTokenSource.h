// Where a sign-in takes its bearer token from: the seam between the mail dialogue and the
// token code, so that the dialogue asks for a token without knowing of endpoints, caches
// or settings. Failure is a false result; what went wrong is logged by the source.
#pragma once

#include <string>

namespace varnel {

class IAccessTokenSource {
 public:
  virtual ~IAccessTokenSource() = default;
  // The token to sign in with; fresh: the one handed out before was refused, so a new one
  // from the endpoint, never the same again. False when there is none.
  virtual bool Get(bool fresh, std::string& token) = 0;
};

}  // namespace varnel
