#include "managementservice/letters/MsgsysAddress.h"

#include <exception>

#include "businesslogic/AdoError.h"
#include "businesslogic/SessionCommands.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/messages/MessageSession.h"
#include "platform/com/ComError.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

HRESULT GetMsgsysAddress(const long computerId, std::string& address)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE,
                              "long __cdecl GetMsgsysAddress(const long,class std::basic_string<char,struct "
                              "std::char_traits<char>,class std::allocator<char> > &) id=%ld",
                              computerId);
  try {
    CGetMessageSystemAddress command;
    command.m_ComputerID = computerId;
    const HRESULT hr = command.Execute(MessageSession());
    if (FAILED(hr))
      throw _com_error(hr, AdoErrorText(hr));
    address = command.m_MessageSystemAddress;
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "........found [%hs]", address);
    return S_OK;
  } catch (const CAtlException& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught ATL exception, hr=0x%p", e.m_hr);
    return e.m_hr;
  } catch (const _com_error& e) {
    const std::wstring text = e.Description().empty() ? FromUtf8(e.ErrorMessage()) : e.Description();
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "GetMsgsysAddress() Caught COM error(%ls), hr=0x%p", text, e.Error());
    return e.Error();
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught std::exception(%hs)", e.what());
    return E_FAIL;
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Caught unknown exception.");
    return E_UNEXPECTED;
  }
}
