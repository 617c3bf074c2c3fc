#pragma once
// The computers an install queue holds, in order, with at most one entry per computer. The list
// has its own lock: the console's threads add while the queue's worker takes.
//
// Entries carry passwords. A list of nodes never moves or reassigns an entry when another one
// leaves (a contiguous container shifts its neighbours by assignment, which leaves pieces of a
// longer password behind); each entry is copied in once, out once, and wipes itself when it goes.
#include <algorithm>
#include <cstddef>
#include <list>
#include <mutex>
#include <vector>

template <class Entry>
class InstallList
{
public:
  // Appends the entry at the back; a waiting entry of the same computer leaves first.
  void Replace(const Entry& entry)
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_list.remove_if([&](const Entry& e) { return e.computerID == entry.computerID; });
    m_list.push_back(entry);
  }

  // Appends the entry unless its computer already waits; false when it did.
  bool AddIfAbsent(const Entry& entry)
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (ContainsLocked(entry.computerID))
      return false;
    m_list.push_back(entry);
    return true;
  }

  bool Pop(Entry& entry)
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_list.empty())
      return false;
    entry = m_list.front();
    m_list.pop_front();
    return true;
  }

  void Clear()
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_list.clear();
  }

  // Empties the list; the computers it held, in order.
  auto Take()
  {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<decltype(Entry::computerID)> ids;
    for (const Entry& e : m_list)
      ids.push_back(e.computerID);
    m_list.clear();
    return ids;
  }

  std::size_t Size() const
  {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_list.size();
  }

  bool Contains(const Entry& entry) const
  {
    std::lock_guard<std::mutex> lock(m_lock);
    return ContainsLocked(entry.computerID);
  }

private:
  template <class Id>
  bool ContainsLocked(Id computerID) const
  {
    return std::any_of(m_list.begin(), m_list.end(), [&](const Entry& e) { return e.computerID == computerID; });
  }

  mutable std::mutex m_lock;
  std::list<Entry> m_list;
};
