// Address lists: free-text recipient lists become bare envelope addresses; the sender
// and the local host names used in the greeting and the default sender.
// Lists are read as RFC 5322 section 3.4 writes them (quoted strings, comments, angle
// brackets); an address that would change the meaning of MAIL From or RCPT To (a blank,
// "<", ">" or a control character in it) is refused with a text naming it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnel {

class INetwork;

// Appends the envelope addresses of list to target and returns true. "," and ";"
// separate addresses where they stand outside quoted strings, comments and angle
// brackets; each such ";" becomes "," in place. An empty piece adds nothing, a piece of
// white space an empty address. Returns false with refusal naming the first address that
// cannot be sent; target then holds the addresses before it.
bool ParseAddressList(std::string& list, std::vector<std::string>& target, std::string& refusal);
// Trims text in place and returns its envelope address: what stands between the first
// "<" outside quoted strings and comments and the next ">", else the whole text, in both
// cases without comments and surrounding white space. fault is empty when the address
// can be sent, else says why not (see AddressRefusal).
std::string ExtractEmailAddress(std::string& text, std::string& fault);
// "the address "TEXT" FAULT", TEXT shortened and with control characters shown as \xNN.
std::string AddressRefusal(std::string_view text, std::string_view fault);
// The pieces of list between its separators (as ParseAddressList cuts it), as written.
std::vector<std::string_view> SplitAddressList(std::string_view list);
// The local host name (the network keeps it once queried).
std::string GetLocalHostName(INetwork& network);
// The host's fully qualified name: the host name when it holds a full stop, else the
// name the system knows the host by when that holds one; empty when there is none.
std::string GetFullyQualifiedName(INetwork& network);
// The domain of the default sender, the name the relay is greeted with: configured (the
// HeloName setting) when given, else the fully qualified name, else the bare host name.
std::string GetSenderDomain(INetwork& network, const std::string& configured);

}  // namespace varnel
