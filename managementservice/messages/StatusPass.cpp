#include "managementservice/messages/StatusPass.h"

#include <openssl/evp.h>

#include <ctime>
#include <cwctype>
#include <set>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "businesslogic/ClockTicks.h"
#include "businesslogic/DatabaseConnection.h"
#include "businesslogic/SPException.h"
#include "businesslogic/SessionCommands.h"
#include "businesslogic/TextLimits.h"
#include "businesslogic/actions/ConfigMatchesGroupAction.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "businesslogic/entities/MessageSystemAddress.h"
#include "businesslogic/strategies/EventUser.h"
#include "dexhandler/DexConfiguration.h"
#include "dexhandler/DexEvent.h"
#include "handlers/KTDexHandler/KTDexEvent.h"
#include "handlers/KTDexHandler/LabelMaps.h"
#include "handlers/HandlerUtils/Timestamp.h"
#include "managementservice/messages/EntityEventMessage.h"
#include "platform/ado/PgValue.h"
#include "platform/oledate/OleDate.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/KTDexHandler/KTDexStatus.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/StatusMessage.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

using json = nlohmann::json;

namespace {

// Decisions kept at most; past it they are forgotten all at once (a fleet's distinct pairs of
// documents are few, so this only bounds a pathological stream of distinct ones).
constexpr std::size_t kDecisionLimit = 100000;

// Reported anti-virus configurations kept in their stored form at most (per processing thread).
constexpr std::size_t kStoredFormLimit = 1000;

// The declared size of the anti-virus status procedure's text parameters.
constexpr std::size_t kDexStatusTextLimit = 128;

std::string Digest(const std::string& text)
{
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(text.data(), text.size(), out, &length, EVP_sha256(), nullptr))
    throw std::runtime_error("SHA-256 digest failed");
  return std::string(reinterpret_cast<const char*>(out), length);
}

std::string Utf8(const wchar_t* text) { return ToUtf8(std::wstring_view(text)); }

// The arrival time as the one-message road records it, in the text its parameter would carry.
std::string LocalTimeText() { return ado::FormatPgTimestamp(LocalOleDateFromTimeT(std::time(nullptr))); }

// Addresses outside ASCII reach the procedures in two spellings on the one-message road (wide
// on one channel, bytes on the other): such a message stays on that road.
bool PlainAddress(const std::string& address)
{
  if (address.size() > vrn::kMaxMessageSystemAddressLength)
    return false;
  for (const char c : address)
    if (static_cast<unsigned char>(c) >= 0x80)
      return false;
  return true;
}

// The identity files as the status procedure takes them, each followed by ";".
std::string IdeListText(const std::vector<std::wstring>& ides)
{
  std::wstring text;
  for (const auto& ide : ides)
    text += ide + L";";
  return ToUtf8(text);
}

json FlagJson(FlagState flag) { return flag == FlagUnknown ? json(nullptr) : json(flag == FlagYes ? 1 : 0); }

// The reported anti-virus configuration in the form it is stored in. Reading and writing the
// document is most of a reply's cost, and a fleet reports few distinct ones, so the stored form
// is kept by a digest of what the agent sent. One that does not read throws, as before, and is
// not kept.
const std::string& StoredDexConfiguration(const std::string& reported)
{
  thread_local std::unordered_map<std::string, std::string> known;
  std::string key = Digest(reported);
  if (const auto found = known.find(key); found != known.end())
    return found->second;
  DexHandler::DexConfiguration configuration;
  configuration.Set(reported);
  std::string stored = ToUtf8(configuration.GetKTXML());
  if (known.size() >= kStoredFormLimit)
    known.clear();
  return known.emplace(std::move(key), std::move(stored)).first->second;
}

// A text that the stored form writes and reads back unchanged: characters XML takes as they are,
// and not blank alone (a blank node may be dropped on reading).
bool PlainText(const std::wstring& text)
{
  bool blank = true;
  for (const wchar_t ch : text) {
    const auto c = static_cast<std::uint32_t>(ch);
    if (c < 0x20 || (c >= 0xD800 && c < 0xE000) || c == 0xFFFE || c == 0xFFFF || c > 0x10FFFF)
      return false;
    blank = blank && c == 0x20;
  }
  return text.empty() || !blank;
}

