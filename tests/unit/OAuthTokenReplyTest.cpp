// The token endpoint's JSON: granted tokens and their lifetime, refusals in the endpoint's
// own words, and replies that grant nothing usable.
#include <gtest/gtest.h>

#include "oauth/OAuthTokenReply.h"

using namespace varnel;

TEST(OAuthTokenReplyTest, ReadsGrantsAndRefusals) {
  struct {
    int nStatus;
    const char* pBody;
    bool bGranted;
    const char* pTokenOrError;
    std::int64_t nExpiresIn;
  } const cases[] = {
      {200, R"({"token_type":"Bearer","expires_in":3599,"access_token":"eyJ0.a-b_c"})", true, "eyJ0.a-b_c", 3599},
      {200, R"({"access_token":"t","expires_in":"3599"})", true, "t", 3599},  // a string, as some endpoints send
      {200, R"({"access_token":"t","expires_in":59.9,"token_type":"bearer"})", true, "t", 59},
      {200, R"({"access_token":"t"})", true, "t", -1},
      {200, R"({"access_token":"t","expires_in":1e300})", true, "t", 2147483647},
      {401, R"({"error":"invalid_client","error_description":"AADSTS7000215: Invalid client secret provided."})", false,
       "invalid_client: AADSTS7000215: Invalid client secret provided.", 0},
      {400, R"({"error":"invalid_scope"})", false, "invalid_scope", 0},
      {400, "{\"error\":\"x\",\"error_description\":\"line\\r\\nbreak\"}", false, "x: line  break", 0},
      {503, "<html>down</html>", false, "HTTP 503 Service Unavailable", 0},
      {302, "", false, "HTTP 302 Service Unavailable (redirects are not followed)", 0},
      {200, "<html></html>", false, "the token reply is not JSON", 0},
      {200, "[1,2]", false, "the token reply is not a JSON object", 0},
      {200, R"({"token_type":"Bearer"})", false, "no access_token in the token reply", 0},
      {200, R"({"access_token":""})", false, "no access_token in the token reply", 0},
      {200, R"({"access_token":42})", false, "no access_token in the token reply", 0},
      {200, R"({"error":"temporarily_unavailable"})", false, "temporarily_unavailable", 0},
      {200, R"({"access_token":"a\u0001b"})", false, "the access_token holds characters a token cannot have", 0},
      {200, R"({"access_token":"a b\u00e9"})", false, "the access_token holds characters a token cannot have", 0},
      {200, R"({"access_token":"t","token_type":"mac"})", false, "the token is not a Bearer token", 0},
      {200, R"({"access_token":"t","expires_in":-5})", false, "bad expires_in in the token reply", 0},
      {200, R"({"access_token":"t","expires_in":"soon"})", false, "bad expires_in in the token reply", 0},
      {200, R"({"access_token":"t","expires_in":[1]})", false, "bad expires_in in the token reply", 0},
  };
  for (const auto& c : cases) {
    COAuthTokenReply reply;
    std::string error;
    bool granted = ReadOAuthTokenReply(c.nStatus, "Service Unavailable", c.pBody, reply, error);
    EXPECT_EQ(granted, c.bGranted) << c.pBody;
    if (c.bGranted) {
      EXPECT_EQ(reply.strAccessToken, c.pTokenOrError) << c.pBody;
      EXPECT_EQ(reply.nExpiresIn, c.nExpiresIn) << c.pBody;
    } else {
      EXPECT_EQ(error, c.pTokenOrError) << c.pBody;
      EXPECT_EQ(reply.strAccessToken, "");
    }
  }
}

TEST(OAuthTokenReplyTest, LongEndpointWordsAreCut) {
  std::string body = R"({"error":"e","error_description":")" + std::string(5000, 'd') + "\"}";
  COAuthTokenReply reply;
  std::string error;
  EXPECT_FALSE(ReadOAuthTokenReply(400, "", body, reply, error));
  EXPECT_EQ(error, "e: " + std::string(400, 'd'));
}
