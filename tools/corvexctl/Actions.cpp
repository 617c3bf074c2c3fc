#include "tools/corvexctl/Actions.h"

#include <cstdio>
#include <optional>

#include "businesslogic/SystemEnviroment.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "idl/ManagementServiceInterfaces.h"
#include "platform/errortext/ErrorText.h"
#include "tools/corvexctl/Arguments.h"

namespace corvexctl {
namespace {

// The computer IDs of the arguments, or of the group's direct members after "--group G"; an
// argument that is not an ID gives nothing and a message naming it.
std::optional<std::vector<LONG>> ComputerIds(const char* command, const std::vector<std::string>& args, bool groupAllowed)
{
  std::vector<LONG> ids;
  if (groupAllowed && !args.empty() && args[0] == "--group") {
    const long group = args.size() == 2 ? Number(args[1].c_str()) : -1;
    if (group < 0 || group > 0xFFFFFFFFL) {
      std::fprintf(stderr, "corvexctl: %s --group takes one group ID\n", command);
      return std::nullopt;
    }
    CComputerList members;
    CGroup(static_cast<ULONG>(group)).GetComputerList(members);
    for (const CComputer& c : members)
      ids.push_back(c.GetID());
    return ids;
  }
  if (args.empty()) {
    std::fprintf(stderr, "corvexctl: %s needs computer IDs%s\n", command, groupAllowed ? " or --group G" : "");
    return std::nullopt;
  }
  for (const auto& a : args) {
    const long id = Number(a.c_str());
    if (id < 0 || id > 0x7FFFFFFF) {
      std::fprintf(stderr, "corvexctl: %s: \"%s\" is not a computer ID\n", command, a.c_str());
      return std::nullopt;
    }
    ids.push_back(static_cast<LONG>(id));
  }
  return ids;
}

std::string IdList(const std::vector<LONG>& ids)
{
  std::string text;
  for (LONG id : ids)
    text += (text.empty() ? "" : " ") + std::to_string(id);
  return text;
}

int Report(const char* command, HRESULT hr, const std::string& queued, const std::vector<LONG>& ids)
{
  if (FAILED(hr)) {
    std::fprintf(stderr, "corvexctl: %s: the service refused: %s (0x%08X)\n", command, ErrorText(hr).c_str(),
                 static_cast<unsigned>(hr));
    return 1;
  }
  if (ids.empty())
    std::printf("%s: no computers, nothing queued\n", command);
  else
    std::printf("%s: queued %s for %zu computer%s: %s\n", command, queued.c_str(), ids.size(), ids.size() == 1 ? "" : "s",
                IdList(ids).c_str());
  return 0;
}

}  // namespace

int Refresh(const std::vector<std::string>& args)
{
  const auto ids = ComputerIds("refresh", args, false);
  if (!ids)
    return 2;
  auto actions = CreateObjectOnServer<IVRN_ComputerActions>(CLSID_ComputerActions);
  std::vector<LONG> list = *ids;
  return Report("refresh", actions->Refresh(static_cast<ULONG>(list.size()), list.data()), "a status request", list);
}

int UpdateNow(const std::vector<std::string>& args)
{
  const auto ids = ComputerIds("update-now", args, true);
  if (!ids)
    return 2;
  auto actions = CreateObjectOnServer<IVRN_ComputerActions>(CLSID_ComputerActions);
  std::vector<LONG> list = *ids;
  return Report("update-now", actions->UpdateNow(static_cast<ULONG>(list.size()), list.data()),
                "a force-update action (one computer per interval)", list);
}

int CentralConfig(const std::vector<std::string>& args)
{
  if (args.empty() || (args[0] != "on" && args[0] != "off")) {
    std::fprintf(stderr, "corvexctl: usage: central-config on|off ID...\n");
    return 2;
  }
  const bool on = args[0] == "on";
  const auto ids = ComputerIds("central-config", std::vector<std::string>(args.begin() + 1, args.end()), false);
  if (!ids)
    return 2;
  auto actions = CreateObjectOnServer<IVRN_ComputerActions>(CLSID_ComputerActions);
  std::vector<LONG> list = *ids;
  // Switching central configuration off is overriding it.
  return Report("central-config",
                actions->OverrideCentralConfiguration(on ? 0 : 1, static_cast<ULONG>(list.size()), list.data()),
                on ? "central configuration on" : "central configuration off", list);
}

int SendConfig(const std::vector<std::string>& args)
{
  if (args.empty() || (args[0] != "au" && args[0] != "dex")) {
    std::fprintf(stderr, "corvexctl: usage: send-config au|dex ID...|--group G\n");
    return 2;
  }
  const bool au = args[0] == "au";
  const auto ids = ComputerIds("send-config", std::vector<std::string>(args.begin() + 1, args.end()), true);
  if (!ids)
    return 2;
  auto actions = CreateObjectOnServer<IComputerActionsKT>(CLSID_ComputerActionsKT);
  std::vector<LONG> list = *ids;
  const ULONG count = static_cast<ULONG>(list.size());
  const HRESULT hr = au ? actions->SendAUConfig(count, list.data()) : actions->SendDexConfig(count, list.data());
  return Report("send-config", hr,
                au ? "the group's update configuration (computers in a group)"
                   : "the group's anti-virus configuration (computers in a group)",
                list);
}

}  // namespace corvexctl
