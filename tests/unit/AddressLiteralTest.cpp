// The SMTP address literal both socket layers give for their local end.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <cstring>

#include "platform/RelayAddress.h"

namespace varnel {
namespace {

sockaddr_storage Address(int family, const char* text) {
  sockaddr_storage address{};
  address.ss_family = static_cast<sa_family_t>(family);
  if (family == AF_INET) inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr);
  if (family == AF_INET6) inet_pton(AF_INET6, text, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr);
  return address;
}

TEST(AddressLiteralTest, FormatsEachFamilyAsRfc5321Says) {
  struct Case {
    int family;
    const char* address;
    const char* literal;
  } const cases[] = {
      {AF_INET, "192.0.2.7", "[192.0.2.7]"},
      {AF_INET, "127.0.0.1", "[127.0.0.1]"},
      {AF_INET6, "2001:db8::7", "[IPv6:2001:db8::7]"},
      {AF_INET6, "::1", "[IPv6:::1]"},
      // A dual-stack socket's IPv4 peer: the IPv4 form, as a relay sees the connection.
      {AF_INET6, "::ffff:192.0.2.7", "[192.0.2.7]"},
      {AF_UNIX, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AddressLiteral(Address(c.family, c.address)), c.literal) << c.address;
  }
}

}  // namespace
}  // namespace varnel
