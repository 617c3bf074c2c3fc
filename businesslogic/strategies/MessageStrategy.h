#pragma once
// How one software entity's documents reach the database: a strategy per entity name writes
// what the entity's status, configuration and event documents say. Strategies hold no state
// and catch nothing: a document that does not read, a procedure that fails, propagates to the
// message processor.
#include <string>

#include "businesslogic/entities/Computer.h"
#include "platform/com/WinTypes.h"

namespace vrn {

// The state of an entity that comes with its status text. Other values are unexpected and
// written nowhere.
enum Availability : LONG
{
  NotInstalled = 0,
  InstalledAndReporting = 1,  // the status text is valid
  InstalledNotRunning = 2,
};

}  // namespace vrn

namespace priv {

class CMessageStrategy
{
public:
  // The texts are UTF-8 XML as the entity sent them.
  virtual void HandleStatusMessage(const CComputer& computer, const std::string& status, vrn::Availability availability) const = 0;
  virtual void HandleConfigMessage(const CComputer& computer, const std::string& config) const = 0;
  virtual void HandleEventMessage(const CComputer& computer, const std::string& event, const std::string& entityName) const = 0;
  virtual ~CMessageStrategy() = default;
};

class DexMessageStrategy : public CMessageStrategy
{
public:
  void HandleStatusMessage(const CComputer& computer, const std::string& status, vrn::Availability availability) const override;
  void HandleConfigMessage(const CComputer& computer, const std::string& config) const override;
  // Virus found: a virus alert. Application message: an error alert when the event names the
  // component that raised it. Scan complete: the computer's last scan. Others: nothing.
  void HandleEventMessage(const CComputer& computer, const std::string& event, const std::string& entityName) const override;
};

// The update component's status and configuration are not stored from these messages; its
// application events become error alerts.
class AutoUpdateMessageStrategy : public CMessageStrategy
{
public:
  void HandleStatusMessage(const CComputer& computer, const std::string& status, vrn::Availability availability) const override;
  void HandleConfigMessage(const CComputer& computer, const std::string& config) const override;
  void HandleEventMessage(const CComputer& computer, const std::string& event, const std::string& entityName) const override;
};

// A library server reports a status and nothing else.
class CTzLibraryMessageStrategy : public CMessageStrategy
{
public:
  void HandleStatusMessage(const CComputer& computer, const std::string& status, vrn::Availability availability) const override;
  void HandleConfigMessage(const CComputer& computer, const std::string& config) const override;
  // std::runtime_error "Not implemented!".
  void HandleEventMessage(const CComputer& computer, const std::string& event, const std::string& entityName) const override;
};

}  // namespace priv
