#pragma once
// The one process-wide FIFO of work for the processing thread. Each operation is atomic; no lock
// is held while an item is processed. Ownership passes to the queue on Append and back to the
// caller on RemoveFront. The consumer can wait for the next item rather than poll for it.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "managementservice/messages/DecodedMessage.h"

class ProcessingQueue
{
public:
  void Append(std::unique_ptr<DecodedMessage> item);
  bool IsEmpty() const;
  // The oldest item, still owned by the queue; null when empty.
  DecodedMessage* Front() const;
  std::unique_ptr<DecodedMessage> RemoveFront();
  std::size_t Count() const;
  // Waits until an item is queued, at most `longest`; true when one is.
  bool WaitForItem(std::chrono::milliseconds longest) const;

  static ProcessingQueue& Instance();

private:
  mutable std::mutex m_lock;
  mutable std::condition_variable m_appended;
  std::deque<std::unique_ptr<DecodedMessage>> m_items;
};
