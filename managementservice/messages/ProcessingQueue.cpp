#include "managementservice/messages/ProcessingQueue.h"

#include "metrics/ServiceMetrics.h"

void ProcessingQueue::Append(std::unique_ptr<DecodedMessage> item)
{
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_items.push_back(std::move(item));
    metrics::QueueAppended(m_items.back().get());
  }
  m_appended.notify_all();
}

bool ProcessingQueue::IsEmpty() const
{
  std::lock_guard<std::mutex> lock(m_lock);
  return m_items.empty();
}

DecodedMessage* ProcessingQueue::Front() const
{
  std::lock_guard<std::mutex> lock(m_lock);
  return m_items.empty() ? nullptr : m_items.front().get();
}

std::unique_ptr<DecodedMessage> ProcessingQueue::RemoveFront()
{
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_items.empty())
    return nullptr;
  std::unique_ptr<DecodedMessage> item = std::move(m_items.front());
  m_items.pop_front();
  metrics::QueueRemoved(item.get());
  return item;
}

std::size_t ProcessingQueue::Count() const
{
  std::lock_guard<std::mutex> lock(m_lock);
  return m_items.size();
}

bool ProcessingQueue::WaitForItem(std::chrono::milliseconds longest) const
{
  std::unique_lock<std::mutex> lock(m_lock);
  return m_appended.wait_for(lock, longest, [this] { return !m_items.empty(); });
}

ProcessingQueue& ProcessingQueue::Instance()
{
  static ProcessingQueue* queue = new ProcessingQueue;  // outlives every thread that appends
  return *queue;
}