// A label value as the stored form carries it: written as its first label, read back by that
// label in lower case (an unknown label leaves `read`, the field's default, as it is). False
// when the value has no label (writing it would fail).
template <class T>
bool LabelRoundTrip(T value, const KTDexHandler::LabelMap<T>& labels, T& read)
{
  for (const auto& [label, v] : labels)
    if (v == value) {
      std::wstring lower = label;
      for (auto& c : lower)
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
      if (const auto found = labels.find(lower); found != labels.end())
        read = found->second;
      return true;
    }
  return false;
}

}  // namespace

KTDexHandler::Event_t StatusPass::VirusEventAsStored(const DexHandler::DexEvent& agentEvent)
{
  // The stored form is written and read again on the way to the database; for a virus event of
  // plain texts and labelled values that changes nothing but what is set here, so the writing
  // and reading (most of an event's cost) is skipped. Any other event takes the whole way.
  const KTDexHandler::Event_t& e = agentEvent.GetEventData();
  const KTDexHandler::virusInfectionInfo_t& v = e.infectionInfo;
  KTDexHandler::Event_t read;
  if (e.type == KTDexHandler::kVirusDetectedEventType && PlainText(e.user.userId) && PlainText(e.user.domain) &&
      PlainText(v.virusName) && PlainText(v.item) && LabelRoundTrip(v.virusType, KTDexHandler::GetVirusTypeMap(), read.infectionInfo.virusType) &&
      LabelRoundTrip(v.scanType, KTDexHandler::GetScanTypeMap(), read.infectionInfo.scanType) &&
      LabelRoundTrip(v.actionTaken, KTDexHandler::GetVirusActionMap(), read.infectionInfo.actionTaken)) {
    read.type = e.type;
    read.timestamp = HandlerUtils::timestamp_t::FromString(e.timestamp.ToString());
    read.user = e.user;
    read.infectionInfo.virusName = v.virusName;
    read.infectionInfo.item = v.item;
    return read;
  }
  KTDexHandler::KTDexEvent document;
  document.Set(agentEvent.GetKTXML());
  return document.GetEventData();
}

struct StatusPass::Group
{
  AUCoreHandler::AutoUpdateConfiguration au;
  DexHandler::DexConfiguration dex;
  std::string auDigest;  // empty: the group has none
  std::string dexDigest;
};

StatusPass::StatusPass() = default;
StatusPass::~StatusPass() = default;

