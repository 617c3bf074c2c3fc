// Fuzz target: an envelope as bytes (a CDR encapsulation, as the library keeps
// letters) decoded, then handed to the service's receiver as it is and once under every
// message type the receiver knows, so that every inbound message class decodes the payload.
// Refusals are the decoder's std::runtime_error and the receiver's own handling (a creator
// that gives null); anything escaping, a sanitizer report or a leak is a finding.
//
// Run with CORVEX_FUZZ_WRITE_SEEDS=<dir> to write seed envelopes of each inbound kind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "idl/DEX_PTLMessages.hh"
#include "managementservice/messages/CreatorFn.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/Receiver.h"
#include "messaging/EnvelopeCodec.h"
#include "messaging/Letters.h"
#include "platform/trace/Trace.h"

namespace {

CorvexMessaging::Envelope Wrapped(const char* type, const char* originator, const CORBA::Any& payload)
{
  CorvexMessaging::Envelope e;
  e.originator_certificate = CORBA::string_dup("");
  e.originator = CORBA::string_dup(originator);
  e.timestamps.length(1);
  e.timestamps[0].name = CORBA::string_dup("corvex-relay");
  e.timestamps[0].utc_time = 1700000000;
  e.message_id = 7;
  e.client_info = messaging::MakeLetter("PTLManagementService", type, 3600);
  e.client_info.custom_data = payload;
  return e;
}

void WriteSeeds(const std::string& dir)
{
  auto write = [&](const std::string& name, const CorvexMessaging::Envelope& e) {
    const auto bytes = messaging::EncodeEnvelope(e);
    std::ofstream(dir + "/" + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  DEX_PTLMessages::AgentStatus status;
  status.request_id = 1;
  status.app_statuses.length(2);
  DEX_PTLMessages::ComputerStatus2 computer;
  computer.domain = CORBA::wstring_dup(L"CORP");
  computer.computer_name = CORBA::wstring_dup(L"PC1");
  computer.operating_system = CORBA::string_dup("WINXP");
  computer.service_pack = CORBA::string_dup("Service Pack 2");
  computer.ip_address = 0x0A000001;
  computer.computer_comment = CORBA::wstring_dup(L"");
  computer.last_logged_on_user = CORBA::wstring_dup(L"jsmith");
  status.app_statuses[0].entity = CORBA::string_dup("Agent");
  status.app_statuses[0].status <<= computer;
  DEX_PTLMessages::StatusAndConfig dex;
  dex.status = CORBA::string_dup("<status/>");
  dex.configuration = CORBA::string_dup("<config/>");
  status.app_statuses[1].entity = CORBA::string_dup("DEX");
  status.app_statuses[1].status <<= dex;
  CORBA::Any any;
  any <<= status;
  write("status-reply", Wrapped("Tz-GetStatus-Reply", "PC1.Agent", any));

  DEX_PTLMessages::AppEvent2 event;
  event.entity = CORBA::string_dup("DEX");
  event.event = CORBA::string_dup("<event/>");
  event.domain = CORBA::wstring_dup(L"CORP");
  event.computer_name = CORBA::wstring_dup(L"PC1");
  any <<= event;
  write("entity-event", Wrapped("Tz-EntityEvent", "PC1.Agent", any));

  any <<= "PC1";
  write("router-logon", Wrapped("Tz-RouterLogon", "corvex-relay", any));

  const CorvexMessaging::Envelope inner = Wrapped("Tz-DoAction", "PTLManagementService", CORBA::Any());
  any <<= inner;
  write("delivery-failed", Wrapped("MS-DeliveryFailed-Timeout", "corvex-relay", any));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  int argc = 0;
  static CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);  // type codes and wide strings
  trace::SetLevel(-1);
  if (const char* dir = std::getenv("CORVEX_FUZZ_WRITE_SEEDS")) {
    WriteSeeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  CorvexMessaging::Envelope envelope;
  if (!fuzz::Tolerate<std::runtime_error>([&] { envelope = messaging::DecodeEnvelope(data, size); }))
    return 0;
  static Receiver receiver(false, [] { return static_cast<ZiriviridUrurezArevudUza::IConnection*>(nullptr); });
  receiver.Receive(envelope);
  for (const auto& [type, creator] : MessageTypeTable()) {
    envelope.client_info.type = CORBA::string_dup(type.c_str());
    receiver.Receive(envelope);
  }
  while (ProcessingQueue::Instance().RemoveFront()) {
  }
  return 0;
}
