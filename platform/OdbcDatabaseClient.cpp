#include "platform/DatabaseClient.h"
#include "platform/Platform.h"

namespace varnel {
namespace {
class COdbcDatabaseClient final : public IDatabaseClient {};
}  // namespace

IDatabaseClient& DefaultDatabaseClient() {
  static COdbcDatabaseClient client;
  return client;
}

}  // namespace varnel
