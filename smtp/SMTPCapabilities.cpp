#include "smtp/SMTPCapabilities.h"

#include "platform/AsciiCase.h"

namespace varnel {
namespace {

// The blank-separated words of one line.
std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    std::size_t end = at;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    if (end > at) words.emplace_back(line.substr(at, end - at));
    at = end;
  }
  return words;
}

}  // namespace

CSMTPCapabilities CSMTPCapabilities::Parse(std::string_view reply) {
  CSMTPCapabilities result;
  bool first = true;
  while (!reply.empty()) {
    std::size_t end = reply.find("\r\n");
    std::string_view line = reply.substr(0, end);
    reply = end == std::string_view::npos ? std::string_view() : reply.substr(end + 2);
    // The first line carries the relay's name, not an extension.
    if (first || line.size() < 4) {
      first = false;
      continue;
    }
    std::vector<std::string> words = Words(line.substr(4));
    if (words.empty()) continue;
    std::string keyword = AsciiUpper(words.front());
    if (keyword == "STARTTLS") {
      result.bStartTls = true;
    } else if (keyword == "8BITMIME") {
      result.b8BitMime = true;
    } else if (keyword == "SIZE") {
      result.bSize = true;
      // "SIZE" alone or "SIZE 0" announces no fixed limit.
      if (words.size() > 1 && words[1].size() <= 19) {
        std::uint64_t value = 0;
        bool digits = true;
        for (char c : words[1]) {
          if (c < '0' || c > '9') digits = false;
          else value = value * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (digits) result.nMaxSize = value;
      }
    } else if (keyword == "AUTH" || keyword.rfind("AUTH=", 0) == 0) {
      // "AUTH=LOGIN PLAIN" is the form some older relays still send.
      result.bAuthListed = true;
      if (keyword.size() > 5) words.front() = keyword.substr(5);
      else words.erase(words.begin());
      for (const std::string& word : words) {
        std::string name = AsciiUpper(word);
        if (!result.OffersMechanism(name)) result.arrAuthMechanisms.push_back(std::move(name));
      }
    }
  }
  return result;
}

bool CSMTPCapabilities::OffersMechanism(std::string_view name) const {
  for (const std::string& offered : arrAuthMechanisms) {
    if (offered == name) return true;
  }
  return false;
}

}  // namespace varnel
