#pragma once
// An owned block of bytes with its length, zero-filled when allocated and wiped before it is
// released, because these blocks hold keys, IVs and plain credentials.
#include <cstddef>
#include <cstdint>

namespace LanternSecurity {

class MemBuff
{
public:
  MemBuff() = default;
  // InsufficientMemory when the block cannot be had.
  explicit MemBuff(std::size_t length);
  MemBuff(const void* data, std::size_t length);
  ~MemBuff();
  MemBuff(MemBuff&& other) noexcept;
  MemBuff& operator=(MemBuff&& other) noexcept;
  MemBuff(const MemBuff&) = delete;
  MemBuff& operator=(const MemBuff&) = delete;

  std::uint8_t* Data() noexcept { return m_data; }
  const std::uint8_t* Data() const noexcept { return m_data; }
  std::size_t Length() const noexcept { return m_length; }
  // Keeps the first `length` bytes (never grows) and wipes the rest.
  void Shrink(std::size_t length) noexcept;
  void Release() noexcept;

private:
  std::uint8_t* m_data = nullptr;
  std::size_t m_length = 0;
};

}  // namespace LanternSecurity
