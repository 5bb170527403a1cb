// Delivery of one filled channel, run on the worker thread that Initialise starts: checks
// the addresses and attachments, obtains an OAuth token where one is wanted, then tries the
// relays in order, round after round, each attempt one dialogue (CSMTPSocket). Every
// failure becomes the channel's status code; each attempt is kept in m_arrAttempts.
#pragma once

#include <string>

namespace varnel {

class CSMTPChannel;

class CDeliveryWorker {
 public:
  explicit CDeliveryWorker(CSMTPChannel& channel) : m_channel(channel) {}
  CDeliveryWorker(const CDeliveryWorker&) = delete;
  CDeliveryWorker& operator=(const CDeliveryWorker&) = delete;

  // The whole delivery; true when the last dialogue ran to its end (whatever its outcome).
  bool Run();

 private:
  // One attempt at the relay m_strAddress:m_nPort, its outcome in the channel.
  // lostConnection: no connection, or it ended or timed out before the dialogue did;
  // failure: why no connection could be made (empty when one was).
  // False only where the whole call must end (no socket could be created).
  bool TryRelay(bool refreshableToken, bool& lostConnection, std::string& failure);
  // Ends the call whose bound has passed: status 8 with what happened so far.
  bool EndCallTimeUp();

  CSMTPChannel& m_channel;
};

}  // namespace varnel
