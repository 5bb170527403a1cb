#include "oauth/OAuthTokenReply.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/AsciiCase.h"

namespace varnel {
namespace {

constexpr std::size_t kMaxErrorText = 400;

// RFC 6749 appendix A.12: access-token = 1*VSCHAR; anything else cannot go into the
// XOAUTH2 string (or a log line's neighbourhood) unharmed.
bool IsVisibleText(const std::string& text) {
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E) return false;
  }
  return true;
}

// expires_in is a number (RFC 6749 section 5.1); some endpoints send it as a string of
// digits. -1 when absent, -2 when present but unreadable.
std::int64_t ExpiresIn(const nlohmann::json& object) {
  auto found = object.find("expires_in");
  if (found == object.end() || found->is_null()) return -1;
  if (found->is_number_unsigned()) {
    auto value = found->get<std::uint64_t>();
    return value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) ? std::numeric_limits<std::int32_t>::max()
                                                                                         : static_cast<std::int64_t>(value);
  }
  if (found->is_number_integer()) return found->get<std::int64_t>() < 0 ? -2 : found->get<std::int64_t>();
  if (found->is_number_float()) {
    double value = found->get<double>();
    if (!std::isfinite(value) || value < 0) return -2;
    return value > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                            : static_cast<std::int64_t>(value);
  }
  if (found->is_string()) {
    const std::string& text = found->get_ref<const std::string&>();
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return -2;
    return std::stoll(text);
  }
  return -2;
}

std::string StringMember(const nlohmann::json& object, const char* name) {
  auto found = object.find(name);
  if (found == object.end() || !found->is_string()) return {};
  return found->get<std::string>();
}

}  // namespace

std::string PrintablePeerText(const std::string& text, std::size_t maxBytes) {
  std::string out = text.substr(0, maxBytes);
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = ' ';
  }
  return out;
}

bool ReadOAuthTokenReply(int status, const std::string& reason, const std::string& body, COAuthTokenReply& reply,
                         std::string& error) {
  reply = COAuthTokenReply();
  nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
  bool isObject = !document.is_discarded() && document.is_object();

  if (status < 200 || status > 299) {
    // RFC 6749 section 5.2: a refusal names an error code and may describe it.
    std::string code = isObject ? StringMember(document, "error") : std::string();
    std::string description = isObject ? StringMember(document, "error_description") : std::string();
    if (!code.empty()) {
      error = PrintablePeerText(code, 100);
      if (!description.empty()) error += ": " + PrintablePeerText(description, kMaxErrorText);
    } else {
      error = "HTTP " + std::to_string(status);
      std::string words = PrintablePeerText(reason, 100);
      if (!words.empty()) error += " " + words;
      if (status >= 300 && status <= 399) error += " (redirects are not followed)";
    }
    return false;
  }
  if (document.is_discarded()) {
    error = "the token reply is not JSON";
    return false;
  }
  if (!isObject) {
    error = "the token reply is not a JSON object";
    return false;
  }
  auto token = document.find("access_token");
  if (token == document.end() || !token->is_string() || token->get_ref<const std::string&>().empty()) {
    std::string code = StringMember(document, "error");
    error = code.empty() ? "no access_token in the token reply" : PrintablePeerText(code, 100);
    return false;
  }
  const std::string& text = token->get_ref<const std::string&>();
  if (!IsVisibleText(text)) {
    error = "the access_token holds characters a token cannot have";
    return false;
  }
  // RFC 6749 section 7.1: a token of a type the client does not understand is not used.
  auto type = document.find("token_type");
  if (type != document.end() && !(type->is_string() && AsciiLower(type->get_ref<const std::string&>()) == "bearer")) {
    error = "the token is not a Bearer token";
    return false;
  }
  std::int64_t expiresIn = ExpiresIn(document);
  if (expiresIn == -2) {
    error = "bad expires_in in the token reply";
    return false;
  }
  reply.strAccessToken = text;
  reply.nExpiresIn = expiresIn;
  return true;
}

}  // namespace varnel
