#include "security/MemBuff.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "security/SecurityException.h"

namespace LanternSecurity {

MemBuff::MemBuff(std::size_t length)
{
  if (length == 0)
    return;
  m_data = static_cast<std::uint8_t*>(std::calloc(length, 1));
  if (!m_data)
    LANTERN_THROW(InsufficientMemory);
  m_length = length;
}

MemBuff::MemBuff(const void* data, std::size_t length) : MemBuff(length)
{
  if (length)
    std::memcpy(m_data, data, length);
}

MemBuff::~MemBuff() { Release(); }

MemBuff::MemBuff(MemBuff&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_length(std::exchange(other.m_length, 0))
{
}

MemBuff& MemBuff::operator=(MemBuff&& other) noexcept
{
  if (this != &other) {
    Release();
    m_data = std::exchange(other.m_data, nullptr);
    m_length = std::exchange(other.m_length, 0);
  }
  return *this;
}

void MemBuff::Shrink(std::size_t length) noexcept
{
  if (length >= m_length)
    return;
  OPENSSL_cleanse(m_data + length, m_length - length);
  m_length = length;
}

void MemBuff::Release() noexcept
{
  if (m_data) {
    // The block may have grown smaller by Shrink; the tail was wiped then.
    OPENSSL_cleanse(m_data, m_length);
    std::free(m_data);
  }
  m_data = nullptr;
  m_length = 0;
}

}  // namespace LanternSecurity
