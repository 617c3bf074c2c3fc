#pragma once
// Where the message processors hand an entity's documents: the sink picks the strategy of the
// entity's name and lets it write them for the computer the message came from. Nothing is
// caught here: an unknown entity name (vrn::Exceptions::UnrecognisedEntity), a document that
// does not read or a procedure that fails propagates to the processor.
#include <string>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/strategies/MessageStrategy.h"

namespace vrn {

class CMessageSink
{
public:
  explicit CMessageSink(const CComputer& computer);
  CMessageSink(const CMessageSink&) = default;
  CMessageSink& operator=(const CMessageSink&) = default;

  // The configuration first, then the status: a configuration that fails leaves the status of
  // the same message unwritten.
  void ProcessMessage(const std::string& entityName, const std::string& status, const std::string& config,
                      Availability availability) const;
  void ProcessEventMessage(const std::string& entityName, const std::string& event) const;

  const CComputer& Computer() const noexcept { return m_computer; }

private:
  CComputer m_computer;
};

}  // namespace vrn
