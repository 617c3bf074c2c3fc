#pragma once
// The status replies of one processing pass applied as a set: each reply's documents are read
// once on this side, all the replies go to the database in one call that stores them in order
// with the same procedures as one reply at a time, and the configuration checks of the replies
// are recorded in one more call. What is stored is what the one-reply road stores; a reply the
// set cannot take (a library server's, a document that does not read, a procedure's unusual
// answer) is left to the one-reply road, in its place in the order.
//
// The checks are cheap for a steady fleet: the groups' configurations are parsed once and kept
// while the database's configuration clock stands still, and each decision is remembered by a
// digest of the group's document and the reported one.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "businesslogic/OurCommand.h"
#include "businesslogic/entities/FlagState.h"
#include "handlers/KTDexHandler/KTDexEvent.h"

class EntityEventMessage;
class StatusMessage;
namespace AUCoreHandler {
class AutoUpdateConfiguration;
}
namespace DexHandler {
class DexConfiguration;
class DexEvent;
}

// One per processing thread (its passes keep it): what it keeps belongs to that thread's
// database connection.
class StatusPass
{
public:
  StatusPass();
  ~StatusPass();
  StatusPass(const StatusPass&) = delete;
  StatusPass& operator=(const StatusPass&) = delete;

  // The reply as one row of the set, its documents read; nothing when the set cannot take it.
  static std::optional<std::string> Prepare(const StatusMessage& reply);

  // Stores the replies in order, each from its prepared row, until one the set hands back;
  // returns how many were stored. That one (if any) is for the one-reply road. The clocks tick
  // and the configuration letters are queued as the one-reply road does.
  std::size_t Apply(const std::vector<const StatusMessage*>& replies, const std::vector<std::string>& rows);

  // The same for virus events of the anti-virus product (the other events go one at a time).
  static std::optional<std::string> PrepareEvent(const EntityEventMessage& event);
  std::size_t ApplyEvents(const std::vector<const EntityEventMessage*>& events, const std::vector<std::string>& rows);

  // The virus event as the one-event road reads it from the agent's document (through the
  // stored form), without writing and reading that form where doing so changes nothing.
  static KTDexHandler::Event_t VirusEventAsStored(const DexHandler::DexEvent& agentEvent);

  // For the figures and the tests: how many configuration decisions were taken from memory,
  // and how many times a group's configurations were parsed.
  std::uint64_t RememberedDecisions() const { return m_remembered; }
  std::uint64_t GroupParses() const { return m_groupParses; }
  std::uint64_t StoredReplies() const { return m_stored; }
  // Of those (replies and events), how many the database stored with its steady statements.
  std::uint64_t StoredSteady() const { return m_steady; }

private:
  struct Group;
  Group& GroupOf(unsigned long id);
  FlagState Decide(long computer, long os, Group& group, bool dex, const std::string& reported);

  std::optional<COurCommand> m_apply;
  std::optional<COurCommand> m_record;
  std::optional<COurCommand> m_events;
  const void* m_connection = nullptr;  // the connection the commands were prepared on
  long long m_configurationClock = -1;
  std::map<unsigned long, std::unique_ptr<Group>> m_groups;
  std::unordered_map<std::string, FlagState> m_decisions;
  std::uint64_t m_remembered = 0;
  std::uint64_t m_groupParses = 0;
  std::uint64_t m_stored = 0;
  std::uint64_t m_steady = 0;
};
