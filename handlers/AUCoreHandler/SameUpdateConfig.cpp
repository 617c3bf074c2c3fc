#include "handlers/AUCoreHandler/SameUpdateConfig.h"

#include <cwctype>
#include <functional>
#include <typeinfo>

#include "handlers/AUCoreHandler/PathUtils.h"
#include "handlers/AUCoreHandler/TraceComponent.h"
#include "handlers/HandlerUtils/MEException.h"
#include "platform/trace/Trace.h"

namespace AUCoreHandler {

using CorvexManagedEntity::MEInvalidException;

namespace {

// Compares one attribute of two holders. An attribute either side cannot give counts as equal:
// configurations written by older agents lack some of them.
template <class Holder, class T, class Equal = std::equal_to<T>>
bool CompareItems(const Holder& a, const Holder& b, bool (Holder::*get)(T&) const, Equal equal = Equal())
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, L"bool CompareItems(Obj:%S)", util::TypeName(typeid(a)));
  try {
    T lhs{};
    T rhs{};
    if (!(a.*get)(lhs))
      throw MEInvalidException(std::string("lhs item not found"));
    if (!(b.*get)(rhs))
      throw MEInvalidException(std::string("rhs item not found"));
    return equal(lhs, rhs);
  } catch (const MEInvalidException& e) {
    trace::Trace(TRACE_AUCOREHANDLER, 2, L"Ignoreing exception %S: %S", util::TypeName(typeid(e)), e.what());
    return true;
  }
}

template <class Holder>
bool IsOn(const Holder& holder, bool (Holder::*get)(bool&) const)
{
  bool on = false;
  return (holder.*get)(on) && on;
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return PathCompare(a, b); }

bool SameSchedule(const ISchedule& a, const ISchedule& b)
{
  return CompareItems(a, b, &ISchedule::GetAllowLocalConfig) && CompareItems(a, b, &ISchedule::GetDetectDialUp) &&
         CompareItems(a, b, &ISchedule::GetEnable) &&
         (!IsOn(a, &ISchedule::GetEnable) || CompareItems(a, b, &ISchedule::GetFrequency));
}

bool SameLogging(const ILogging& a, const ILogging& b)
{
  return CompareItems(a, b, &ILogging::GetAllowLocalConfig) && CompareItems(a, b, &ILogging::GetEnable) &&
         (!IsOn(a, &ILogging::GetEnable) ||
          (CompareItems(a, b, &ILogging::GetLevel) && CompareItems(a, b, &ILogging::GetMaxFileSize)));
}

bool SameServer(const IServer& a, const IServer& b)
{
  return CompareItems(a, b, &IServer::GetAllowLocalConfig) && CompareItems(a, b, &IServer::GetUsername) &&
         CompareItems(a, b, &IServer::GetUserPassword) && CompareItems(a, b, &IServer::GetAutoDial) &&
         CompareItems(a, b, &IServer::GetBandwidthLimit) && CompareItems(a, b, &IServer::GetUseCorvex) &&
         (IsOn(a, &IServer::GetUseCorvex) ||
          (CompareItems(a, b, &IServer::GetConnectionType) && CompareItems(a, b, &IServer::GetAddress, SamePath)));
}

bool SameProxy(const IProxy& a, const IProxy& b)
{
  return CompareItems(a, b, &IProxy::GetAllowLocalConfig) && CompareItems(a, b, &IProxy::GetEnable) &&
         (!IsOn(a, &IProxy::GetEnable) ||
          (CompareItems(a, b, &IProxy::GetAddress, SamePath) && CompareItems(a, b, &IProxy::GetUsername) &&
           CompareItems(a, b, &IProxy::GetUserPassword) && CompareItems(a, b, &IProxy::GetPortNumber)));
}

bool SameLocation(const ILocation& a, const ILocation& b)
{
  return SameServer(a.GetServer(), b.GetServer()) && SameProxy(a.GetProxy(), b.GetProxy());
}

}  // namespace

bool SameUpdateConfig(const IAUConfig& a, const IAUConfig& b)
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, "bool SameUpdateConfig(a, b)");
  return CompareItems(a, b, &IAUConfig::GetCorvexAddress, SamePath) && SameSchedule(a.GetSchedule(), b.GetSchedule()) &&
         SameLogging(a.GetLogging(), b.GetLogging()) && SameLocation(a.GetPrimaryLocation(), b.GetPrimaryLocation()) &&
         SameLocation(a.GetSecondaryLocation(), b.GetSecondaryLocation());
}

bool PathCompare(const std::wstring& a, const std::wstring& b)
{
  trace::CFunctionTrace scope(TRACE_AUCOREHANDLER, L"bool PathCompare('%s','%s')", a, b);
  const auto normal = [](std::wstring path) {
    for (auto& c : path)
      c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    while (!path.empty() && path.back() == L'\\')
      path.pop_back();
    return path;
  };
  return normal(a) == normal(b);
}

}  // namespace AUCoreHandler
