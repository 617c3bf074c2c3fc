#include "businesslogic/actions/ConfigMatchesGroupAction.h"

#include <algorithm>
#include <map>
#include <vector>

#include "businesslogic/ClockTicks.h"
#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "dexhandler/DexConfiguration.h"
#include "handlers/AUCoreHandler/AUConfig.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/AUCoreHandler/SameUpdateConfig.h"
#include "platform/text/Unicode.h"

namespace Actions {

namespace {

constexpr LONG kUnexpected = 35;  // ErrorUnexpected

std::vector<LONG> SortedIds(const CComputerList& list)
{
  std::vector<LONG> ids;
  ids.reserve(list.size());
  for (const CComputer& c : list)
    ids.push_back(c.GetID());
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

PTLDB::OperatingSystem OperatingSystemOf(const CComputer& computer)
{
  ULONG group = 0;
  PTLDB::OperatingSystem os = 0;
  GetDatabaseConnection().GetComputerGroupAndOS(computer.GetID(), group, os);
  return os;
}

// True when the document's root element is a whole configuration (every platform) rather than
// one platform's element. Declarations, processing instructions and comments before it are skipped.
bool IsWholeUpdateDocument(const std::wstring& text)
{
  for (size_t at = text.find(L'<'); at != std::wstring::npos; at = text.find(L'<', at + 1)) {
    if (at + 1 < text.size() && (text[at + 1] == L'?' || text[at + 1] == L'!'))
      continue;
    const size_t end = text.find_first_of(L" \t\r\n/>", at + 1);
    std::wstring name = text.substr(at + 1, end == std::wstring::npos ? std::wstring::npos : end - at - 1);
    if (const size_t colon = name.find(L':'); colon != std::wstring::npos)
      name.erase(0, colon + 1);
    return name == L"AUConfigurations";
  }
  return false;
}

}  // namespace

CConfigMatchesGroupAction::CConfigMatchesGroupAction(LONG mode) : m_mode(mode)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "CConfigMatchesGroupAction::CConfigMatchesGroupAction(%i)", mode);
}

std::optional<std::wstring> CConfigMatchesGroupAction::GetPlatform(PTLDB::OperatingSystem os)
{
  switch (os) {
    case 1: case 2: case 3: return L"DEX95";
    case 4: case 5: return L"DEXNT";
    case 6: case 7: case 8: case 9: return L"Tandem";
    case 11: return L"MacOSX";
    case 0: case 10: case 12: case 13:
      trace::Trace(TRACE_BUSINESSLOGIC, 1, "CConfigMatchesGroupAction::GetPlatform unsupported platform %d", static_cast<int>(os));
      return std::nullopt;
    default:
      trace::Trace(TRACE_BUSINESSLOGIC, 0, "CConfigMatchesGroupAction::GetPlatform unknown platform %d", static_cast<int>(os));
      return std::nullopt;
  }
}

void CConfigMatchesGroupAction::ApplyToComputerList(CComputerList& list)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CConfigMatchesGroupAction::ApplyToComputerList(%u)",
                              static_cast<unsigned>(list.size()));
  const std::vector<LONG> wanted = SortedIds(list);
  if (wanted.empty())
    return;
  m_operatingSystems.clear();

  // A few computers (every status reply checks one) are looked up by themselves, which costs a
  // few calls each; more are found by reading the members of every group, which costs one call
  // per group. Either way the groups are checked in tree order, each group's computers in
  // ascending identity order.
  std::map<ULONG, std::vector<LONG>> byGroup;
  if (wanted.size() <= kLookUpLimit) {
    for (const LONG id : wanted) {
      ULONG group = 0;
      PTLDB::OperatingSystem os = 0;
      try {
        GetDatabaseConnection().GetComputerGroupAndOS(id, group, os);
      } catch (const vrn::Exceptions::ComputerDoesNotExist&) {
        continue;  // deleted: no group holds it
      }
      m_operatingSystems[id] = os;
      byGroup[group].push_back(id);
    }
    if (byGroup.empty())
      return;
    if (byGroup.size() == 1) {
      const auto& [group, ids] = *byGroup.begin();
      CheckGroup(CGroup(group), CComputerList(ids.begin(), ids.end()));
      return;
    }
  }

  CGroupList groups;
  CGroup::Root().GetAllChildGroupList(groups);
  for (const CGroup& group : groups) {
    std::vector<LONG> kept;
    if (wanted.size() <= kLookUpLimit) {
      const auto found = byGroup.find(group.GetID());
      if (found == byGroup.end())
        continue;
      kept = found->second;
    } else {
      CComputerList members;
      group.GetComputerList(members);
      const std::vector<LONG> ids = SortedIds(members);
      std::set_intersection(ids.begin(), ids.end(), wanted.begin(), wanted.end(), std::back_inserter(kept));
    }
    if (!kept.empty())
      CheckGroup(group, CComputerList(kept.begin(), kept.end()));
  }
}

void CConfigMatchesGroupAction::CheckGroup(const CGroup& group, const CComputerList& computers)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CConfigMatchesGroupAction::CheckGroup(%u)", group.GetID());
  try {
    AUCoreHandler::AutoUpdateConfiguration auConfig;
    if (WantAutoUpdateChecked())
      group.GetAUConfig(auConfig);
    DexHandler::DexConfiguration dexConfig;
    if (WantDexChecked())
      group.GetDexConfig(dexConfig);
    const CDatabaseConnection& connection = GetDatabaseConnection();
    for (const CComputer& computer : computers) {
      if (WantAutoUpdateChecked())
        RecordCheck(connection.ComputerHasGroupAUConfig(), computer, [&] { return AUConfigMatches(computer, auConfig); });
      if (WantDexChecked())
        RecordCheck(connection.ComputerHasGroupDexConfig(), computer, [&] { return IsEquivalent(computer, dexConfig); });
    }
  } catch (const vrn::Exceptions::ComputerDoesNotExist& e) {
    trace::Trace(TRACE_BUSINESSLOGIC, 1, "Skipping computer as caught %S, %S - Probebly just deleted", e.TypeName(), e.Message());
  }
}

