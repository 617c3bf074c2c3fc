#include "web/ConsoleActions.h"

#include <cstring>

#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/ObjectsFromADOFields.h"
#include "businesslogic/SPException.h"
#include "businesslogic/SystemEnviroment.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "idl/ManagementServiceInterfaces.h"
#include "platform/com/Bstr.h"
#include "platform/errortext/ErrorText.h"
#include "platform/text/Unicode.h"
#include "web/ApiError.h"

namespace corvexweb {

using nlohmann::json;

namespace {

constexpr LONG kNoSuchGroup = 22;
constexpr std::size_t kMostComputers = 100000;

void Check(HRESULT hr)
{
  if (FAILED(hr))
    throw ApiError(502, "service_refused", "The management service refused: " + ErrorText(hr));
}

}  // namespace

std::vector<LONG> ConsoleActions::Targets(const json& body)
{
  std::vector<LONG> ids;
  if (body.contains("computers")) {
    const json& list = body["computers"];
    if (!list.is_array() || list.size() > kMostComputers)
      throw ApiError(400, "bad_request", "\"computers\" is a list of computer IDs");
    for (const json& id : list) {
      if (!id.is_number_integer() || id.get<long long>() < 0 || id.get<long long>() > 0x7FFFFFFF)
        throw ApiError(400, "bad_request", "\"computers\" holds something that is not a computer ID");
      ids.push_back(id.get<LONG>());
    }
    return ids;
  }
  if (!body.contains("group") || !body["group"].is_number_unsigned() || body["group"].get<unsigned long long>() > 0xFFFFFFFFull)
    throw ApiError(400, "bad_request", "name the computers: \"computers\": [IDs] or \"group\": ID");
  const ULONG group = body["group"].get<ULONG>();
  const bool subgroups = body.value("subgroups", false);
  return m_data.WithDatabase([&] {
    CDatabaseConnection& connection = GetDatabaseConnection();
    COurCommand cmd = subgroups ? connection.GroupAllChildComputerListGet() : connection.GetGroupMembers();
    cmd.SetAttribute(L"@GroupID", group);
    CComputerList members;
    PopulateListFromRowsetsFast(cmd, members);
    const LONG rc = cmd.GetReturnValue();
    if (rc == kNoSuchGroup)
      throw ApiError(404, "not_found", "Group not found");
    CSPException::Check(rc);
    std::vector<LONG> found;
    found.reserve(members.size());
    for (const CComputer& c : members)
      found.push_back(c.GetID());
    return found;
  });
}

json ConsoleActions::Run(const std::string& action, json& body)
{
  if (action == "install-stop") {
    Check(CreateObjectOnServer<IKTComputerInstall>(CLSID_KTComputerInstall)->Stop());
    return json{{"action", action}, {"queued", 0}, {"computers", json::array()}};
  }
  if (action != "refresh" && action != "update-now" && action != "central-config" && action != "send-config" &&
      action != "install")
    throw ApiError(404, "not_found", "no such action: " + action);
  std::vector<LONG> ids = Targets(body);
  const ULONG count = static_cast<ULONG>(ids.size());
  if (action == "refresh") {
    Check(CreateObjectOnServer<IVRN_ComputerActions>(CLSID_ComputerActions)->Refresh(count, ids.data()));
  } else if (action == "update-now") {
    Check(CreateObjectOnServer<IVRN_ComputerActions>(CLSID_ComputerActions)->UpdateNow(count, ids.data()));
  } else if (action == "central-config") {
    if (!body.contains("on") || !body["on"].is_boolean())
      throw ApiError(400, "bad_request", "say whether central configuration is to be on: \"on\": true or false");
    // Switching central configuration off is overriding it.
    const BYTE override = body["on"].get<bool>() ? 0 : 1;
    Check(CreateObjectOnServer<IVRN_ComputerActions>(CLSID_ComputerActions)->OverrideCentralConfiguration(override, count, ids.data()));
  } else if (action == "install") {
    if (!body.value("user", json()).is_string() || !body.value("password", json()).is_string())
      throw ApiError(400, "bad_request", "give the account to install with: \"user\" and \"password\"");
    std::string& password = body["password"].get_ref<std::string&>();
    _bstr_t user(FromUtf8(body["user"].get<std::string>())), secret(FromUtf8(password));
    explicit_bzero(password.data(), password.size());
    HRESULT hr = E_FAIL;
    try {
      hr = CreateObjectOnServer<IKTComputerInstall>(CLSID_KTComputerInstall)->Install(count, ids.data(), user.GetBSTR(), secret.GetBSTR());
    } catch (...) {
      if (BSTR p = secret.GetBSTR())
        explicit_bzero(p, SysStringLen(p) * sizeof(wchar_t));
      throw;
    }
    if (BSTR p = secret.GetBSTR())
      explicit_bzero(p, SysStringLen(p) * sizeof(wchar_t));
    Check(hr);
  } else {
    const std::string which = body.value("configuration", "");
    if (which != "update" && which != "anti-virus")
      throw ApiError(400, "bad_request", "\"configuration\" is \"update\" or \"anti-virus\"");
    auto kt = CreateObjectOnServer<IComputerActionsKT>(CLSID_ComputerActionsKT);
    Check(which == "update" ? kt->SendAUConfig(count, ids.data()) : kt->SendDexConfig(count, ids.data()));
  }
  return json{{"action", action}, {"queued", ids.size()}, {"computers", ids}};
}

}  // namespace corvexweb