std::optional<std::string> StatusPass::Prepare(const StatusMessage& reply)
{
  // A library server's status goes through its strategy one reply at a time; an address the
  // lookup refuses is refused there too.
  if (reply.LibraryPresent() || !PlainAddress(reply.Address()))
    return std::nullopt;
  try {
    // The texts are cut as the one-reply road cuts its parameters.
    CUpdateComputerStatus status;
    CopyParameterText(status.m_ComputerName, reply.ComputerName());
    CopyParameterText(status.m_DomainName, reply.Domain());
    CopyParameterText(status.m_MessageSystemAddress, reply.Address());
    CopyParameterText(status.m_Description, reply.Comment());
    CopyParameterText(status.m_ServicePack, FromUtf8(reply.ServicePack()));
    CopyParameterText(status.m_LastLoggedOnUser, reply.LastLoggedOnUser());
    json row = {
      {"a", std::string(status.m_MessageSystemAddress)},
      {"n", Utf8(status.m_ComputerName)},
      {"d", Utf8(status.m_DomainName)},
      {"o", StatusMessage::OperatingSystemCode(reply.OperatingSystem())},
      {"c", Utf8(status.m_Description)},
      {"ip", static_cast<long long>(reply.IpAddress())},
      {"sp", Utf8(status.m_ServicePack)},
      {"u", Utf8(status.m_LastLoggedOnUser)},
      {"t", LocalTimeText()},
      {"dv", reply.DexAvailability()},
    };
    if (!reply.AUConfiguration().empty()) {
      auto au = std::make_unique<CUpdateComputerAUConfig>();
      CopyParameterText(au->m_AUConfigXML, FromUtf8(reply.AUConfiguration()));
      CopyParameterText(au->m_PrimaryCID, reply.PrimaryLocation());
      CopyParameterText(au->m_SecondaryCID, reply.SecondaryLocation());
      row["au"] = Utf8(au->m_AUConfigXML);
      row["p"] = Utf8(au->m_PrimaryCID);
      row["s"] = Utf8(au->m_SecondaryCID);
    }
    if (!reply.DexConfiguration().empty())
      row["dc"] = StoredDexConfiguration(reply.DexConfiguration());
    if (reply.DexAvailability() == 1) {
      KTDexHandler::KTDexStatus parsed;
      parsed.Set(reply.DexStatus());
      const KTDexHandler::KTDexStatusDetails& d = parsed.GetDetails();
      // A text the status procedure's parameters cannot take fails the reply after its details
      // are stored; the one-reply road does that without a new computer's row being undone.
      for (const std::wstring* text : {&d.productVersion, &d.virusDataVersion, &d.virusEngineVersion, &d.ideChecksum, &d.productId})
        if (text->size() > kDexStatusTextLimit)
          return std::nullopt;
      row["on"] = d.onAccess ? 1 : 0;
      row["v"] = ToUtf8(d.productVersion);
      row["q"] = d.quarantine;
      row["vd"] = ToUtf8(d.virusDataVersion);
      row["ve"] = ToUtf8(d.virusEngineVersion);
      row["ic"] = ToUtf8(d.ideChecksum);
      row["pi"] = ToUtf8(d.productId);
      row["il"] = IdeListText(d.ideList);
    }
    return row.dump();
  } catch (const std::exception& e) {
    // The one-reply road reads it again and handles what it finds as it always did.
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Status reply from %hs left to the one-reply road: %hs\n", reply.Address(), e.what());
    return std::nullopt;
  }
}

StatusPass::Group& StatusPass::GroupOf(unsigned long id)
{
  auto& entry = m_groups[id];
  if (!entry) {
    auto group = std::make_unique<Group>();
    const CGroup owner(id);
    owner.GetAUConfig(group->au);
    owner.GetDexConfig(group->dex);
    if (group->au.IsInitialised())
      group->auDigest = Digest(ToUtf8(group->au.ToXML()));
    if (group->dex.IsInitialised())
      group->dexDigest = Digest(ToUtf8(group->dex.GetKTXML()));
    ++m_groupParses;
    entry = std::move(group);
  }
  return *entry;
}

FlagState StatusPass::Decide(long computer, long os, Group& group, bool dex, const std::string& reported)
{
  // The decision depends on the two documents alone (and, for updates, on the platform).
  std::string key = dex ? "D" : "A" + std::to_string(os);
  key += '\0';
  key += dex ? group.dexDigest : group.auDigest;
  key += '\0';
  key += Digest(reported);
  if (const auto known = m_decisions.find(key); known != m_decisions.end()) {
    ++m_remembered;
    return known->second;
  }
  // The check itself, as a single reply makes it, with the reported text in hand.
  CComputer checked(computer);
  const CReportedConfigurationScope scope;
  CReportedConfigurationScope::Remember(computer, dex ? CReportedConfigurationScope::Dex : CReportedConfigurationScope::AutoUpdate,
                                        FromUtf8(reported));
  Actions::CConfigMatchesGroupAction action;
  // A check that throws is not remembered; the caller records it as a single reply does.
  const FlagState flag = dex ? action.IsEquivalent(checked, group.dex) : action.AUConfigMatches(checked, group.au);
  if (m_decisions.size() >= kDecisionLimit)
    m_decisions.clear();
  m_decisions.emplace(std::move(key), flag);
  return flag;
}

