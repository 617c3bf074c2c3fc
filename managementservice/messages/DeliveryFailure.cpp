#include "managementservice/messages/DeliveryFailure.h"

#include "businesslogic/ClockTicks.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/ConnectedState.h"
#include "messaging/EnvelopeCodec.h"
#include "metrics/ServiceMetrics.h"
#include "platform/com/ComError.h"
#include "platform/trace/Trace.h"

Delivery_Failure::Delivery_Failure(const CorvexMessaging::Envelope& envelope)
  : ReceivedMessage(envelope), m_clientInfo(envelope.client_info)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE,
                              "__thiscall Delivery_Failure::Delivery_Failure(const struct CorvexMessaging::Envelope &),    originator=%hs",
                              static_cast<const char*>(envelope.originator));
  metrics::LetterReturned(static_cast<const char*>(envelope.client_info.type));
}

Delivery_Failure::~Delivery_Failure()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "__thiscall Delivery_Failure::~Delivery_Failure(void)");
}

HRESULT Delivery_Failure::Process()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "long __thiscall Delivery_Failure::Process(void)");
  try {
    TraceStartProcessing();
    CorvexMessaging::Envelope undelivered;
    if (!messaging::ReadPayload(m_clientInfo.custom_data, CorvexMessaging::_tc_Envelope, undelivered)) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Panic ! No envelope in Unrouteable.\n");
      return S_FALSE;
    }
    // The letter went to "<computer address>.<entity>".
    std::string address = static_cast<const char*>(undelivered.client_info.destination);
    const auto dot = address.rfind('.');
    if (dot != std::string::npos)
      address.resize(dot);
    const HRESULT result = UpdateComputerConnectedState(address, false);
    vrn::TickClock(vrn::kComputerStateClock);
    return result;
  } catch (const _com_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Delivery_Failure::Process() caught _com_error: %hs", e.ErrorMessage());
    throw;
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Delivery_Failure::Process() caught vrn::Exceptions::ConnectToDatabaseFailed: %hs",
                 e.what());
    throw;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Error: %hs", e.what());
    return E_FAIL;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
