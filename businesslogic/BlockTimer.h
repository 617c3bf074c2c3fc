#pragma once
// CBlockTimer: traces how long a block took, from construction to destruction, with the
// high-resolution counter.
#include <cstdint>
#include <string>

#include "platform/com/Guid.h"

class CBlockTimer
{
public:
  // Traces "Start timing <label> ... " at level 2 when the counter is available.
  CBlockTimer(const GUID& component, const char* label);
  // Traces the elapsed time at level 2, or that the counter is missing.
  ~CBlockTimer();
  CBlockTimer(const CBlockTimer&) = delete;
  CBlockTimer& operator=(const CBlockTimer&) = delete;

  // The counter's frequency in ticks per second, 0 when the platform has none.
  static std::uint64_t Frequency() noexcept;
  static std::uint64_t Counter() noexcept;

private:
  GUID m_component;
  std::string m_label;
  std::uint64_t m_frequency;
  std::uint64_t m_start = 0;
};
