#include "managementservice/messages/EntityEventMessage.h"

#include <stdexcept>

#include "businesslogic/SPException.h"
#include "businesslogic/SessionCommands.h"
#include "businesslogic/entities/Alert.h"
#include "businesslogic/entities/Computer.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "businesslogic/strategies/MessageSink.h"
#include "idl/DEX_PTLMessages.hh"
#include "managementservice/TraceComponent.h"
#include "managementservice/host/EventLogger.h"
#include "messaging/EnvelopeCodec.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

EntityEventMessage::EntityEventMessage(const CorvexMessaging::Envelope& envelope) : ReceivedMessage(envelope)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE,
                              "__thiscall EntityEventMessage::EntityEventMessage(const struct CorvexMessaging::Envelope &)");
  DEX_PTLMessages::AppEvent2 event;
  if (!messaging::ReadPayload(envelope.client_info.custom_data, DEX_PTLMessages::_tc_AppEvent2, event)) {
    static const char refusal[] = "EntityEventMessage::EntityEventMessage() bad envelope, no AppEvent2.";
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs", refusal);
    throw std::runtime_error(refusal);
  }
  m_entity = static_cast<const char*>(event.entity);
  m_event = static_cast<const char*>(event.event);
  m_domain = static_cast<const CORBA::WChar*>(event.domain);
  m_computerName = static_cast<const CORBA::WChar*>(event.computer_name);
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Got event from %ls\\%ls", m_domain, m_computerName);
}

HRESULT EntityEventMessage::Process()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "long __thiscall EntityEventMessage::Process(void)");
  try {
    TraceStartProcessing();
    const CComputer computer = CComputer::CreateComputer(Address(), m_computerName, m_domain);
    const vrn::CMessageSink sink(computer);
    computer.MessageRecieved();
    // An envelope comes again when the service died before confirming it: the alert it made
    // the first time must not be stored twice.
    const CAlertEnvelopeScope once(DeliveryKey());
    sink.ProcessEventMessage(m_entity, m_event);
    return S_OK;
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "EntityEventMessage::Process() caught vrn::Exceptions::ConnectToDatabaseFailed: `%hs`",
                 e.what());
    throw;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught exception: `%hs`", e.what());
    // Another address manages the computer this event names: it is not applied to it.
    if (const auto* refused = dynamic_cast<const CSPException*>(&e); refused && refused->ReturnValue() == SP_RETURN_CLAIM_REFUSED)
      ReportRefusedAddressClaim(Address(), m_computerName);
    return E_FAIL;
  }
}
