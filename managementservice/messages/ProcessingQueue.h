#pragma once
// The one process-wide FIFO of work for the processing thread. Each operation is atomic; no lock
// is held while an item is processed. Ownership passes to the queue on Append and back to the
// caller on RemoveFront.
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

  static ProcessingQueue& Instance();

private:
  mutable std::mutex m_lock;
  std::deque<std::unique_ptr<DecodedMessage>> m_items;
};