std::size_t StatusPass::Apply(const std::vector<const StatusMessage*>& replies, const std::vector<std::string>& rows)
{
  if (replies.empty())
    return 0;
  const ado::ConnectionPtr& connection = GetDatabaseConnection().GetADOPtr();
  if (!m_apply || m_connection != connection.get()) {
    m_apply.emplace(connection, "ApplyStatusReplies");
    m_record.emplace(connection, "RecordConfigurationChecks");
    m_events.emplace(connection, "ApplyVirusEvents");
    m_connection = connection.get();
  }

  // Which reply of an address is its last in the call: only that one's check is recorded, as
  // the earlier ones' would be written over by it.
  std::map<std::string, std::size_t> lastOf;
  for (std::size_t i = 0; i < replies.size(); ++i)
    lastOf[replies[i]->Address()] = i;
  std::string text = "[";
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (i)
      text += ',';
    text.append(rows[i], 0, rows[i].size() - 1);
    text += lastOf[replies[i]->Address()] == i ? ",\"last\":true}" : ",\"last\":false}";
  }
  text += ']';

  for (const StatusMessage* reply : replies)
    reply->TraceStartProcessing();
  m_apply->SetAttribute(L"@Replies", FromUtf8(text));
  CSPException::Check(m_apply->ExecuteCommand());
  const std::size_t applied = static_cast<std::size_t>(m_apply->GetAttributeAsInt(L"@Applied"));
  const json outcomes = json::parse(ToUtf8(m_apply->GetAttributeAsString(L"@Outcomes")));
  const json& stored = outcomes.at("rows");
  m_steady += outcomes.value("steady", 0u);

  const long long clock = outcomes.at("clock").get<long long>();
  if (clock != m_configurationClock) {
    m_groups.clear();
    m_configurationClock = clock;
  }

  json checks = json::array();
  std::set<std::size_t> unchecked;
  for (std::size_t i = 0; i < applied; ++i) {
    const StatusMessage& reply = *replies[i];
    const json& row = stored.at(i);
    vrn::TickClock(vrn::kComputerStateClock);
    if (row.at("new").get<bool>() || row.at("st").get<int>() == 50)
      vrn::TickClock(vrn::kGroupMembershipClock);
    if (lastOf[reply.Address()] != i)
      continue;
    const long id = row.at("id").get<long>();
    const json request = json::parse(rows[i]);
    const std::string au = request.contains("au") ? request["au"].get<std::string>()
                           : row.contains("au")   ? row["au"].get<std::string>()
                                                  : std::string();
    const std::string dex = request.contains("dc") ? request["dc"].get<std::string>()
                            : row.contains("dx")   ? row["dx"].get<std::string>()
                                                   : std::string();
    Group& group = GroupOf(row.at("g").is_null() ? CGroup::UnassignedID : row.at("g").get<unsigned long>());
    const long os = row.at("os").get<long>();
    // A check that throws leaves its flag unknown and ends the reply's handling there, as on the
    // one-reply road: the flags after it stay as stored and its letters are not queued.
    json auFlag = nullptr;
    json dexFlag = row.at("fd").is_null() ? json(nullptr) : json(row.at("fd").get<bool>() ? 1 : 0);
    try {
      auFlag = FlagJson(Decide(id, os, group, false, au));
      dexFlag = nullptr;
      dexFlag = FlagJson(Decide(id, os, group, true, dex));
    } catch (const std::exception& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught exception: `%hs`", e.what());
      unchecked.insert(i);
    }
    // Writing a flag it already holds leaves a computer's row as it is: only changes are sent.
    auto same = [](const json& stored, const json& decided) {
      return stored.is_null() ? decided.is_null() : !decided.is_null() && stored.get<bool>() == (decided.get<int>() == 1);
    };
    if (!same(row.at("fa"), auFlag) || !same(row.at("fd"), dexFlag))
      checks.push_back({id, auFlag, dexFlag});
  }
  if (!checks.empty()) {
    m_record->SetAttribute(L"@Checks", FromUtf8(checks.dump()));
    CSPException::Check(m_record->ExecuteCommand());
    if (const LONG failed = m_record->GetAttributeAsInt(L"@Failed"))
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%d configuration checks were refused", static_cast<int>(failed));
  }

  // The letters for a component that has just appeared, in the order of the replies.
  for (std::size_t i = 0; i < applied; ++i) {
    const StatusMessage& reply = *replies[i];
    const json& row = stored.at(i);
    const bool known = !row.at("new").get<bool>();
    const bool sendAU = !reply.AUConfiguration().empty() && !(known && row.at("aub").get<bool>());
    const bool sendDex = !reply.DexConfiguration().empty() && !(known && row.at("dxb").get<bool>());
    if (unchecked.count(i))
      continue;
    if (sendAU || sendDex)
      reply.QueueNewComponentLetters(CComputer(row.at("id").get<long>()), sendAU, sendDex);
  }
  m_stored += applied;
  return applied;
}

