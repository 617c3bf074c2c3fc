#pragma once
// corvexctl's group commands: the group tree and its changes, through the business layer.
#include <string>
#include <vector>

namespace corvexctl {

// "groups": the tree, indented, with the number of computers in each group.
int Groups(const std::vector<std::string>& args);
// "group create NAME [PARENT]", "group rename ID NAME", "group move ID PARENT",
// "group delete ID", "group add-computer ID COMPUTER". PARENT is a group ID or "root".
int Group(const std::vector<std::string>& args);

}  // namespace corvexctl
