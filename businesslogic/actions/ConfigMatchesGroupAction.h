#pragma once
// Decides for each computer whether the configurations it reported equal its group's central
// ones, and records the answer (yes, no or unknown) in the database: the update configuration
// for the computer's platform, the anti-virus configuration by the handler library's
// equivalence. Applied to a computer, a list, a group (its own computers) or a list of groups.
#include <map>
#include <optional>
#include <string>

#include "businesslogic/Clocks.h"
#include "businesslogic/actions/ActionBase.h"
#include "businesslogic/entities/FlagState.h"
#include "businesslogic/entities/OperatingSystem.h"
#include "platform/com/WinTypes.h"

class CComputer;
class CGroup;
class COurCommand;

namespace AUCoreHandler {
class AutoUpdateConfiguration;
}
namespace DexHandler {
class DexConfiguration;
}

namespace Actions {

class CConfigMatchesGroupAction : public CActionBase
{
public:
  // What is checked.
  enum Mode : LONG { CheckBoth = 0, CheckAutoUpdateOnly = 1, CheckDexOnly = 2 };

  explicit CConfigMatchesGroupAction(LONG mode = CheckBoth);

  void ApplyToComputerList(CComputerList& list) override;
  void ApplyToComputer(CComputer& computer) override;
  void ApplyToGroupList(CGroupList& list) override;
  void ApplyToGroup(CGroup& group) override;

  // Unknown when the group has no update configuration, the computer no platform or no
  // reported configuration; otherwise whether the computer's configuration for its platform is
  // the same as the group's. A reported configuration that cannot be read raises.
  virtual FlagState AUConfigMatches(const CComputer& computer, AUCoreHandler::AutoUpdateConfiguration& groupConfig);
  // Unknown when the group has no anti-virus configuration or the computer reported none (or
  // one that cannot be read); otherwise whether the two are equivalent.
  virtual FlagState IsEquivalent(const CComputer& computer, const DexHandler::DexConfiguration& groupConfig);

  bool WantAutoUpdateChecked() const noexcept { return m_mode == CheckBoth || m_mode == CheckAutoUpdateOnly; }
  bool WantDexChecked() const noexcept { return m_mode == CheckBoth || m_mode == CheckDexOnly; }

  // The update configuration platform of an operating-system code; none (traced) for codes
  // that have no update configuration.
  static std::optional<std::wstring> GetPlatform(PTLDB::OperatingSystem os);

private:
  void CheckGroup(const CGroup& group, const CComputerList& computers);
  // Stores the flag with the procedure.
  void Record(const COurCommand& procedure, const CComputer& computer, FlagState flag);
  // One check of one computer: unknown stored, the check, its answer stored, the
  // computer-state clock ticked once. A check that throws leaves the flag unknown, unticked.
  template <class Check>
  void RecordCheck(const COurCommand& procedure, const CComputer& computer, Check check);

  // Up to this many computers are looked up one by one rather than found in every group.
  static constexpr std::size_t kLookUpLimit = 16;

  LONG m_mode;
  vrn::CClocks m_clocks;
  // Operating systems read while looking the computers up, so that each is read once.
  std::map<LONG, PTLDB::OperatingSystem> m_operatingSystems;
};

// Fills the update configuration it was made with from a group's stored one (cleared when the
// group has none). A procedure failure throws CSPException; a result other than one row is
// CSPException 35 (ErrorUnexpected).
class CGetAUConfigAction : public CActionBase
{
public:
  explicit CGetAUConfigAction(AUCoreHandler::AutoUpdateConfiguration& target) : m_target(target) {}
  void ApplyToGroup(CGroup& group) override;

private:
  AUCoreHandler::AutoUpdateConfiguration& m_target;
};

}  // namespace Actions
