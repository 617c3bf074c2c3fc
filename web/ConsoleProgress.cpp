#include "web/ConsoleProgress.h"

#include <cerrno>
#include <cstdlib>
#include <map>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/OurCommand.h"
#include "businesslogic/SPException.h"
#include "platform/com/Variant.h"
#include "platform/text/Unicode.h"
#include "web/ApiError.h"

namespace corvexweb {

using nlohmann::json;

namespace {

constexpr std::size_t kMaxComputers = 1000;

bool IsNull(const _variant_t& v) { return v.vt == VT_NULL || v.vt == VT_EMPTY; }

json Text(const _variant_t& v) { return IsNull(v) ? json(nullptr) : json(ToUtf8(v.ToWString())); }

json Number(const _variant_t& v) { return IsNull(v) ? json(nullptr) : json(v.ToLong()); }

}  // namespace

std::vector<LONG> ConsoleProgress::ParseComputers(const std::string& text)
{
  std::vector<LONG> ids;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of(",;", at);
    if (end == std::string::npos)
      end = text.size();
    const std::string item = text.substr(at, end - at);
    char* stop = nullptr;
    errno = 0;
    const long long id = item.empty() ? -1 : std::strtoll(item.c_str(), &stop, 10);
    if (item.empty() || *stop != '\0' || errno != 0 || id < 0 || id > 0x7FFFFFFF || item[0] == '-' || item[0] == '+')
      throw ApiError(400, "bad_request", "\"computers\" is a list of computer IDs separated by commas");
    ids.push_back(static_cast<LONG>(id));
    if (ids.size() > kMaxComputers)
      throw ApiError(400, "bad_request", "at most 1000 computers at once");
    at = end + 1;
  }
  return ids;
}

json ConsoleProgress::Installs(const InstallProgressQuery& q)
{
  if (q.hours < 1 || q.hours > 24 * 366 || q.count < 1 || q.count > 1000 || q.computers.size() > kMaxComputers)
    throw ApiError(400, "bad_request", "hours must be from 1 to 8784 and count from 1 to 1000");
  return m_data.WithDatabase([&] {
    COurCommand cmd(GetDatabaseConnection().GetADOPtr(), "InstallProgressGet");
    if (q.computers.empty()) {
      cmd.SetAttributeNull(L"@ComputerIDList");
      cmd.SetAttribute(L"@Hours", static_cast<LONG>(q.hours));
    } else {
      std::wstring list;
      for (LONG id : q.computers)
        list += (list.empty() ? L"" : L",") + std::to_wstring(id);
      cmd.SetAttribute(L"@ComputerIDList", list);
      cmd.SetAttributeNull(L"@Hours");
    }
    cmd.SetAttribute(L"@Limit", static_cast<LONG>(q.count));
    ado::RecordsetPtr rows = cmd.ExecuteCommandWithRecordset();
    json computers = json::array();
    std::map<std::string, int> counts;
    int finished = 0;
    // Rows come computer by computer, each one's stages oldest first.
    for (; rows && !rows->IsEOF(); rows->MoveNext()) {
      const ado::Fields f = rows->GetFields();
      const LONG id = priv::GetFieldValue(f, L"ComputerID").ToLong();
      if (computers.empty() || computers.back()["ComputerID"] != id)
        computers.push_back({{"ComputerID", id},
                             {"ComputerName", Text(priv::GetFieldValue(f, L"ComputerName"))},
                             {"Attempt", priv::GetFieldValue(f, L"Attempt").ToLongLong()},
                             {"Stages", json::array()}});
      json& c = computers.back();
      json stage = {{"Stage", Text(priv::GetFieldValue(f, L"Stage"))},
                    {"Time", Text(priv::GetFieldValue(f, L"StageTime"))},
                    {"Result", Number(priv::GetFieldValue(f, L"Result"))},
                    {"Cause", Text(priv::GetFieldValue(f, L"Cause"))}};
      c["Stages"].push_back(stage);
      if (priv::GetFieldValue(f, L"Current").ToLong() != 0) {
        const bool interrupted = priv::GetFieldValue(f, L"Interrupted").ToLong() != 0;
        const std::string name = stage["Stage"].is_string() ? stage["Stage"].get<std::string>() : "";
        c["Stage"] = stage["Stage"];
        c["Result"] = stage["Result"];
        c["Cause"] = stage["Cause"];
        c["Interrupted"] = interrupted;
        c["Finished"] = interrupted || name == "done" || name == "failed" || name == "stopped";
        c["Failed"] = interrupted || name == "failed" || name == "stopped";
        ++counts[interrupted ? "interrupted" : name];
        finished += c["Finished"].get<bool>() ? 1 : 0;
      }
    }
    if (rows)
      rows->Close();
    CSPException::Check(cmd.GetReturnValue());
    const int total = static_cast<int>(computers.size());
    return json{{"computers", std::move(computers)}, {"counts", counts}, {"finished", finished}, {"total", total}};
  }, true);
}

}  // namespace corvexweb
