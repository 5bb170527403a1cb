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
// The host's fully qualified name: the host name when it holds a full stop, else the
// name the system knows the host by when that holds one; empty when there is none.
std::string GetFullyQualifiedName(INetwork& network);
// The domain of the default sender, the name the relay is greeted with: configured (the
// HeloName setting) when given, else the fully qualified name, else the bare host name.
std::string GetSenderDomain(INetwork& network, const std::string& configured);

}  // namespace varnel
