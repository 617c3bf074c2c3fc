#include "tools/agent-sim/EventMix.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "messaging/ProcessSupport.h"

namespace agentsim {

namespace {

EventKind KindOf(const std::string& name)
{
  EventKind kind;
  if (!ParseEventKind(name, kind)) {
    std::string known;
    for (EventKind k : AllEventKinds())
      known += std::string(known.empty() ? "" : ", ") + EventKindName(k);
    throw std::invalid_argument("unknown event kind `" + name + "` (expected " + known + ")");
  }
  return kind;
}

}  // namespace

EventMix::EventMix()
{
  for (EventKind kind : AllEventKinds())
    m_weights.emplace_back(kind, 1);
}

EventMix EventMix::Parse(const std::string& text)
{
  if (text == "mixed")
    return EventMix();
  EventMix mix;
  mix.m_weights.clear();
  if (text.find('=') == std::string::npos) {
    mix.m_weights.emplace_back(KindOf(text), 1);
    return mix;
  }
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    const auto eq = item.find('=');
    if (eq == std::string::npos)
      throw std::invalid_argument("`" + item + "`: expected kind=weight");
    const EventKind kind = KindOf(item.substr(0, eq));
    if (std::any_of(mix.m_weights.begin(), mix.m_weights.end(), [&](const auto& w) { return w.first == kind; }))
      throw std::invalid_argument("event kind `" + item.substr(0, eq) + "` given twice");
    mix.m_weights.emplace_back(kind, static_cast<unsigned>(messaging::ParseWholeNumber("weight of " + item.substr(0, eq),
                                                                                       item.substr(eq + 1), 0, 1000)));
  }
  if (std::none_of(mix.m_weights.begin(), mix.m_weights.end(), [](const auto& w) { return w.second > 0; }))
    throw std::invalid_argument("every weight is 0: no event would be sent");
  return mix;
}

bool EventMix::Pick(unsigned n, const std::vector<EventKind>& available, EventKind& kind) const
{
  unsigned round = 0;
  for (const auto& [k, weight] : m_weights)
    if (std::find(available.begin(), available.end(), k) != available.end())
      round += weight;
  if (round == 0)
    return false;
  unsigned turn = n % round;
  for (const auto& [k, weight] : m_weights) {
    if (std::find(available.begin(), available.end(), k) == available.end())
      continue;
    if (turn < weight) {
      kind = k;
      return true;
    }
    turn -= weight;
  }
  return false;
}

}  // namespace agentsim
