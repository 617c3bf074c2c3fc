#include "managementservice/console/ComputerActionsKT.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <typeinfo>

#include "businesslogic/entities/Computer.h"
#include "businesslogic/entities/Group.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/console/ComputerActions.h"
#include "managementservice/host/EventLogger.h"
#include "managementservice/letters/ConfigLetters.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"
#include "resources/EventMessages.h"

HRESULT CComputerActionsKT::QueryInterface(const IID& iid, void** out)
{
  return QueryInterfaceOf(static_cast<IComputerActionsKT*>(this), iid, out);
}

namespace {

// The computers of `requested` that are direct members of the group, in ascending ID order,
// each once.
std::map<LONG, CComputer> Intersection(const CComputerList& requested, const CComputerList& members)
{
  std::map<LONG, CComputer> wanted;
  for (const CComputer& c : requested)
    wanted.emplace(c.GetID(), c);
  std::map<LONG, CComputer> both;
  for (const CComputer& c : members)
    if (wanted.count(c.GetID()))
      both.emplace(c.GetID(), c);
  return both;
}

// One letter per requested computer for each group holding it, under the methods' one guard.
template <class Letter>
HRESULT QueueGroupLetters(const char* method, ULONG count, const LONG* computers, void (*log)(LONG id))
{
  if (!IsComputerArrayReadable(count, computers))
    return E_POINTER;
  try {
    CComputerList requested;
    requested.reserve(count);
    for (ULONG i = 0; i < count; ++i)
      requested.push_back(CComputer(computers[i]));
    CGroupList groups;
    CGroup(CGroup::RootID).GetAllChildGroupList(groups);
    for (const CGroup& g : groups) {
      const CGroup group(g);
      CComputerList members;
      group.GetComputerList(members);
      for (const auto& [id, computer] : Intersection(requested, members)) {
        ProcessingQueue::Instance().Append(std::make_unique<Letter>(id, computer, group));
        log(id);
      }
    }
    return S_OK;
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerActionsKT::%s Caught vrn::Exceptions::ConnectToDatabaseFailed, terminating process. %S",
                 method, e.what());
    g_EventLogger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, FromUtf8(e.what()));
    std::_Exit(9999);
  } catch (const std::bad_alloc&) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerActionsKT::%s Caught std::bad_alloc", method);
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerActionsKT::%s Caught %S: %S", method, typeid(e).name(), e.what());
    return E_FAIL;
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CComputerActionsKT::%s Caught unknown exception", method);
    return E_UNEXPECTED;
  }
}

}  // namespace

HRESULT CComputerActionsKT::SendAUConfig(ULONG count, LONG* computers)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerActionsKT::SendAUConfig(%lu, LONG* computers)",
                              static_cast<unsigned long>(count));
  return QueueGroupLetters<SendAUConfig_Now>("SendAUConfig", count, computers, [](LONG) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Sending AUConfig To ManagedComputer");
  });
}

HRESULT CComputerActionsKT::SendDexConfig(ULONG count, LONG* computers)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "CComputerActionsKT::SendDexConfig(%lu, LONG* computers)",
                              static_cast<unsigned long>(count));
  return QueueGroupLetters<SendDexConfig_Now>("SendDexConfig", count, computers, [](LONG id) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Sending DexConfig To ManagedComputer id %d", id);
  });
}
