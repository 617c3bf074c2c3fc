#pragma once
// The bases of the database entities: TDBEntity holds an entity's identity (everything else is
// read from the database on demand), TList is an ordered list of entities of one kind.
#include <vector>

#include "businesslogic/TraceComponent.h"
#include "platform/trace/Trace.h"

template <class T, class Id>
class TDBEntity
{
public:
  using IdType = Id;

  explicit TDBEntity(Id id) : m_id(id) { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "TDBEntity(%i)", id); }
  TDBEntity(const TDBEntity& right) : m_id(right.m_id)
  {
    trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "TDBEntity(const TDBEntity& right(%i)", right.m_id);
  }
  TDBEntity& operator=(const TDBEntity& right)
  {
    trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "TDBEntity& operator=(const TDBEntity& right)");
    m_id = right.m_id;
    return *this;
  }
  virtual ~TDBEntity() { trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "virtual ~TDBEntity()"); }

  Id GetID() const noexcept { return m_id; }
  friend bool operator==(const TDBEntity& a, const TDBEntity& b) noexcept { return a.m_id == b.m_id; }

private:
  Id m_id;
};

template <class T>
class TList : public std::vector<T>
{
public:
  using std::vector<T>::vector;
};
