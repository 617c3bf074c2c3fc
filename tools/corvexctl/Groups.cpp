#include "tools/corvexctl/Groups.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "businesslogic/SPException.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "businesslogic/exceptions/GroupExceptions.h"
#include "platform/text/Unicode.h"
#include "tools/corvexctl/Arguments.h"

namespace corvexctl {
namespace {

const char* const kGroupUsage =
  "usage: group create NAME [PARENT] | group rename ID NAME | group move ID PARENT | group delete ID |\n"
  "       group add-computer ID COMPUTER   (PARENT: a group ID or \"root\")\n";

// A group named on the command line: an ID, or "root" where a parent is asked for.
std::optional<CGroup> GroupArgument(const std::string& text, bool rootAllowed)
{
  if (rootAllowed && text == "root")
    return CGroup::Root();
  const long id = Number(text.c_str());
  if (id < 0 || id > 0x7FFFFFFF)
    return std::nullopt;
  return CGroup(static_cast<ULONG>(id));
}

std::string NameOf(const CGroup& group)
{
  if (group.IsUnassigned())
    return "(unassigned)";
  return ToUtf8(group.GetName());
}

void PrintBranch(const GroupHierarchyTree& tree, ULONG parent, int depth, std::vector<std::string>& lines)
{
  struct Child
  {
    std::string name;
    CGroup group;
  };
  std::vector<Child> children;
  const auto [begin, end] = tree.equal_range(parent);
  for (auto it = begin; it != end; ++it) {
    const CGroup group(it->second);
    children.push_back({NameOf(group), group});
  }
  // By name, the unassigned group last.
  std::sort(children.begin(), children.end(), [](const Child& a, const Child& b) {
    if (a.group.IsUnassigned() != b.group.IsUnassigned())
      return b.group.IsUnassigned();
    return a.name < b.name;
  });
  for (const Child& child : children) {
    CComputerList members;
    child.group.GetComputerList(members);
    const std::string id = child.group.IsUnassigned() ? "" : " [" + std::to_string(child.group.GetID()) + "]";
    lines.push_back(std::string(2 * depth, ' ') + child.name + id + "  " + std::to_string(members.size()) +
                    (members.size() == 1 ? " computer" : " computers"));
    PrintBranch(tree, child.group.GetID(), depth + 1, lines);
  }
}

int Usage()
{
  std::fputs(kGroupUsage, stderr);
  return 2;
}

int BadId(const char* what, const std::string& text)
{
  std::fprintf(stderr, "corvexctl: group: \"%s\" is not a %s\n", text.c_str(), what);
  return 2;
}

}  // namespace

int Groups(const std::vector<std::string>& args)
{
  if (!args.empty()) {
    std::fprintf(stderr, "corvexctl: groups takes no arguments\n");
    return 2;
  }
  GroupHierarchyTree tree;
  CGroup::GetGroupHierarchyTree(tree);
  std::vector<std::string> lines;
  PrintBranch(tree, CGroup::RootID, 0, lines);
  for (const std::string& line : lines)
    std::printf("%s\n", line.c_str());
  return 0;
}

int Group(const std::vector<std::string>& args)
{
  if (args.empty())
    return Usage();
  const std::string& verb = args[0];
  try {
    if (verb == "create" && (args.size() == 2 || args.size() == 3)) {
      const std::optional<CGroup> parent = args.size() == 3 ? GroupArgument(args[2], true) : CGroup::Root();
      if (!parent)
        return BadId("group ID or \"root\"", args[2]);
      const CGroup created = parent->CreateChildGroup(FromUtf8(args[1]));
      std::printf("created group %lu \"%s\"\n", static_cast<unsigned long>(created.GetID()), args[1].c_str());
      return 0;
    }
    if (verb == "rename" && args.size() == 3) {
      const std::optional<CGroup> group = GroupArgument(args[1], false);
      if (!group)
        return BadId("group ID", args[1]);
      group->SetName(FromUtf8(args[2]));
      std::printf("renamed group %s to \"%s\"\n", args[1].c_str(), args[2].c_str());
      return 0;
    }
    if (verb == "move" && args.size() == 3) {
      const std::optional<CGroup> group = GroupArgument(args[1], false);
      const std::optional<CGroup> parent = GroupArgument(args[2], true);
      if (!group)
        return BadId("group ID", args[1]);
      if (!parent)
        return BadId("group ID or \"root\"", args[2]);
      group->Move(*parent);
      std::printf("moved group %s under %s\n", args[1].c_str(), args[2].c_str());
      return 0;
    }
    if (verb == "delete" && args.size() == 2) {
      const std::optional<CGroup> group = GroupArgument(args[1], false);
      if (!group)
        return BadId("group ID", args[1]);
      group->Delete();
      std::printf("deleted group %s\n", args[1].c_str());
      return 0;
    }
    if (verb == "add-computer" && args.size() == 3) {
      const std::optional<CGroup> group = GroupArgument(args[1], false);
      const long computer = Number(args[2].c_str());
      if (!group)
        return BadId("group ID", args[1]);
      if (computer < 0 || computer > 0x7FFFFFFF)
        return BadId("computer ID", args[2]);
      group->AddComputer(CComputer(static_cast<LONG>(computer)));
      std::printf("computer %s is in group %s\n", args[2].c_str(), args[1].c_str());
      return 0;
    }
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed&) {
    throw;  // not the user's mistake: reported as a failure
  } catch (const vrn::Exceptions::BusinessExceptionBase& e) {
    std::fprintf(stderr, "corvexctl: group %s: %s\n", verb.c_str(), e.what());
    return 2;
  } catch (const CSPException& e) {
    if (e.ReturnValue() == 37)
      std::fprintf(stderr, "corvexctl: group %s: a group cannot move into itself or its subgroups (%s)\n", verb.c_str(), e.what());
    else if (e.ReturnValue() == 43)
      std::fprintf(stderr, "corvexctl: group %s: the group has subgroups (%s)\n", verb.c_str(), e.what());
    else
      std::fprintf(stderr, "corvexctl: group %s: %s\n", verb.c_str(), e.what());
    return 2;
  }
  return Usage();
}

}  // namespace corvexctl
