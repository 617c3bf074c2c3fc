#pragma once
// Which events the simulated computers send on their own schedule, and how often of each kind.
#include <string>
#include <utility>
#include <vector>

#include "tools/agent-sim/AgentDocuments.h"

namespace agentsim {

class EventMix
{
public:
  // Every kind once in turn.
  EventMix();
  // "mixed" (every kind once in turn), one kind name, or a list "kind=weight,..." (weights
  // 0-1000, at least one above 0). std::invalid_argument naming what is wrong.
  static EventMix Parse(const std::string& text);

  // The kind of a computer's n-th scheduled event among the kinds its components raise, each
  // kind taking as many turns in a round as its weight; false when none of them is in the mix.
  bool Pick(unsigned n, const std::vector<EventKind>& available, EventKind& kind) const;

  const std::vector<std::pair<EventKind, unsigned>>& Weights() const { return m_weights; }

private:
  std::vector<std::pair<EventKind, unsigned>> m_weights;
};

}  // namespace agentsim
