#include "web/ConsoleEdits.h"

#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/AlertDetails.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "dexhandler/DexConfiguration.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "platform/oledate/OleDate.h"
#include "platform/text/Unicode.h"
#include "web/ApiError.h"

namespace corvexweb {

using nlohmann::json;

namespace {

std::wstring Text(const json& body, const char* name, std::size_t most)
{
  if (!body.contains(name) || !body[name].is_string())
    throw ApiError(400, "bad_request", std::string("give \"") + name + "\" as text");
  std::wstring text = FromUtf8(body[name].get<std::string>());
  if (text.size() > most)
    throw ApiError(400, "bad_request", std::string("\"") + name + "\" is too long");
  return text;
}

template <class T>
T Whole(const json& body, const char* name, long long low, long long high)
{
  if (!body.contains(name) || !body[name].is_number_integer() || body[name].get<long long>() < low ||
      body[name].get<long long>() > high)
    throw ApiError(400, "bad_request",
                   std::string("\"") + name + "\" must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  return static_cast<T>(body[name].get<long long>());
}

// Receives one alert's details.
class DetailsToJson : public CAlertDetailsBase
{
public:
  json out = json::object();
  void SetVirusDetails(DATE time, const std::wstring& userName, const std::wstring& virusName, LONG virusType,
                       const std::wstring& infectedItem, LONG scannerType, LONG actionTaken, bool outstanding) override
  {
    std::wstring link;
    VirusNameToWebsite(virusName, link);
    out = {{"AlertType", 2},          {"AlertTime", FormatOleDate(time)},  {"UserName", ToUtf8(userName)},
           {"VirusName", ToUtf8(virusName)}, {"VirusType", virusType}, {"InfectedItem", ToUtf8(infectedItem)},
           {"ScannerType", scannerType}, {"ActionTaken", actionTaken}, {"Outstanding", outstanding},
           {"VirusInformation", ToUtf8(link)}};
  }
  void SetErrorDetails(const ErrorDetails& d) override
  {
    json inserts = json::array();
    for (const auto& i : d.inserts)
      inserts.push_back(ToUtf8(i));
    std::string text;
    try {
      text = ToUtf8(d.GetLocalisedString());
    } catch (const std::exception& e) {
      text = e.what();  // an entity without a localiser: its name is the best there is
    }
    out = {{"AlertType", 1},           {"AlertTime", FormatOleDate(d.timeDetected)}, {"UserName", ToUtf8(d.userName)},
           {"Source", ToUtf8(d.source)}, {"EntityInfo", ToUtf8(d.entityInfo)},     {"Number", d.number},
           {"MessageCode", ToUtf8(d.messageCode)}, {"Inserts", inserts},           {"Outstanding", d.outstanding},
           {"Text", text}};
  }
};

}  // namespace

json ConsoleEdits::CreateGroup(const json& body)
{
  const ULONG parent = Whole<ULONG>(body, "parent", 1, 0xFFFFFFFFLL);
  const std::wstring name = Text(body, "name", 64);
  return m_data.WithDatabase([&] { return json{{"GroupID", CGroup(parent).CreateChildGroup(name).GetID()}}; });
}

json ConsoleEdits::ChangeGroup(ULONG id, const std::string& change, const json& body)
{
  const CGroup group(id);
  if (change == "rename") {
    const std::wstring name = Text(body, "name", 64);
    m_data.WithDatabase([&] { group.SetName(name); });
  } else if (change == "move") {
    const ULONG parent = Whole<ULONG>(body, "parent", 1, 0xFFFFFFFFLL);
    m_data.WithDatabase([&] { group.Move(CGroup(parent)); });
  } else if (change == "delete") {
    m_data.WithDatabase([&] { group.Delete(); });
  } else if (change == "add-computers") {
    if (!body.contains("computers") || !body["computers"].is_array() || body["computers"].empty())
      throw ApiError(400, "bad_request", "\"computers\" is a list of computer IDs");
    std::vector<LONG> ids;
    for (const json& c : body["computers"]) {
      if (!c.is_number_integer() || c.get<long long>() < 0 || c.get<long long>() > 0x7FFFFFFF)
        throw ApiError(400, "bad_request", "\"computers\" holds something that is not a computer ID");
      ids.push_back(c.get<LONG>());
    }
    m_data.WithDatabase([&] {
      for (LONG c : ids)
        group.AddComputer(CComputer(c));
    });
  } else if (change == "configuration") {
    const std::string which = body.value("configuration", "");
    const std::wstring xml = Text(body, "xml", 1 << 20);
    // Parsed before anything is stored: a document that does not read leaves the group as it was.
    if (which == "update") {
      AUCoreHandler::AutoUpdateConfiguration config;
      config.Set(xml);
      m_data.WithDatabase([&] { group.SetAUConfig(config); });
    } else if (which == "anti-virus") {
      KTDexHandler::KTDexConfiguration config;
      config.Set(xml);
      m_data.WithDatabase([&] { group.SetDexConfig(config); });
    } else {
      throw ApiError(400, "bad_request", "\"configuration\" is \"update\" or \"anti-virus\"");
    }
  } else {
    throw ApiError(404, "not_found", "no such change of a group: " + change);
  }
  return json{{"GroupID", id}, {"change", change}};
}

json ConsoleEdits::GroupConfiguration(ULONG id)
{
  return m_data.WithDatabase([&] {
    const CGroup group(id);
    AUCoreHandler::AutoUpdateConfiguration au;
    group.GetAUConfig(au);
    DexHandler::DexConfiguration dex;
    group.GetDexConfig(dex);
    return json{{"GroupID", id},
                {"AUConfigXML", au.IsInitialised() ? json(ToUtf8(au.ToXML())) : json(nullptr)},
                {"DexConfigXML", dex.IsInitialised() ? json(ToUtf8(dex.GetKTXML())) : json(nullptr)}};
  });
}

json ConsoleEdits::Alert(ULONG id)
{
  return m_data.WithDatabase([&] {
    DetailsToJson details;
    CAlert(id).GetAlertDetails(details);
    details.out["AlertID"] = id;
    return details.out;
  });
}

json ConsoleEdits::DealtWith(const json& body)
{
  const LONG computer = Whole<LONG>(body, "computer", 0, 0x7FFFFFFF);
  const bool one = body.contains("alert");
  const ULONG alert = one ? Whole<ULONG>(body, "alert", 0, 0x7FFFFFFF) : 0;
  m_data.WithDatabase([&] {
    const CAlert a(alert);
    CComputer(computer).MarkAlertsAsDealtWith(one ? &a : nullptr);
  });
  return json{{"computer", computer}, {"alert", one ? json(alert) : json(nullptr)}};
}

json ConsoleEdits::PurgeSettings()
{
  return m_data.WithDatabase([&] {
    std::wstring company;
    PTLDB::AlertPurgeType method = 0;
    int months = 0, maximum = 0;
    CAlert::GetPurgeDetails(company, method, months, maximum);
    return json{{"CompanyName", ToUtf8(company)}, {"Method", method}, {"Months", months}, {"Maximum", maximum}};
  });
}

json ConsoleEdits::SetPurgeSettings(const json& body)
{
  const std::wstring company = Text(body, "CompanyName", 100000);  // the business layer names the limit
  const auto method = Whole<PTLDB::AlertPurgeType>(body, "Method", 0, 3);
  const int months = Whole<int>(body, "Months", 1, 1200);
  const int maximum = Whole<int>(body, "Maximum", 0, 0x7FFFFFFF);
  m_data.WithDatabase([&] { CAlert::SetPurgeDetails(company, method, months, maximum); });
  return PurgeSettings();
}

}  // namespace corvexweb
