#pragma once
// Owns an implementation object with value semantics: copies are deep, a moved-from handle
// holds a fresh implementation. The owner declares its special members in its header and
// defaults them where the implementation is complete.
#include <memory>
#include <utility>

namespace KTDexHandler {

template <class Impl>
class ValueHandle
{
public:
  ValueHandle() : m_impl(std::make_unique<Impl>()) {}
  ValueHandle(const ValueHandle& other) : m_impl(std::make_unique<Impl>(*other.m_impl)) {}
  ValueHandle(ValueHandle&& other) : ValueHandle() { std::swap(m_impl, other.m_impl); }
  ValueHandle& operator=(const ValueHandle& other)
  {
    if (this != &other)
      *m_impl = *other.m_impl;
    return *this;
  }
  ValueHandle& operator=(ValueHandle&& other) noexcept
  {
    std::swap(m_impl, other.m_impl);
    return *this;
  }
  ~ValueHandle() = default;

  Impl* operator->() const noexcept { return m_impl.get(); }
  Impl& operator*() const noexcept { return *m_impl; }

private:
  std::unique_ptr<Impl> m_impl;
};

}  // namespace KTDexHandler
