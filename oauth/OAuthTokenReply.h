// The token endpoint's answer to a client-credentials request (RFC 6749 sections 5.1 and
// 5.2), read from the HTTP status and the JSON body. A reply that grants no usable token
// is a failure whose text carries the endpoint's own words, never an exception.
#pragma once

#include <cstdint>
#include <string>

namespace varnel {

struct COAuthTokenReply {
  std::string strAccessToken;
  // Seconds the token lives, as the endpoint said; -1 when it did not say.
  std::int64_t nExpiresIn = -1;
};

// Reads the reply of an HTTP exchange. True with reply filled when a bearer token was
// granted; false with error set otherwise: "invalid_client: <error_description>" for a
// refusal in JSON, "HTTP 503 Service Unavailable" for one without, or what was wrong
// with the JSON. Texts from the endpoint are cut short and stripped of control characters.
bool ReadOAuthTokenReply(int status, const std::string& reason, const std::string& body, COAuthTokenReply& reply,
                         std::string& error);

// A peer's text as it may go into a log line or ErrorMessage: control characters become
// spaces, at most maxBytes bytes are kept.
std::string PrintablePeerText(const std::string& text, std::size_t maxBytes);

}  // namespace varnel
