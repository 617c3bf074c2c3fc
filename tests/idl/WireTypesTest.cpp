// The wire types are a contract with agents and the client library: repository identifiers,
// member names and orders, enumeration labels and alias chains must come out of the IDL
// compiler exactly, and values must survive CDR encoding with their type codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

#include "idl/CorvexMessaging.hh"
#include "idl/DEX_PTLMessages.hh"

namespace {

using namespace CorvexMessaging;
using namespace DEX_PTLMessages;

// Wide strings need the ORB's native code sets, so the ORB is initialised once.
class OrbEnvironment : public ::testing::Environment
{
public:
  void SetUp() override
  {
    int argc = 0;
    orb = CORBA::ORB_init(argc, nullptr);
  }
  void TearDown() override { orb->destroy(); }
  CORBA::ORB_var orb;
};
const auto* const g_orb = ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

// Encodes a value into a CDR encapsulation and decodes it again, as the wire does.
template <class T>
T RoundTrip(const T& in)
{
  cdrEncapsulationStream out;
  in >>= out;
  cdrEncapsulationStream back(static_cast<const CORBA::Octet*>(out.bufPtr()), out.bufSize());
  T result;
  result <<= back;
  return result;
}

CORBA::Any AnyRoundTrip(const CORBA::Any& in)
{
  cdrEncapsulationStream out;
  in >>= out;
  cdrEncapsulationStream back(static_cast<const CORBA::Octet*>(out.bufPtr()), out.bufSize());
  CORBA::Any result;
  result <<= back;
  return result;
}

std::vector<std::string> MemberNames(CORBA::TypeCode_ptr tc)
{
  std::vector<std::string> names;
  for (CORBA::ULong i = 0; i < tc->member_count(); ++i)
    names.emplace_back(tc->member_name(i));
  return names;
}

struct Named
{
  CORBA::TypeCode_ptr tc;
  const char* id;
};

TEST(WireTypes, RepositoryIdentifiersAreModuleAndName)
{
  const Named types[] = {
    {_tc_Address, "IDL:CorvexMessaging/Address:1.0"},
    {CorvexMessaging::_tc_time_t, "IDL:CorvexMessaging/time_t:1.0"},
    {CorvexMessaging::_tc_Time, "IDL:CorvexMessaging/Time:1.0"},
    {CorvexMessaging::_tc_MessageId, "IDL:CorvexMessaging/MessageId:1.0"},
    {_tc_MessageType, "IDL:CorvexMessaging/MessageType:1.0"},
    {_tc_Priority, "IDL:CorvexMessaging/Priority:1.0"},
    {_tc_Certificate, "IDL:CorvexMessaging/Certificate:1.0"},
    {_tc_CRL, "IDL:CorvexMessaging/CRL:1.0"},
    {_tc_Options, "IDL:CorvexMessaging/Options:1.0"},
    {_tc_PhysicalAddress, "IDL:CorvexMessaging/PhysicalAddress:1.0"},
    {_tc_Timestamp_seq, "IDL:CorvexMessaging/Timestamp_seq:1.0"},
    {_tc_String_seq, "IDL:CorvexMessaging/String_seq:1.0"},
    {_tc_Long_seq, "IDL:CorvexMessaging/Long_seq:1.0"},
    {_tc_Boolean_seq, "IDL:CorvexMessaging/Boolean_seq:1.0"},
    {_tc_RouterClient_seq, "IDL:CorvexMessaging/RouterClient_seq:1.0"},
    {_tc_Timestamp, "IDL:CorvexMessaging/Timestamp:1.0"},
    {_tc_Message, "IDL:CorvexMessaging/Message:1.0"},
    {_tc_Envelope, "IDL:CorvexMessaging/Envelope:1.0"},
    {_tc_RouterClient, "IDL:CorvexMessaging/RouterClient:1.0"},
    {_tc_Status, "IDL:CorvexMessaging/Status:1.0"},
    {_tc_Configuration, "IDL:CorvexMessaging/Configuration:1.0"},
    {_tc_CertificateIssue, "IDL:CorvexMessaging/CertificateIssue:1.0"},
    {_tc_CACertificateIssue, "IDL:CorvexMessaging/CACertificateIssue:1.0"},
    {_tc_CertificateStatus, "IDL:CorvexMessaging/CertificateStatus:1.0"},
    {_tc_Rejected, "IDL:CorvexMessaging/Rejected:1.0"},
    {_tc_AlreadyRegistered, "IDL:CorvexMessaging/AlreadyRegistered:1.0"},
    {_tc_NotRegistered, "IDL:CorvexMessaging/NotRegistered:1.0"},
    {_tc_IllegalMessageType, "IDL:CorvexMessaging/IllegalMessageType:1.0"},
    {_tc_CertificateExpired, "IDL:CorvexMessaging/CertificateExpired:1.0"},
    {_tc_NotLoggedOn, "IDL:CorvexMessaging/NotLoggedOn:1.0"},
    {_tc_UnreachableConsumer, "IDL:CorvexMessaging/UnreachableConsumer:1.0"},
    {_tc_NoEnvelope, "IDL:CorvexMessaging/NoEnvelope:1.0"},
    {_tc_StoreFailed, "IDL:CorvexMessaging/StoreFailed:1.0"},
    {_tc_AlreadyLoggedOn, "IDL:CorvexMessaging/AlreadyLoggedOn:1.0"},
    {DEX_PTLMessages::_tc_MessageId, "IDL:DEX_PTLMessages/MessageId:1.0"},
    {DEX_PTLMessages::_tc_time_t, "IDL:DEX_PTLMessages/time_t:1.0"},
    {DEX_PTLMessages::_tc_Time, "IDL:DEX_PTLMessages/Time:1.0"},
    {_tc_StatusValueSet, "IDL:DEX_PTLMessages/StatusValueSet:1.0"},
    {_tc_AppStatusSeq, "IDL:DEX_PTLMessages/AppStatusSeq:1.0"},
    {_tc_NoComponentStatus, "IDL:DEX_PTLMessages/NoComponentStatus:1.0"},
    {_tc_DexStatus, "IDL:DEX_PTLMessages/DexStatus:1.0"},
    {_tc_StatusValuePair, "IDL:DEX_PTLMessages/StatusValuePair:1.0"},
    {_tc_DexStatus2, "IDL:DEX_PTLMessages/DexStatus2:1.0"},
    {_tc_ComputerStatus2, "IDL:DEX_PTLMessages/ComputerStatus2:1.0"},
    {_tc_StatusAndConfig, "IDL:DEX_PTLMessages/StatusAndConfig:1.0"},
    {_tc_AppStatus, "IDL:DEX_PTLMessages/AppStatus:1.0"},
    {_tc_AgentStatus, "IDL:DEX_PTLMessages/AgentStatus:1.0"},
    {_tc_AppConfiguration, "IDL:DEX_PTLMessages/AppConfiguration:1.0"},
    {_tc_DesktopVirusDetectMessage, "IDL:DEX_PTLMessages/DesktopVirusDetectMessage:1.0"},
    {_tc_ApplicationErrorMessage, "IDL:DEX_PTLMessages/ApplicationErrorMessage:1.0"},
    {_tc_AppEvent2, "IDL:DEX_PTLMessages/AppEvent2:1.0"},
    {_tc_DoActionContent, "IDL:DEX_PTLMessages/DoActionContent:1.0"},
    {_tc_ActionType, "IDL:DEX_PTLMessages/ActionType:1.0"},
    {_tc_ScannerType, "IDL:DEX_PTLMessages/ScannerType:1.0"},
    {_tc_VirusType, "IDL:DEX_PTLMessages/VirusType:1.0"},
    {_tc_ArgumentTypes, "IDL:DEX_PTLMessages/ArgumentTypes:1.0"},
    {_tc_ErrorArgument, "IDL:DEX_PTLMessages/ErrorArgument:1.0"},
  };
  for (const auto& t : types)
    EXPECT_STREQ(t.tc->id(), t.id);
}

TEST(WireTypes, StructMembersKeepTheirNamesAndOrder)
{
  struct Expected
  {
    CORBA::TypeCode_ptr tc;
    std::vector<std::string> members;
  };
  const Expected structs[] = {
    {_tc_Timestamp, {"name", "utc_time"}},
    {_tc_Message, {"destination", "prio", "ttl", "type", "delivery_options", "custom_data"}},
    {_tc_Envelope, {"originator_certificate", "originator", "physical_destination", "timestamps", "message_id", "client_info"}},
    {_tc_RouterClient, {"name", "isRouter", "isParent", "isLoggedOn", "isPassiveConsumer"}},
    {_tc_Status, {"name", "clients", "routers", "loggedOffClients", "loggedOffRouters", "parentRouter", "loggedOn"}},
    {_tc_Configuration,
     {"NumGetterThreads", "GetterInterval", "NumSenderThreads", "TimeoutInterval", "IORSenderPort", "ParentAddress",
      "ParentPort", "ActiveConsumer", "ActiveSupplier", "NoRouterInterface", "NoClientInterface",
      "NoCertificationInterface", "LocalClientsOnly", "LogonRetryInterval", "LogFileMaxSize", "LogFileCount",
      "LogConsole", "LogLevel", "CertificationTimeout", "RestartDelay", "LogicalRouting", "ConnectionCache",
      "HeartbeatInterval"}},
    {_tc_CertificateIssue, {"Certificate", "CertPassword"}},
    {_tc_CACertificateIssue, {"CACertificate"}},
    {_tc_CertificateStatus, {"Certificate", "CACertificate"}},
    {_tc_NoComponentStatus, {"installed"}},
    {_tc_DexStatus, {"is_active", "using_central_configuration"}},
    {_tc_StatusValuePair, {"name", "value"}},
    {_tc_DexStatus2, {"originalStatus", "otherStatusValues"}},
    {_tc_ComputerStatus2,
     {"domain", "computer_name", "operating_system", "service_pack", "ip_address", "computer_comment", "last_logged_on_user"}},
    {_tc_StatusAndConfig, {"status", "configuration"}},
    {_tc_AppStatus, {"entity", "status"}},
    {_tc_AgentStatus, {"request_id", "app_statuses"}},
    {_tc_AppConfiguration, {"entity", "config"}},
    {_tc_DesktopVirusDetectMessage, {"virus_name", "action", "scanner", "virus_type", "filename", "user"}},
    {_tc_ApplicationErrorMessage, {"message", "message_id", "arguments", "user"}},
    {_tc_AppEvent2, {"entity", "event", "domain", "computer_name"}},
    {_tc_DoActionContent, {"entity", "correlationId", "action"}},
  };
  for (const auto& s : structs)
    EXPECT_EQ(MemberNames(s.tc), s.members) << s.tc->id();

  // Member types that agents depend on: wide texts, the unsigned address, the payload anys.
  EXPECT_EQ(_tc_ComputerStatus2->member_type(0)->kind(), CORBA::tk_wstring);
  EXPECT_EQ(_tc_ComputerStatus2->member_type(4)->kind(), CORBA::tk_ulong);
  EXPECT_EQ(_tc_Message->member_type(5)->kind(), CORBA::tk_any);
  EXPECT_EQ(_tc_AppStatus->member_type(1)->kind(), CORBA::tk_any);
  // The error arguments are an anonymous sequence, not a named alias.
  EXPECT_EQ(_tc_ApplicationErrorMessage->member_type(2)->kind(), CORBA::tk_sequence);
}

TEST(WireTypes, EnumerationLabelsAreSpelledAsAgentsSendThem)
{
  const std::vector<std::string> actions = {
    "ACTIONTYPE_UNKNOWN", "ACTIONTYPE_NONE", "ACTIONTYPE_RENAME", "ACTIONTYPE_DELETE", "ACTIONTYPE_SHRED",
    "ACTIONTYPE_MOVE", "ACTIONTYPE_COPY", "ACTIONTYPE_ATTACHMENT_DELETED", "ACTIONTYPE_ATTACHMENT_QUARANTINED",
    "ACTIONTYPE_DISINFECTED", "ACTIONTYPE_DISINFECTION_FAILED", "ACTIONTYPE_MESSAGE_DELETED",
    "ACTIONTYPE_MESSAGE_QUARANTINED", "ACTIONTYPE_RENAME_FAILED", "ACTIONTYPE_DELETE_FAILED", "ACTIONTYPE_MOVE_FAILED",
    "ACTIONTYPE_SHRED_FAILED", "ACTIONTYPE_COPY_FAILED"};
  EXPECT_EQ(MemberNames(_tc_ActionType), actions);
  EXPECT_EQ(MemberNames(_tc_ScannerType),
            (std::vector<std::string>{"UNKNOWN_SCANNER", "ONACCESS_SCANNER", "ONDEMAND_SCANNER", "SCHEDULED_SCANNER",
                                      "MEMORY_SCANNER"}));
  EXPECT_EQ(MemberNames(_tc_VirusType), (std::vector<std::string>{"VIRUS_UNKNWON", "VIRUS_FRAGMENT", "VIRUS_IDENTITY"}));
  EXPECT_EQ(MemberNames(_tc_ArgumentTypes),
            (std::vector<std::string>{"WSTRING_ARG", "MSGID_ARG", "TIME_ARG", "ULONG_ARG", "LONG_ARG", "FLOAT_ARG"}));
  EXPECT_EQ(static_cast<int>(VIRUS_UNKNWON), 0);
  EXPECT_EQ(static_cast<int>(ACTIONTYPE_COPY_FAILED), 17);
}

TEST(WireTypes, TimeKeepsItsAliasChainDownToLong)
{
  for (CORBA::TypeCode_ptr time : {CorvexMessaging::_tc_Time, DEX_PTLMessages::_tc_Time}) {
    ASSERT_EQ(time->kind(), CORBA::tk_alias);
    CORBA::TypeCode_var inner = time->content_type();
    ASSERT_EQ(inner->kind(), CORBA::tk_alias);
    EXPECT_STREQ(inner->name(), "time_t");
    CORBA::TypeCode_var base = inner->content_type();
    EXPECT_EQ(base->kind(), CORBA::tk_long);
  }

  // The chain travels inside a struct's type code, so it survives the wire.
  Timestamp stamp;
  stamp.name = CORBA::string_dup("R1");
  stamp.utc_time = -5;
  CORBA::Any any;
  any <<= stamp;
  CORBA::Any back = AnyRoundTrip(any);
  CORBA::TypeCode_var tc = back.type();
  CORBA::TypeCode_var member = tc->member_type(1);
  EXPECT_STREQ(member->name(), "Time");
  CORBA::TypeCode_var memberInner = member->content_type();
  EXPECT_STREQ(memberInner->id(), "IDL:CorvexMessaging/time_t:1.0");
  const Timestamp* extracted = nullptr;
  ASSERT_TRUE(back >>= extracted);
  EXPECT_EQ(extracted->utc_time, -5);  // a plain signed count

  // A bare Time in an any carries the alias when the sender says so.
  CORBA::Any bare;
  bare <<= static_cast<CORBA::Long>(1700000000);
  bare.type(CorvexMessaging::_tc_Time);
  CORBA::Any bareBack = AnyRoundTrip(bare);
  CORBA::TypeCode_var bareTc = bareBack.type();
  EXPECT_STREQ(bareTc->id(), "IDL:CorvexMessaging/Time:1.0");
  CORBA::Long seconds = 0;
  EXPECT_TRUE(bareBack >>= seconds);
  EXPECT_EQ(seconds, 1700000000);
}

TEST(WireTypes, ErrorArgumentHasNoFloatBranch)
{
  CORBA::TypeCode_ptr tc = _tc_ErrorArgument;
  EXPECT_EQ(tc->member_count(), 5u);
  EXPECT_EQ(tc->default_index(), -1);
  EXPECT_EQ(MemberNames(tc),
            (std::vector<std::string>{"wstring_mem", "messageId_mem", "time_mem", "ulong_mem", "long_mem"}));
  CORBA::TypeCode_var timeMember = tc->member_type(2);
  EXPECT_STREQ(timeMember->id(), "IDL:DEX_PTLMessages/Time:1.0");

  ApplicationErrorMessage error;
  error.message = CORBA::wstring_dup(L"Scan of %1 failed after %2 files");
  error.message_id = 4711;
  error.arguments.length(3);
  error.arguments[0].wstring_mem(CORBA::wstring_dup(L"C:\\Daten"));
  error.arguments[1].ulong_mem(12);
  error.arguments[2]._d(FLOAT_ARG);  // only the discriminator travels
  error.user = CORBA::string_dup("ANNA");

  ApplicationErrorMessage back = RoundTrip(error);
  ASSERT_EQ(back.arguments.length(), 3u);
  EXPECT_EQ(back.arguments[0]._d(), WSTRING_ARG);
  EXPECT_EQ(std::wstring(back.arguments[0].wstring_mem()), L"C:\\Daten");
  EXPECT_EQ(back.arguments[1].ulong_mem(), 12u);
  EXPECT_EQ(back.arguments[2]._d(), FLOAT_ARG);
  EXPECT_EQ(std::wstring(back.message.in()), L"Scan of %1 failed after %2 files");
}

TEST(WireTypes, AgentStatusCarriesNestedPayloadsThroughAnEnvelope)
{
  ComputerStatus2 computer;
  computer.domain = CORBA::wstring_dup(L"BÜRO");
  computer.computer_name = CORBA::wstring_dup(L"PC7");
  computer.operating_system = CORBA::string_dup("WINXP");
  computer.service_pack = CORBA::string_dup("Service Pack 2");
  computer.ip_address = 0xC0A80107u;
  computer.computer_comment = CORBA::wstring_dup(L"Empfang");
  computer.last_logged_on_user = CORBA::wstring_dup(L"anna");
  StatusAndConfig dex;
  dex.status = CORBA::string_dup("<status/>");
  dex.configuration = CORBA::string_dup("<config/>");

  AgentStatus status;
  status.request_id = 9;
  status.app_statuses.length(3);
  status.app_statuses[0].entity = CORBA::string_dup("Agent");
  status.app_statuses[0].status <<= computer;
  status.app_statuses[1].entity = CORBA::string_dup("DEX");
  status.app_statuses[1].status <<= dex;
  status.app_statuses[2].entity = CORBA::string_dup("ALC");  // empty any: not active

  Envelope envelope;
  envelope.originator = CORBA::string_dup("PC7.Agent");
  envelope.timestamps.length(1);
  envelope.timestamps[0].name = CORBA::string_dup("R1");
  envelope.timestamps[0].utc_time = 1700000000;
  envelope.message_id = 77;
  envelope.client_info.destination = CORBA::string_dup("PTLManagementService");
  envelope.client_info.ttl = 60;
  envelope.client_info.type = CORBA::string_dup("Tz-GetStatus-Reply");
  envelope.client_info.custom_data <<= status;

  Envelope back = RoundTrip(envelope);
  EXPECT_STREQ(back.originator.in(), "PC7.Agent");
  EXPECT_EQ(back.message_id, 77);
  EXPECT_EQ(back.timestamps[0].utc_time, 1700000000);

  const Status* routerStatus = nullptr;
  EXPECT_FALSE(back.client_info.custom_data >>= routerStatus);  // wrong type is refused
  const AgentStatus* agent = nullptr;
  ASSERT_TRUE(back.client_info.custom_data >>= agent);
  ASSERT_EQ(agent->app_statuses.length(), 3u);
  const ComputerStatus2* c = nullptr;
  ASSERT_TRUE(agent->app_statuses[0].status >>= c);
  EXPECT_EQ(std::wstring(c->domain.in()), L"BÜRO");
  EXPECT_EQ(c->ip_address, 0xC0A80107u);
  const StatusAndConfig* s = nullptr;
  EXPECT_FALSE(agent->app_statuses[0].status >>= s);
  ASSERT_TRUE(agent->app_statuses[1].status >>= s);
  EXPECT_STREQ(s->configuration.in(), "<config/>");
  CORBA::TypeCode_var empty = agent->app_statuses[2].status.type();
  EXPECT_EQ(empty->kind(), CORBA::tk_null);
}

}  // namespace
