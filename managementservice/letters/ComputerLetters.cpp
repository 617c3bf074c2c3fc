#include "managementservice/letters/ComputerLetters.h"

#include <new>
#include <typeinfo>

#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "idl/DEX_PTLMessages.hh"
#include "managementservice/TraceComponent.h"
#include "managementservice/host/EventLogger.h"
#include "managementservice/letters/LetterServices.h"
#include "managementservice/letters/MsgTimeout.h"
#include "managementservice/letters/MsgsysAddress.h"
#include "messaging/Letters.h"
#include "metrics/ServiceMetrics.h"
#include "messaging/MessagingConstants.h"
#include "platform/com/ComError.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "resources/EventMessages.h"

namespace MC = MessagingConstants;

namespace letters {

CorvexMessaging::Message MakeComputerLetter(const std::string& address, const char* name)
{
  return messaging::MakeLetter(address + MC::ADDRESS_SEPARATOR + MC::ENTITY_AGENT, MC::ComposeType(MC::PREFIX_TZ, name),
                               GetMsgTimeout());
}

CorvexMessaging::MessageId SendComputerLetter(const CorvexMessaging::Message& letter, const std::string& address)
{
  ZiriviridUrurezArevudUza::IConnection* connection = LetterConnection();
  const CorvexMessaging::MessageId id = connection ? connection->Send(letter) : 0;
  metrics::LetterSent(id != 0);
  if (id == 0)
    g_EventLogger.Report(EVMSG_LETTER_NOT_ACCEPTED, EVENTLOG_WARNING_TYPE, FromUtf8(address));
  return id;
}

}  // namespace letters

namespace {

std::wstring ComErrorText(const _com_error& e)
{
  return e.Description().empty() ? FromUtf8(e.ErrorMessage()) : e.Description();
}

// The ladder of the status-request and central-configuration letters: a COM error is fatal,
// an ATL exception gives its HRESULT, anything else E_UNEXPECTED (out of memory E_OUTOFMEMORY
// where the letter says so).
template <class Body>
HRESULT SimpleLetterLadder(const char* comErrorFormat, bool outOfMemory, Body body)
{
  try {
    return body();
  } catch (const _com_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, comErrorFormat, ComErrorText(e), e.Error());
    g_EventLogger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, ComErrorText(e));
    throw;
  } catch (const CAtlException& e) {
    return e.m_hr;
  } catch (const std::bad_alloc&) {
    return outOfMemory ? E_OUTOFMEMORY : E_UNEXPECTED;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace

Refresh_Now::Refresh_Now(long computerId) : Computer_Action(computerId) {}

HRESULT Refresh_Now::Process()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "Refresh_Now::Process()");
  return SimpleLetterLadder("Refresh_Now:Process Caught COM error(%ls), hr=0x%p", true, [&]() -> HRESULT {
    std::string address;
    const HRESULT hr = GetMsgsysAddress(m_computerId, address);
    if (hr != S_OK && hr != S_FALSE)
      return hr;
    const CorvexMessaging::Message letter = letters::MakeComputerLetter(address, MC::MSG_GET_STATUS);
    const CorvexMessaging::MessageId id = letters::SendComputerLetter(letter, address);
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Refresh   Sent letter with id=%ld to `%hs`", static_cast<long>(id),
                 static_cast<const char*>(letter.destination));
    return S_OK;
  });
}

Override_Central_Config::Override_Central_Config(long computerId, bool applyCentralConfig)
  : Computer_Action(computerId), m_applyCentralConfig(applyCentralConfig)
{
}

HRESULT Override_Central_Config::Process()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "Override_Central_Config::Process()");
  return SimpleLetterLadder("Override_Central_Config::Process Caught COM error(%ls), hr=0x%p", false, [&]() -> HRESULT {
    std::string address;
    const HRESULT hr = GetMsgsysAddress(m_computerId, address);
    if (hr != S_OK && hr != S_FALSE)
      return hr;
    CorvexMessaging::Message letter = letters::MakeComputerLetter(address, MC::MSG_APPLY_CENTRAL_CONFIG);
    letter.custom_data <<= CORBA::Any::from_boolean(m_applyCentralConfig);
    const CorvexMessaging::MessageId id = letters::SendComputerLetter(letter, address);
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "ApplyCfg  Sent letter with id=%ld", static_cast<long>(id));
    return S_OK;
  });
}

SendDoAction::SendDoAction(long computerId, std::string entity, std::string action, std::string correlationId)
  : Computer_Action(computerId), m_entity(std::move(entity)), m_action(std::move(action)),
    m_correlationId(std::move(correlationId))
{
}

HRESULT SendDoAction::Process()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "SendDoAction::Process()");
  try {
    std::string address;
    const HRESULT hr = GetMsgsysAddress(m_computerId, address);
    if (hr != S_OK && hr != S_FALSE) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0,
                   "SendDoAction::Process(): not sending message to computer ID=%ld because failed to get messaging "
                   "system address.",
                   m_computerId);
      return hr;
    }
    CorvexMessaging::Message letter = letters::MakeComputerLetter(address, MC::MSG_DO_ACTION);
    DEX_PTLMessages::DoActionContent content;
    content.entity = m_entity.c_str();
    content.correlationId = m_correlationId.c_str();
    content.action = m_action.c_str();
    letter.custom_data <<= content;
    const CorvexMessaging::MessageId id = letters::SendComputerLetter(letter, address);
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "DoAction Sent letter with id=%ld to `%hs`", static_cast<long>(id),
                 static_cast<const char*>(letter.destination));
    return S_OK;
  } catch (const _com_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "SendDoAction::Process Caught COM error(%ls), hr=0x%p", ComErrorText(e), e.Error());
    g_EventLogger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, ComErrorText(e));
    throw;
  } catch (const CAtlException& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "SendDoAction::Process caught %S: 0x%X", typeid(e).name(), e.m_hr);
    return e.m_hr;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "SendDoAction::Process caught %S: %S", typeid(e).name(), e.what());
    return E_FAIL;
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "SendDoAction::Process caught unexpected exception");
    return E_UNEXPECTED;
  }
}
