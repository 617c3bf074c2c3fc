#include "managementservice/letters/ConfigLetters.h"

#include <typeinfo>

#include "businesslogic/actions/ConfigMatchesGroupAction.h"
#include "businesslogic/entities/ComputerDetails.h"
#include "businesslogic/entities/DexConfiguration.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "dexhandler/DexConfiguration.h"
#include "handlers/AUCoreHandler/AutoUpdateConfiguration.h"
#include "handlers/KTDexHandler/KTDexConfiguration.h"
#include "idl/DEX_PTLMessages.hh"
#include "managementservice/TraceComponent.h"
#include "managementservice/letters/ComputerLetters.h"
#include "messaging/MessagingConstants.h"
#include "platform/com/ComError.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace MC = MessagingConstants;

namespace {

// Sends a "Tz-SetConfiguration" with the entity's configuration text to the computer's agent.
CorvexMessaging::MessageId SendConfiguration(const std::string& address, const char* entity, const std::string& text)
{
  CorvexMessaging::Message letter = letters::MakeComputerLetter(address, MC::MSG_SET_CONFIGURATION);
  DEX_PTLMessages::AppConfiguration configuration;
  configuration.entity = entity;
  configuration.config = text.c_str();
  letter.custom_data <<= configuration;
  return letters::SendComputerLetter(letter, address);
}

// The ladder of the configuration letters: a lost database is fatal, anything else is logged
// and the letter dropped.
template <class Body>
HRESULT ConfigLetterLadder(const char* letter, Body body)
{
  try {
    return body();
  } catch (const _com_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs::Process caught %S: %S", letter, typeid(e).name(), e.ErrorMessage());
    return E_FAIL;
  } catch (const CAtlException& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs::Process caught %S: 0x%X", letter, typeid(e).name(), e.m_hr);
    return e.m_hr;
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs::Process caught %S: %S", letter, typeid(e).name(), e.what());
    throw;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs::Process caught %S: %S", letter, typeid(e).name(), e.what());
    return E_FAIL;
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%hs::Process caught unexpected exception", letter);
    return E_UNEXPECTED;
  }
}

}  // namespace

SendAUConfig_Now::SendAUConfig_Now(long computerId, const CComputer& computer, const CGroup& group)
  : Computer_Action(computerId), m_computer(computer), m_group(group)
{
}

HRESULT SendAUConfig_Now::Process()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "SendAUConfig_Now::Process()");
  return ConfigLetterLadder("SendAUConfig_Now", [&]() -> HRESULT {
    std::string address;
    m_computer.GetMessageSystemAddress(address);
    AUCoreHandler::AutoUpdateConfiguration configuration;
    Actions::CGetAUConfigAction load(configuration);
    m_group.Apply(load);
    ComputerDetails details;
    m_computer.GetComputerDetails(details);
    const std::wstring platform = Actions::CConfigMatchesGroupAction::GetPlatform(details.operatingSystem).value_or(L"");
    if (!AUCoreHandler::IsPlatformConfigured(configuration, platform)) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "Platform '%ls' not configured", platform);
      return S_FALSE;
    }
    const CorvexMessaging::MessageId id = SendConfiguration(address, "ALC", configuration.ToXML_UTF8(platform));
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "AUConfig Sent letter with id=%ld to `%hs`", static_cast<long>(id), address);
    return S_OK;
  });
}

SendDexConfig_Now::SendDexConfig_Now(long computerId, const CComputer& computer, const CGroup& group)
  : Computer_Action(computerId), m_computer(computer), m_group(group)
{
}

HRESULT SendDexConfig_Now::Process()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "SendDexConfig_Now::Process()");
  return ConfigLetterLadder("SendDexConfig_Now", [&]() -> HRESULT {
    std::string address;
    m_computer.GetMessageSystemAddress(address);
    KTDexHandler::KTDexConfiguration groupConfiguration;
    vrn::Entitys::CDexConfiguration(m_computer).Get(groupConfiguration);
    ComputerDetails details;
    m_computer.GetComputerDetails(details);
    DexHandler::DexConfiguration agentConfiguration;
    agentConfiguration.Set(groupConfiguration.ToXML_UTF8());
    // The agent's form takes a text the details never fill: always empty.
    const std::string text = agentConfiguration.ToOpaqueXML(std::wstring());
    const CorvexMessaging::MessageId id = SendConfiguration(address, "DEX", text);
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "DEX Config Sent letter with id=%ld to `%hs`", static_cast<long>(id), address);
    return S_OK;
  });
}
