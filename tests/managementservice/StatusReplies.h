#pragma once
// Status replies as agents send them, for the status message's tests.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "idl/CorvexMessaging.hh"
#include "idl/DEX_PTLMessages.hh"
#include "platform/dcom/Dcom.h"
#include "tests/managementservice/ServiceTestSupport.h"

namespace servicetest {

inline std::string ReadFileText(const std::string& path)
{
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// The sample documents of the handlers.
inline std::string AUSample(const std::string& name) { return ReadFileText(std::string(CORVEX_SOURCE_DIR) + "/handlers/AUCoreHandler/samples/" + name); }
inline std::string DexSample(const std::string& name) { return ReadFileText(std::string(CORVEX_SOURCE_DIR) + "/dexhandler/samples/" + name); }

struct AgentDetails
{
  std::wstring name = L"PC7";
  std::wstring domain = L"CORP";
  std::string os = "WINXP";
  std::string servicePack = "Service Pack 2";
  CORBA::ULong ip = 0x0A000007;
  std::wstring comment = L"front desk";
  std::wstring user = L"jsmith";
};

inline CORBA::Any Agent(const AgentDetails& d)
{
  ComOrb();  // wide texts are encoded with the ORB's code set
  DEX_PTLMessages::ComputerStatus2 c;
  c.domain = d.domain.c_str();
  c.computer_name = d.name.c_str();
  c.operating_system = d.os.c_str();
  c.service_pack = d.servicePack.c_str();
  c.ip_address = d.ip;
  c.computer_comment = d.comment.c_str();
  c.last_logged_on_user = d.user.c_str();
  CORBA::Any any;
  any <<= c;
  return any;
}

inline CORBA::Any StatusAndConfig(const std::string& status, const std::string& configuration)
{
  DEX_PTLMessages::StatusAndConfig sc;
  sc.status = status.c_str();
  sc.configuration = configuration.c_str();
  CORBA::Any any;
  any <<= sc;
  return any;
}

// A payload that carries the repository id of `like` but lays out one long, as a sender could
// put on the wire: the ORB counts it as `like`, but its bytes do not read as one.
inline CORBA::Any Impostor(CORBA::TypeCode_ptr like)
{
  CORBA::StructMemberSeq members;
  members.length(1);
  members[0].name = "entity";
  members[0].type = CORBA::TypeCode::_duplicate(CORBA::_tc_long);
  const CORBA::TypeCode_var type = ComOrb()->create_struct_tc(like->id(), like->name(), members);
  cdrMemoryStream bytes;
  CORBA::TypeCode::marshalTypeCode(type, bytes);
  CORBA::Long(1000) >>= bytes;
  CORBA::Any payload;
  payload <<= bytes;
  return payload;
}

// A "Tz-GetStatus-Reply" from "<address>.Agent" with the entries in order.
inline CorvexMessaging::Envelope StatusReply(const std::string& address,
                                             const std::vector<std::pair<std::string, CORBA::Any>>& entries)
{
  CorvexMessaging::Envelope e = MakeEnvelope("Tz-GetStatus-Reply", (address + ".Agent").c_str());
  DEX_PTLMessages::AgentStatus status;
  status.request_id = 1;
  status.app_statuses.length(static_cast<CORBA::ULong>(entries.size()));
  for (CORBA::ULong i = 0; i < entries.size(); ++i) {
    status.app_statuses[i].entity = entries[i].first.c_str();
    status.app_statuses[i].status = entries[i].second;
  }
  e.client_info.custom_data <<= status;
  return e;
}

}  // namespace servicetest
