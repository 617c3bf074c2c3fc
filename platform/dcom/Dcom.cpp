#include "platform/dcom/Dcom.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/com/ClassTable.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

namespace {

constexpr char kActivatorKey[] = "ManagementService";
constexpr HRESULT RPC_S_SERVER_UNAVAILABLE_HR = MakeHr(0x800706BA);
const wchar_t* const kServiceKey = L"SOFTWARE\\Corvex\\KT\\Management Tools\\Management Service";

struct State
{
  std::recursive_mutex lock;
  CORBA::ORB_var orb;
  PortableServer::POA_var rootPoa;
  PortableServer::POA_var insPoa;
  PortableServer::ServantBase* activator = nullptr;
  std::map<IID, std::pair<StubFactory, ProxyFactory>> marshallers;
};

State& TheState()
{
  static State* s = new State;  // the ORB outlives every static object that may call into it
  return *s;
}

std::pair<StubFactory, ProxyFactory> Marshaller(const IID& iid)
{
  State& s = TheState();
  std::lock_guard<std::recursive_mutex> lock(s.lock);
  auto it = s.marshallers.find(iid);
  return it == s.marshallers.end() ? std::pair<StubFactory, ProxyFactory>{nullptr, nullptr} : it->second;
}

class ActivatorImpl : public POA_ManagementService::Activator
{
public:
  CORBA::Long CreateInstance(const char* clsidText, const char* iidText, ManagementService::Unknown_out instance) override
  {
    instance = ManagementService::Unknown::_nil();
    const auto clsid = GuidFromString(std::string_view(clsidText));
    const auto iid = GuidFromString(std::string_view(iidText));
    if (!clsid || !iid)
      return E_INVALIDARG;
    const auto [stub, proxy] = Marshaller(*iid);
    if (!stub)
      return E_NOINTERFACE;
    IUnknown* object = nullptr;
    const HRESULT hr = CoCreateInstance(*clsid, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER, *iid, reinterpret_cast<void**>(&object));
    if (FAILED(hr))
      return hr;
    instance = stub(object);
    object->Release();  // the stub holds its own reference
    return S_OK;
  }
};

// Applies the process security to the socket file: the group of the first Unix group SID of
// its access list, mode 0660; without any, only the owner.
HRESULT ProtectSocket(const std::string& path)
{
  const SECURITY_DESCRIPTOR* sd = ProcessSecurity();
  gid_t gid = static_cast<gid_t>(-1);
  if (sd)
    for (const auto& ace : sd->dacl)
      if (ace.sid.rfind("S-1-22-2-", 0) == 0) {
        gid = static_cast<gid_t>(std::stoul(ace.sid.substr(9)));
        break;
      }
  if (gid != static_cast<gid_t>(-1) && ::chown(path.c_str(), static_cast<uid_t>(-1), gid) != 0)
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  if (::chmod(path.c_str(), gid != static_cast<gid_t>(-1) ? 0660 : 0600) != 0)
    return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  return S_OK;
}

void MakeParentDirectory(const std::string& path)
{
  const auto slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0)
    return;
  const std::string dir = path.substr(0, slash);
  struct stat st{};
  if (::stat(dir.c_str(), &st) != 0) {
    MakeParentDirectory(dir);
    ::mkdir(dir.c_str(), 0755);
  }
}

bool IsLocal(const std::wstring& name)
{
  if (name.empty() || name == L"." || name == L"localhost")
    return true;
  const std::wstring local = LocalComputerName();
  return wcscasecmp(name.c_str(), local.c_str()) == 0;
}

}  // namespace

std::wstring LocalComputerName()
{
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0)
    return L"localhost";
  return FromUtf8(buf);
}

std::string ConsoleSocketPath()
{
  CRegKey key;
  std::wstring value;
  if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey, KEY_READ) == ERROR_SUCCESS &&
      key.QueryStringValue(L"ConsoleSocket", value) == ERROR_SUCCESS && !value.empty())
    return ToUtf8(value);
  return "/run/corvex/console.sock";
}

CORBA::ORB_ptr ComOrb()
{
  State& s = TheState();
  std::lock_guard<std::recursive_mutex> lock(s.lock);
  if (CORBA::is_nil(s.orb)) {
    // A console serves its callback objects (search listeners) on a private Unix socket that
    // only its own user may open.
    const char* options[][2] = {{"endPoint", "giop:unix:"}, {"unixTransportPermission", "600"}, {nullptr, nullptr}};
    int argc = 0;
    s.orb = CORBA::ORB_init(argc, nullptr, "omniORB4", options);
  }
  return s.orb;
}

PortableServer::POA_ptr ComRootPoa()
{
  State& s = TheState();
  std::lock_guard<std::recursive_mutex> lock(s.lock);
  if (CORBA::is_nil(s.rootPoa)) {
    CORBA::Object_var obj = ComOrb()->resolve_initial_references("RootPOA");
    s.rootPoa = PortableServer::POA::_narrow(obj);
    PortableServer::POAManager_var manager = s.rootPoa->the_POAManager();
    manager->activate();
  }
  return s.rootPoa;
}

