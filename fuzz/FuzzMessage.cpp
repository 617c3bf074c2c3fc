// Fuzz target: a NATS payload (a CDR encapsulation of a message) decoded as the client library
// does, the payload check first and the ORB after it. The check is what stands between peers
// and the ORB's reader, so any crash, hang or blow-up here is ours, wherever it happens. What
// the ORB decodes it must encode again into bytes the check passes, and the seal's canonical walk
// must take it whole.
//
// Run with CORVEX_FUZZ_WRITE_SEEDS=<dir> to write seed messages of each kind the system sends.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "idl/DEX_PTLMessages.hh"
#include "messaging/EnvelopeCodec.h"
#include "messaging/EnvelopeSeal.h"
#include "messaging/Letters.h"
#include "messaging/PayloadCheck.h"

namespace {

CorvexMessaging::Message Letter(const char* type, const CORBA::Any& payload)
{
  CorvexMessaging::Message m = messaging::MakeLetter("PTLManagementService", type, 3600);
  m.custom_data = payload;
  return m;
}

void WriteSeeds(const std::string& dir)
{
  auto write = [&](const std::string& name, const CorvexMessaging::Message& m) {
    const auto bytes = messaging::EncodeMessage(m);
    std::ofstream(dir + "/" + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  DEX_PTLMessages::ComputerStatus2 computer;
  computer.domain = CORBA::wstring_dup(L"CORP");
  computer.computer_name = CORBA::wstring_dup(L"PC1");
  computer.operating_system = CORBA::string_dup("WINXP");
  computer.service_pack = CORBA::string_dup("Service Pack 2");
  computer.ip_address = 0x0A000001;
  computer.computer_comment = CORBA::wstring_dup(L"");
  computer.last_logged_on_user = CORBA::wstring_dup(L"jsmith");
  DEX_PTLMessages::AgentStatus status;
  status.request_id = 1;
  status.app_statuses.length(2);
  status.app_statuses[0].entity = CORBA::string_dup("Agent");
  status.app_statuses[0].status <<= computer;
  DEX_PTLMessages::StatusAndConfig dex;
  dex.status = CORBA::string_dup("<status/>");
  dex.configuration = CORBA::string_dup("<config/>");
  status.app_statuses[1].entity = CORBA::string_dup("DEX");
  status.app_statuses[1].status <<= dex;
  CORBA::Any any;
  any <<= status;
  const CorvexMessaging::Message reply = Letter("Tz-GetStatus-Reply", any);
  write("status-reply", reply);

  DEX_PTLMessages::ApplicationErrorMessage error;
  error.message = CORBA::wstring_dup(L"failed");
  error.arguments.length(3);
  error.arguments[0].long_mem(-4);
  error.arguments[1]._d(DEX_PTLMessages::FLOAT_ARG);
  error.arguments[2].wstring_mem(CORBA::wstring_dup(L"x"));
  error.user = CORBA::string_dup("");
  any <<= error;
  write("application-error", Letter("Tz-EntityEvent", any));

  any <<= "PC1";
  write("string", Letter("Tz-RouterLogon", any));
  any <<= CORBA::Any::from_boolean(true);
  write("boolean", Letter("Tz-Reply", any));
  write("empty", Letter("Tz-GetStatus", CORBA::Any()));

  CorvexMessaging::Envelope undelivered;
  undelivered.originator_certificate = CORBA::string_dup("");
  undelivered.originator = CORBA::string_dup("PTLManagementService");
  undelivered.message_id = 7;
  undelivered.client_info = reply;
  any <<= undelivered;
  write("delivery-failed", Letter("MS-DeliveryFailed-Timeout", any));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  int argc = 0;
  static CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);  // type codes and wide strings
  if (const char* dir = std::getenv("CORVEX_FUZZ_WRITE_SEEDS")) {
    WriteSeeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  CorvexMessaging::Message message;
  if (!fuzz::Tolerate<messaging::MalformedPayload>([&] { message = messaging::DecodeMessage(data, size); }))
    return 0;
  const auto again = messaging::EncodeMessage(message);
  std::string why;
  fuzz::Check(messaging::CheckMessageEncapsulation(again.data(), again.size(), why));
  // The seal's walk keeps the check's bounds: what the check passed, it takes whole.
  bool sealed = true;
  try {
    messaging::CanonicalPayload(message.custom_data);
  } catch (const std::exception&) {
    sealed = false;
  }
  fuzz::Check(sealed);
  return 0;
}
