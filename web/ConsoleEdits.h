#pragma once
// The console's changes that the business layer makes itself: the group tree and its
// memberships and configurations, alerts dealt with, the purge settings; and the reads that go
// with them (a group's configurations, an alert's details with its localised text).
#include <string>

#include <nlohmann/json.hpp>

#include "platform/com/WinTypes.h"
#include "web/ConsoleData.h"

namespace corvexweb {

class ConsoleEdits
{
public:
  explicit ConsoleEdits(ConsoleData& data) : m_data(data) {}

  // {"parent": id (the root 4294967295 for the top), "name": text} -> {"GroupID": id}
  nlohmann::json CreateGroup(const nlohmann::json& body);
  // "rename" {"name"}, "move" {"parent"}, "delete" {}, "add-computers" {"computers": [...]},
  // "configuration" {"configuration": "update"|"anti-virus", "xml": text}.
  nlohmann::json ChangeGroup(ULONG group, const std::string& change, const nlohmann::json& body);
  // {"AUConfigXML": text or null, "DexConfigXML": text or null}
  nlohmann::json GroupConfiguration(ULONG group);

  nlohmann::json Alert(ULONG alert);
  // {"computer": id, "alert": id (absent: all the computer's alerts)}
  nlohmann::json DealtWith(const nlohmann::json& body);

  nlohmann::json PurgeSettings();
  // {"CompanyName", "Method" 0-3, "Months" 1-1200, "Maximum" >= 0}
  nlohmann::json SetPurgeSettings(const nlohmann::json& body);

private:
  ConsoleData& m_data;
};

}  // namespace corvexweb