HRESULT StartConsoleEndpoint()
{
  State& s = TheState();
  std::lock_guard<std::recursive_mutex> lock(s.lock);
  if (s.activator)
    return S_FALSE;
  const std::string socket = ConsoleSocketPath();
  MakeParentDirectory(socket);
  const std::string consoleEndpoint = "giop:unix:" + socket;
  try {
    if (CORBA::is_nil(s.orb)) {
      // The console socket first, then a private socket for the objects the process hands out.
      // No TCP: the console's calls carry installation passwords, and a port would take them
      // from anyone on the network; remote administration is the web console's.
      const char* options[][2] = {{"endPoint", consoleEndpoint.c_str()},
                                  {"endPoint", "giop:unix:"},
                                  {"unixTransportPermission", "600"},
                                  {nullptr, nullptr}};
      int argc = 0;
      s.orb = CORBA::ORB_init(argc, nullptr, "omniORB4", options);
    }
    ComRootPoa();
    CORBA::Object_var obj = s.orb->resolve_initial_references("omniINSPOA");
    s.insPoa = PortableServer::POA::_narrow(obj);
    PortableServer::POAManager_var manager = s.insPoa->the_POAManager();
    manager->activate();
    auto* activator = new ActivatorImpl;
    PortableServer::ObjectId_var oid = PortableServer::string_to_ObjectId(kActivatorKey);
    s.insPoa->activate_object_with_id(oid, activator);
    activator->_remove_ref();
    s.activator = activator;
  } catch (const CORBA::Exception&) {
    return RPC_S_SERVER_UNAVAILABLE_HR;
  }
  return ProtectSocket(socket);
}

void StopConsoleEndpoint()
{
  State& s = TheState();
  std::lock_guard<std::recursive_mutex> lock(s.lock);
  if (!s.activator)
    return;
  try {
    PortableServer::ObjectId_var oid = PortableServer::string_to_ObjectId(kActivatorKey);
    s.insPoa->deactivate_object(oid);
  } catch (const CORBA::Exception&) {
    // The ORB may already be gone with the messaging library's shutdown.
  }
  s.activator = nullptr;
}

void RegisterInterfaceMarshaller(const IID& iid, StubFactory stub, ProxyFactory proxy)
{
  State& s = TheState();
  std::lock_guard<std::recursive_mutex> lock(s.lock);
  s.marshallers[iid] = {stub, proxy};
}

ManagementService::Unknown_ptr ActivateServant(PortableServer::ServantBase* servant)
{
  PortableServer::POA_ptr poa = ComRootPoa();
  PortableServer::ObjectId_var oid = poa->activate_object(servant);
  servant->_remove_ref();  // the POA owns it now
  CORBA::Object_var ref = poa->id_to_reference(oid);
  return ManagementService::Unknown::_narrow(ref);
}

void DeactivateServant(PortableServer::ServantBase* servant)
{
  try {
    PortableServer::POA_ptr poa = ComRootPoa();
    PortableServer::ObjectId_var oid = poa->servant_to_id(servant);
    poa->deactivate_object(oid);
  } catch (const CORBA::Exception&) {
  }
}

HRESULT CoCreateInstanceEx(const CLSID& clsid, IUnknown* outer, DWORD context, const COSERVERINFO* server, ULONG count,
                           MULTI_QI* results)
{
  if (!results || count == 0)
    return E_INVALIDARG;
  if (outer)
    return CLASS_E_NOAGGREGATION;
  for (ULONG i = 0; i < count; ++i) {
    results[i].pItf = nullptr;
    results[i].hr = E_NOINTERFACE;
  }
  const bool local = !server || IsLocal(server->name);
  // A process that serves the class itself creates it in place.
  if (local) {
    bool served = false;
    for (ULONG i = 0; i < count; ++i) {
      results[i].hr = CoCreateInstance(clsid, nullptr, context, *results[i].pIID, reinterpret_cast<void**>(&results[i].pItf));
      served = served || results[i].hr != REGDB_E_CLASSNOTREG;
    }
    if (served)
      return SUCCEEDED(results[0].hr) ? S_OK : results[0].hr;
  }
  // The service listens on its console socket only: another computer's cannot be reached.
  if (!local)
    return RPC_S_SERVER_UNAVAILABLE_HR;
  const std::string location = "corbaloc:omniunix:" + ConsoleSocketPath() + ":/" + kActivatorKey;
  HRESULT first = S_OK;
  try {
    CORBA::Object_var obj = ComOrb()->string_to_object(location.c_str());
    ManagementService::Activator_var activator = ManagementService::Activator::_narrow(obj);
    if (CORBA::is_nil(activator))
      return RPC_S_SERVER_UNAVAILABLE_HR;
    const std::string clsidText = GuidToString(clsid);
    for (ULONG i = 0; i < count; ++i) {
      const auto proxy = Marshaller(*results[i].pIID).second;
      if (!proxy) {
        results[i].hr = E_NOINTERFACE;
      } else {
        ManagementService::Unknown_var instance;
        results[i].hr = activator->CreateInstance(clsidText.c_str(), GuidToString(*results[i].pIID).c_str(), instance.out());
        if (SUCCEEDED(results[i].hr)) {
          results[i].pItf = proxy(instance);
          results[i].pItf->AddRef();
        }
      }
      if (i == 0)
        first = results[i].hr;
    }
  } catch (const CORBA::Exception&) {
    for (ULONG i = 0; i < count; ++i) {
      if (results[i].pItf)
        results[i].pItf->Release();
      results[i].pItf = nullptr;
      results[i].hr = RPC_S_SERVER_UNAVAILABLE_HR;
    }
    return RPC_S_SERVER_UNAVAILABLE_HR;
  }
  return SUCCEEDED(first) ? S_OK : first;
}