template <class Check>
void CConfigMatchesGroupAction::RecordCheck(const COurCommand& procedure, const CComputer& computer, Check check)
{
  // Unknown is stored before the check, so that a check that fails half-way (the database
  // lost, the computer deleted) leaves no earlier answer standing for the computer.
  Record(procedure, computer, FlagUnknown);
  const FlagState answer = check();
  Record(procedure, computer, answer);
  m_clocks.GetClock(vrn::kComputerStateClock).Tick();
}

void CConfigMatchesGroupAction::Record(const COurCommand& procedure, const CComputer& computer, FlagState flag)
{
  constexpr LONG kComputerNotFound = 39;
  COurCommand cmd = procedure;
  cmd.SetAttribute(L"@ComputerID", computer.GetID());
  if (flag == FlagUnknown)
    cmd.SetAttributeNull(L"@HasGroupConfig");
  else
    cmd.SetAttribute(L"@HasGroupConfig", LONG(flag == FlagYes ? 1 : 0));
  const LONG result = cmd.ExecuteCommand();
  if (result == kComputerNotFound)
    throw vrn::Exceptions::ComputerDoesNotExist(L"Computer does not exist", computer);
  CSPException::Check(result);
}

FlagState CConfigMatchesGroupAction::AUConfigMatches(const CComputer& computer, AUCoreHandler::AutoUpdateConfiguration& groupConfig)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "FlagState CConfigMatchesGroupAction::AUConfigMatches(%i)", computer.GetID());
  if (!groupConfig.IsInitialised())
    return FlagUnknown;
  const auto known = m_operatingSystems.find(computer.GetID());
  const std::optional<std::wstring> platform =
      GetPlatform(known != m_operatingSystems.end() ? known->second : OperatingSystemOf(computer));
  if (!platform)
    return FlagUnknown;
  const std::wstring text = computer.GetAUConfigXML();
  if (text.empty())
    return FlagUnknown;
  // Agents report the one platform's element they were sent; a whole document is read for its
  // computer's platform. A text that does not read raises: the flag stored before the check
  // stays unknown and the caller hears of the broken report (unlike the anti-virus check,
  // which answers unknown itself).
  if (IsWholeUpdateDocument(text)) {
    AUCoreHandler::AutoUpdateConfiguration reported;
    reported.Set(text);
    return AUCoreHandler::SameUpdateConfig(groupConfig.GetConfig(*platform), reported.GetConfig(*platform)) ? FlagYes : FlagNo;
  }
  AUCoreHandler::AUConfig reported;
  reported.Set(text);
  return AUCoreHandler::SameUpdateConfig(groupConfig.GetConfig(*platform), reported) ? FlagYes : FlagNo;
}

FlagState CConfigMatchesGroupAction::IsEquivalent(const CComputer& computer, const DexHandler::DexConfiguration& groupConfig)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "FlagState CConfigMatchesGroupAction::IsEquivalent(%i)", computer.GetID());
  if (!groupConfig.IsInitialised())
    return FlagUnknown;
  const std::wstring text = computer.GetDexConfigXML();
  if (text.empty())
    return FlagUnknown;
  try {
    trace::Trace(TRACE_BUSINESSLOGIC, 2, L"CConfigMatchesGroupAction::Checking IsEquivalent XML: %s", text);
    DexHandler::DexConfiguration reported;
    reported.Set(text);
    return groupConfig.IsEquivalent(reported) ? FlagYes : FlagNo;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_BUSINESSLOGIC, 0, "CConfigMatchesGroupAction::IsEquivalent: %S", FromUtf8(e.what()));
    return FlagUnknown;
  }
}

void CConfigMatchesGroupAction::ApplyToComputer(CComputer& computer)
{
  CComputerList list{computer};
  ApplyToComputerList(list);
}

void CConfigMatchesGroupAction::ApplyToGroup(CGroup& group)
{
  CComputerList members;
  group.GetComputerList(members);
  ApplyToComputerList(members);
}

void CConfigMatchesGroupAction::ApplyToGroupList(CGroupList& list)
{
  for (CGroup& group : list)
    ApplyToGroup(group);
}

void CGetAUConfigAction::ApplyToGroup(CGroup& group)
{
  trace::CFunctionTrace scope(TRACE_BUSINESSLOGIC, "void CGetAUConfigAction::ApplyToGroup(%u)", group.GetID());
  COurCommand cmd = GetDatabaseConnection().GetGroupAUConfigXML();
  cmd.SetAttribute(L"@GroupID", group.GetID());
  std::vector<std::wstring> rows;
  PopulateListFromRowsets<std::vector<std::wstring>, CAUConfigXMLFromADOFields>(cmd, rows);
  CSPException::Check(cmd.GetReturnValue());
  if (rows.size() != 1)
    throw CSPException(kUnexpected);
  if (rows.front().empty())
    m_target.Reset();
  else
    m_target.Set(rows.front());
}

}  // namespace Actions