std::optional<std::string> StatusPass::PrepareEvent(const EntityEventMessage& event)
{
  if (event.Entity() != "DEX" || !PlainAddress(event.Address()))
    return std::nullopt;
  try {
    DexHandler::DexEvent agentEvent;
    agentEvent.Set(event.Event());
    const KTDexHandler::Event_t e = VirusEventAsStored(agentEvent);
    if (e.type != KTDexHandler::kVirusDetectedEventType)
      return std::nullopt;
    std::wstring key = FromUtf8(event.DeliveryKey());
    if (key.size() > vrn::TextLimits::kDeliveryKey)
      return std::nullopt;  // the one-event road traces it and stores the alert unnamed
    const KTDexHandler::virusInfectionInfo_t& v = e.infectionInfo;
    const json row = {
      {"a", event.Address()},
      {"n", ToUtf8(vrn::TextLimits::Cut(event.ComputerName(), vrn::TextLimits::kComputerName))},
      {"d", ToUtf8(vrn::TextLimits::Cut(event.Domain(), vrn::TextLimits::kDomainName))},
      {"t", LocalTimeText()},
      {"k", ToUtf8(key)},
      {"at", ado::FormatPgTimestamp(e.timestamp.GetDate())},
      {"un", ToUtf8(vrn::TextLimits::Cut(priv::AlertUserName(e.user.domain, e.user.userId), vrn::TextLimits::kUserName))},
      {"vn", ToUtf8(vrn::TextLimits::Cut(v.virusName, vrn::TextLimits::kVirusName))},
      {"vt", static_cast<long>(v.virusType)},
      {"ii", ToUtf8(vrn::TextLimits::Cut(v.item, vrn::TextLimits::kInfectedItem))},
      {"st", static_cast<long>(v.scanType)},
      {"ac", static_cast<long>(v.actionTaken)},
    };
    return row.dump();
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Event from %hs left to the one-event road: %hs\n", event.Address(), e.what());
    return std::nullopt;
  }
}

std::size_t StatusPass::ApplyEvents(const std::vector<const EntityEventMessage*>& events, const std::vector<std::string>& rows)
{
  if (events.empty())
    return 0;
  const ado::ConnectionPtr& connection = GetDatabaseConnection().GetADOPtr();
  if (!m_events || m_connection != connection.get()) {
    m_apply.emplace(connection, "ApplyStatusReplies");
    m_record.emplace(connection, "RecordConfigurationChecks");
    m_events.emplace(connection, "ApplyVirusEvents");
    m_connection = connection.get();
  }
  std::string text = "[";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i)
      text += ',';
    text += rows[i];
  }
  text += ']';
  for (const EntityEventMessage* event : events)
    event->TraceStartProcessing();
  m_events->SetAttribute(L"@Events", FromUtf8(text));
  CSPException::Check(m_events->ExecuteCommand());
  const std::size_t applied = static_cast<std::size_t>(m_events->GetAttributeAsInt(L"@Applied"));
  const json outcomes = json::parse(ToUtf8(m_events->GetAttributeAsString(L"@Outcomes")));
  const json& stored = outcomes.at("rows");
  m_steady += outcomes.value("steady", 0u);
  for (std::size_t i = 0; i < applied; ++i) {
    if (stored.at(i).at("made").get<bool>()) {
      vrn::TickClock(vrn::kGroupMembershipClock);
      vrn::TickClock(vrn::kComputerStateClock);
    }
    vrn::TickClock(vrn::kComputerStateClock);
  }
  m_stored += applied;
  return applied;
}
