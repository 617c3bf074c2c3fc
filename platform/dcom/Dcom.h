#pragma once
// Out-of-process COM over CORBA. A server process publishes its class objects on the console
// endpoint, a Unix socket (never a TCP port), through an Activator object with the fixed
// key "ManagementService"; clients create instances there with CoCreateInstanceEx. Each interface
// that crosses processes registers a marshaller: a stub factory (server side: wraps a COM object
// in a CORBA servant) and a proxy factory (client side: wraps a CORBA reference in a COM object).
//
// The process has one ORB. The endpoint initialises it with its endpoints; anything else that
// needs the ORB later (the messaging library) gets the same one.
#include <omniORB4/CORBA.h>

#include <string>

#include "idl/ManagementService.hh"
#include "platform/com/Unknown.h"


// The process's ORB, initialised without endpoints of its own when nothing initialised it yet.
CORBA::ORB_ptr ComOrb();
PortableServer::POA_ptr ComRootPoa();

// Where the service's console endpoint is: registry value "ConsoleSocket" (default
// /run/corvex/console.sock) under HKLM\SOFTWARE\Corvex\KT\Management Tools\Management Service.
std::string ConsoleSocketPath();

// Starts the endpoint: the ORB with the console socket besides a private Unix socket,
// the activator, and the socket's protection from the process security (CoInitializeSecurity):
// the group of its first Unix group entry and mode 0660; without process security, 0600.
HRESULT StartConsoleEndpoint();
void StopConsoleEndpoint();

using StubFactory = ManagementService::Unknown_ptr (*)(IUnknown* object);
using ProxyFactory = IUnknown* (*)(ManagementService::Unknown_ptr reference);
void RegisterInterfaceMarshaller(const IID& iid, StubFactory stub, ProxyFactory proxy);

// Activates a servant in the root POA and gives out its reference; the servant deactivates
// itself when Release() is called remotely.
ManagementService::Unknown_ptr ActivateServant(PortableServer::ServantBase* servant);
void DeactivateServant(PortableServer::ServantBase* servant);

struct COSERVERINFO
{
  std::wstring name;  // empty or "." or this computer's name: the local endpoint
};
struct MULTI_QI
{
  const IID* pIID;
  IUnknown* pItf;
  HRESULT hr;
};

// Creates an instance of the class: in this process when it registered the class object, else
// on the local server's console endpoint; another computer's server is never reached
// (RPC_S_SERVER_UNAVAILABLE). CO_E_SERVER_EXEC_FAILURE when the endpoint cannot be reached,
// E_NOINTERFACE when the interface has no marshaller.
HRESULT CoCreateInstanceEx(const CLSID& clsid, IUnknown* outer, DWORD context, const COSERVERINFO* server, ULONG count,
                           MULTI_QI* results);

// The local computer's name.
std::wstring LocalComputerName();
