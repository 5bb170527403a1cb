// Address lists: free-text recipient lists become bare envelope addresses; the sender
// and the local host names used in the greeting and the default sender.
// Nothing here fails: malformed addresses are left for the relay to judge.
#pragma once

#include <string>
#include <vector>

namespace varnel {

class INetwork;

// Appends the addresses of list to target; semicolons in list become commas in place.
void ParseAddressList(std::string& list, std::vector<std::string>& target);
// Trims text in place and returns the address between "<" and ">", or the whole text.
std::string ExtractEmailAddress(std::string& text);
// The local host name (the network keeps it once queried).
std::string GetLocalHostName(INetwork& network);
// The host name, with ".com" appended when it holds no full stop .
std::string GetSenderDomain(INetwork& network);

}  // namespace varnel
