#include "managementservice/messages/RouterMessage.h"

#include <stdexcept>

#include "businesslogic/ClockTicks.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/exceptions/ComputerExceptions.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/ConnectedState.h"
#include "messaging/ClientLibrary.h"
#include "messaging/MessagingConstants.h"
#include "platform/trace/Trace.h"

namespace {

bool LibraryAuthorisation(const CorvexMessaging::Envelope& envelope)
{
  return ZiriviridUrurezArevudUza::IClientLibrary::Instance()->IsRouterAuthorised(envelope);
}

}  // namespace

RouterMessage::RouterMessage(const CorvexMessaging::Envelope& envelope) : RouterMessage(envelope, &LibraryAuthorisation) {}

RouterMessage::RouterMessage(const CorvexMessaging::Envelope& envelope, Authorisation isRouterAuthorised)
  : ReceivedMessage(envelope)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "__thiscall RouterMessage::RouterMessage(const struct CorvexMessaging::Envelope &)");
  if (!isRouterAuthorised(envelope)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Client not authorized");
    throw std::runtime_error("Not authorized");
  }
  const char* reported = nullptr;
  if (!(envelope.client_info.custom_data >>= reported))
    throw std::runtime_error("Bad router message (no router name) !");
  // The first timestamp is the computer's own router's acceptance and the last our router's
  // delivery; those between name the path, nearest the computer first.
  const auto count = static_cast<long>(envelope.timestamps.length());
  for (long i = count - 2; i >= 1; --i) {
    m_fullAddress += static_cast<const char*>(envelope.timestamps[static_cast<CORBA::ULong>(i)].name);
    m_fullAddress += MessagingConstants::ADDRESS_SEPARATOR;
  }
  m_fullAddress += reported;

  using namespace MessagingConstants;
  const std::string type = static_cast<const char*>(envelope.client_info.type);
  if (type == ComposeType(PREFIX_TZ, MSG_ROUTER_LOGON))
    m_logon = true;
  else if (type == ComposeType(PREFIX_TZ, MSG_ROUTER_LOGOFF))
    m_logon = false;
  else
    throw std::runtime_error("Bad router message (neither logon nor logoff) !");
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "%hs RouterMessage constructed from %hs for %hs\n", m_logon ? "Logon " : "Logoff",
               static_cast<const char*>(envelope.originator), m_fullAddress);
}

HRESULT RouterMessage::Process()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "long __thiscall RouterMessage::Process(void)");
  TraceStartProcessing();
  HRESULT result = UpdateComputerConnectedState(m_fullAddress, m_logon);
  try {
    CComputer::GetFromMessageSystemAddress(m_fullAddress).MessageRecieved();
  } catch (const vrn::Exceptions::ComputerDoesNotExist& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "comp[%s].MessageRecieved()  %S\n", m_fullAddress, e.Message());
    result = E_FAIL;
  } catch (const vrn::Exceptions::UnknownMessageSystemAddress& e) {
    // No computer has the address: the same answer as a deleted one.
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "comp[%s].MessageRecieved()  %S\n", m_fullAddress, e.Message());
    result = E_FAIL;
  }
  vrn::TickClock(vrn::kComputerStateClock);
  return result;
}
