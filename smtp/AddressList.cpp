#include "smtp/AddressList.h"

#include "platform/Network.h"

namespace varnel {
namespace {

constexpr const char* kWhiteSpace = "\t \n\f\r";

void Trim(std::string& text) {
  std::size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string::npos) {
    text.clear();
    return;
  }
  std::size_t last = text.find_last_not_of(kWhiteSpace);
  text = text.substr(first, last - first + 1);
}

// The host name query is answered from the network's own process-wide cache (see the
// platform layer), so every caller sees the same name.
std::string QueryName(INetwork& network) {
  std::string name = network.QueryHostName();
  // Without a name of its own the host still greets and signs as itself.
  if (name.empty()) name = "localhost";
  if (name.size() > 999) name.resize(999);
  return name;
}

}  // namespace

void ParseAddressList(std::string& list, std::vector<std::string>& target) {
  for (char& c : list) {
    if (c == ';') c = ',';
  }
  if (list.empty()) return;
  if (list.find(',') == std::string::npos) {
    std::string copy = list;
    target.push_back(ExtractEmailAddress(copy));
    return;
  }
  std::size_t position = 0;
  for (;;) {
    std::size_t comma = list.find(',', position);
    std::string piece = list.substr(position, comma == std::string::npos ? std::string::npos : comma - position);
    if (!piece.empty()) target.push_back(ExtractEmailAddress(piece));
    if (comma == std::string::npos) break;
    position = comma + 1;
  }
}

std::string ExtractEmailAddress(std::string& text) {
  Trim(text);
  std::size_t open = text.find('<');
  std::size_t close = text.find('>');
  if (open != std::string::npos && close != std::string::npos) {
    if (close <= open + 1) return {};
    return text.substr(open + 1, close - open - 1);
  }
  return text;
}

std::string GetLocalHostName(INetwork& network) { return QueryName(network); }

std::string GetFullyQualifiedName(INetwork& network) {
  std::string name = QueryName(network);
  if (name.find('.') != std::string::npos) return name;
  name = network.QueryFullyQualifiedName();
  if (name.size() > 999) name.resize(999);
  return name.find('.') != std::string::npos ? name : std::string();
}

std::string GetSenderDomain(INetwork& network, const std::string& configured) {
  // Blanks and control characters have no place in a domain.
  std::string domain;
  for (char c : configured) {
    if (static_cast<unsigned char>(c) > 0x20 && c != 0x7F) domain += c;
  }
  if (domain.empty()) domain = GetFullyQualifiedName(network);
  if (domain.empty()) domain = QueryName(network);
  return domain;
}

}  // namespace varnel
