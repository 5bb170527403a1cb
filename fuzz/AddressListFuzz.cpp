// Fuzz target: arbitrary caller text as a recipient list and as a sender. Whatever the
// text, no envelope address the reader hands on holds a blank, "<", ">" or a control
// character, a refusal names the address without control characters, the list keeps its
// length (only separating ";" become ","), reading the result again changes nothing, the
// addresses read back the same in angle brackets, and a list that is not refused gives a
// header block whose lines all stay within 998 octets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mime/ByteSink.h"
#include "mime/HeaderFieldWriter.h"
#include "platform/Platform.h"
#include "smtp/AddressList.h"
#include "smtp/MessageComposer.h"
#include "smtp/SMTPChannel.h"

namespace {

class CStringSink final : public varnel::IByteSink {
 public:
  std::string m_strText;
  using IByteSink::Write;
  void Write(const char* data, std::size_t size) override { m_strText.append(data, size); }
};

bool HasControl(std::string_view text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

void CheckAddress(const std::string& address) {
  if (HasControl(address) || address.find_first_of(" <>") != std::string::npos) std::abort();
}

// Reads list, checks what every reading must give, and returns whether it was accepted.
bool Read(const std::string& input, std::string& list, std::vector<std::string>& addresses) {
  list = input;
  std::string refusal;
  bool accepted = varnel::ParseAddressList(list, addresses, refusal);
  if (accepted != refusal.empty() || HasControl(refusal)) std::abort();
  for (const std::string& address : addresses) CheckAddress(address);
  if (list.size() != input.size()) std::abort();
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i] != input[i] && !(input[i] == ';' && list[i] == ',')) std::abort();
  }
  return accepted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  std::string list;
  std::vector<std::string> addresses;
  bool accepted = Read(input, list, addresses);

  // A second reading of the list as it was left finds the same and changes nothing.
  std::string again;
  std::vector<std::string> addressesAgain;
  if (Read(list, again, addressesAgain) != accepted || addressesAgain != addresses || again != list) std::abort();

  // The sender is read by the same rules.
  std::string from = input;
  std::string fault;
  std::string sender = varnel::ExtractEmailAddress(from, fault);
  if (fault.empty()) CheckAddress(sender);

  if (!accepted) return 0;
  if (varnel::SplitAddressList(list).size() != addresses.size()) std::abort();

  // Every address reads back as itself in angle brackets, alone and in a list.
  std::string bracketed;
  std::vector<std::string> expected;
  for (const std::string& address : addresses) {
    std::string mailbox = "Name <" + address + ">";
    std::string mailboxFault;
    if (varnel::ExtractEmailAddress(mailbox, mailboxFault) != address || !mailboxFault.empty()) std::abort();
    if (address.empty()) continue;
    bracketed += (bracketed.empty() ? "<" : ", <") + address + ">";
    expected.push_back(address);
  }
  std::string rebuilt;
  std::vector<std::string> rebuiltAddresses;
  if (!bracketed.empty() && (!Read(bracketed, rebuilt, rebuiltAddresses) || rebuiltAddresses != expected)) {
    std::abort();
  }

  // A list that is not refused as too long gives header lines within 998 octets.
  varnel::CSMTPChannel channel(varnel::DefaultPlatform());
  channel.m_strFrom = fault.empty() ? from : std::string("f@example.com");
  channel.m_strRecipient = list;
  channel.m_strCC = list;
  if (!varnel::CMessageComposer::OverlongAddress(channel).empty()) return 0;
  CStringSink sink;
  varnel::CMessageComposer composer(channel, sink);
  composer.SetMessageId("<id@example.com>");
  std::string header = composer.FormatHeader(0);
  for (std::size_t start = 0; start < header.size();) {
    std::size_t end = header.find("\r\n", start);
    if (end == std::string::npos || end - start > varnel::CHeaderFieldWriter::kMaxLine) std::abort();
    start = end + 2;
  }
  return 0;
}
