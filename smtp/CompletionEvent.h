// Signalled once by the dialogue when the conversation has ended, well or badly; the
// delivery worker's wait loop ends when it sees it.
#pragma once

#include <atomic>

namespace varnel {

class CCompletionEvent {
 public:
  void Set() { m_bSignalled.store(true, std::memory_order_release); }
  bool IsSet() const { return m_bSignalled.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> m_bSignalled{false};
};

}  // namespace varnel
