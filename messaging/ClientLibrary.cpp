#include "messaging/ClientLibrary.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

#include "messaging/Addresses.h"
#include "messaging/ClientConnection.h"
#include "messaging/NatsLink.h"
#include "messaging/PayloadCheck.h"
#include "messaging/TraceComponent.h"
#include "platform/errortext/WinRuntimeError.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace ZiriviridUrurezArevudUza {

namespace {

using detail::ClientConnection;

constexpr char kDefaultMessagingDirectory[] = "/etc/corvex/messaging";
// An agent sends a few letters a minute; a hundred in one second is a flood.
constexpr int kDefaultSenderRate = 100;

std::string RegistryText(const CRegKey& key, const wchar_t* name)
{
  std::wstring value;
  if (key.QueryStringValue(name, value) != ERROR_SUCCESS)
    return {};
  return ToUtf8(value);
}

void WriteRegistryText(CRegKey& key, const wchar_t* name, const std::string& value, const std::string& keyPath)
{
  const LONG rc = key.SetStringValue(name, FromUtf8(value));
  if (rc != ERROR_SUCCESS)
    throw WinRuntimeError::FromWin32(rc, "InitialiseClientLibraryLocal: cannot write HKEY_LOCAL_MACHINE\\" + keyPath);
}

class ClientLibrary final : public IClientLibrary
{
public:
  void InitORB(int argc, char* argv[]) override;
  void ShutdownORB() override;
  void InitialiseClientLibraryLocal(const char* productCode, const char* privateKeyPath, const char* registrationFile,
                                    long reserved1, const char* reserved2, long reserved3, long reserved4) override;
  void ShutdownClientLibraryLocal() override;
  IConnection* Connect(IEnvelopeReceiver* receiver) override;
  bool IsAuthorised(const CorvexMessaging::Envelope& envelope) override;
  bool IsRouterAuthorised(const CorvexMessaging::Envelope& envelope) override;
  std::string DeliveryKey(const CorvexMessaging::Envelope& envelope) override;
  IConnection* ConnectAs(IEnvelopeReceiver* receiver, const std::string& address,
                         const std::string& routerLocation) override;

private:
  IConnection* Open(IEnvelopeReceiver* receiver, const std::string& address, const std::string& location,
                    int senderRate = 0);
  void ReleaseAll();
  std::string SealingRouter(const CorvexMessaging::Envelope& envelope, std::string* key = nullptr);

  std::mutex m_mutex;
  CORBA::ORB_var m_orb;
  bool m_local = false;
  int m_senderRate = 0;  // the local identity's connections
  std::string m_address;
  std::string m_location;
  std::set<ClientConnection*> m_connections;
};

void ClientLibrary::InitORB(int argc, char* argv[])
{
  std::lock_guard lock(m_mutex);
  if (!CORBA::is_nil(m_orb))
    throw std::runtime_error("InitORB: the ORB is already initialised");
  // The ORB may take its own options out of the array, so it works on a copy.
  std::vector<std::string> args;
  bool endpointGiven = std::getenv("ORBendPoint") != nullptr;
  for (int i = 0; i < argc && argv && argv[i]; ++i) {
    args.emplace_back(argv[i]);
    if (args.back().rfind("-ORBendPoint", 0) == 0)
      endpointGiven = true;
  }
  if (args.empty())
    args.emplace_back("corvex");
  std::vector<char*> pointers;
  for (auto& a : args)
    pointers.push_back(a.data());
  pointers.push_back(nullptr);
  int count = static_cast<int>(args.size());

  // The ORB encodes and decodes the letters' payloads (wide texts in UTF-16); the messaging
  // server is reached through libnats, so nothing of the messaging system is served on it.
  // Should anything of the process serve objects, it does so on a private Unix socket, not on
  // every network interface, unless the program's arguments or environment name endpoints.
  const char* options[][2] = {{"defaultWCharCodeSet", "UTF-16"},
                              {"unixTransportPermission", "600"},
                              {"endPoint", "giop:unix:"},
                              {nullptr, nullptr}};
  if (endpointGiven)
    options[2][0] = nullptr;  // the list ends before the default endpoint
  try {
    m_orb = CORBA::ORB_init(count, pointers.data(), "omniORB4", options);
  } catch (const CORBA::Exception& e) {
    m_orb = CORBA::ORB::_nil();
    throw std::runtime_error(std::string("InitORB failed: ") + e._name());
  }
  trace::Trace(TRACE_MESSAGING_LIBRARY, 2, "ORB initialised\n");
}

void ClientLibrary::ShutdownORB()
{
  ReleaseAll();
  CORBA::ORB_var orb;
  {
    std::lock_guard lock(m_mutex);
    orb = m_orb;
    m_orb = CORBA::ORB::_nil();
    m_local = false;
  }
  if (!CORBA::is_nil(orb)) {
    try {
      orb->destroy();
    } catch (const CORBA::Exception& e) {
      trace::Trace(TRACE_MESSAGING_LIBRARY, 0, "ShutdownORB: %hs\n", e._name());
    }
  }
}

void ClientLibrary::InitialiseClientLibraryLocal(const char* productCode, const char* privateKeyPath,
                                                 const char* registrationFile, long reserved1, const char* reserved2,
                                                 long reserved3, long reserved4)
{
  if (!productCode || !*productCode || !privateKeyPath || !*privateKeyPath || !registrationFile || !*registrationFile)
    throw std::runtime_error("InitialiseClientLibraryLocal: product code, key path and registration file are required");
  if (reserved1 != 0 || (reserved2 && *reserved2) || reserved3 != 0 || reserved4 != 0)
    throw std::runtime_error("InitialiseClientLibraryLocal: the reserved arguments must be 0, \"\", 0, 0");
  {
    std::lock_guard lock(m_mutex);
    if (CORBA::is_nil(m_orb))
      throw std::runtime_error("InitialiseClientLibraryLocal: InitORB has not been called");
  }

  const std::string keyPath = privateKeyPath;
  CRegKey key;
  const LONG rc = key.Create(HKEY_LOCAL_MACHINE, FromUtf8(keyPath).c_str(), KEY_READ | KEY_WRITE);
  if (rc != ERROR_SUCCESS)
    throw WinRuntimeError::FromWin32(rc, "InitialiseClientLibraryLocal: cannot open HKEY_LOCAL_MACHINE\\" + keyPath);

  std::string address = RegistryText(key, L"Address");
  if (address.empty()) {
    address = std::filesystem::path(registrationFile).stem().string();
    WriteRegistryText(key, L"Address", address, keyPath);
  }
  if (!messaging::IsValidClientAddress(address))
    throw std::runtime_error("InitialiseClientLibraryLocal: the local address `" + address + "` is not valid");
  WriteRegistryText(key, L"ProductCode", productCode, keyPath);
  WriteRegistryText(key, L"RegistrationFile", registrationFile, keyPath);

  // The payload check's limits, when the key sets any (REG_DWORD): what every letter this
  // process receives is held to.
  messaging::PayloadLimits limits = messaging::CurrentPayloadLimits();
  DWORD value = 0;
  if (key.QueryDWORDValue(L"MaxPayloadNesting", value) == ERROR_SUCCESS)
    limits.nesting = value;
  if (key.QueryDWORDValue(L"MaxPayloadAnys", value) == ERROR_SUCCESS)
    limits.anys = value;
  if (key.QueryDWORDValue(L"MaxPayloadWork", value) == ERROR_SUCCESS)
    limits.work = value;
  try {
    messaging::SetPayloadLimits(limits);
  } catch (const std::invalid_argument& e) {
    throw std::runtime_error("InitialiseClientLibraryLocal: HKEY_LOCAL_MACHINE\\" + keyPath + ": " + e.what());
  }

  // Letters one agent may have taken in a second of their acceptance (0: no limit).
  int senderRate = kDefaultSenderRate;
  if (key.QueryDWORDValue(L"MaxLettersPerSenderSecond", value) == ERROR_SUCCESS)
    senderRate = static_cast<int>(std::min<DWORD>(value, 1000000));

  std::string location = RegistryText(key, L"Messaging");
  if (location.empty() && std::getenv("CORVEX_MESSAGING"))
    location = std::getenv("CORVEX_MESSAGING");
  if (location.empty())
    location = kDefaultMessagingDirectory;
  try {
    messaging::ReadServerLocation(location);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("InitialiseClientLibraryLocal: ") + e.what());
  }

  std::lock_guard lock(m_mutex);
  m_address = address;
  m_location = location;
  m_senderRate = senderRate;
  m_local = true;
  trace::Trace(TRACE_MESSAGING_LIBRARY, 2, "Local identity `%hs`, messaging `%hs`\n", m_address, m_location);
}

void ClientLibrary::ShutdownClientLibraryLocal()
{
  ReleaseAll();
  std::lock_guard lock(m_mutex);
  m_local = false;
}

IConnection* ClientLibrary::Connect(IEnvelopeReceiver* receiver)
{
  std::string address, location;
  int senderRate = 0;
  {
    std::lock_guard lock(m_mutex);
    if (!m_local)
      throw std::runtime_error("Connect: InitialiseClientLibraryLocal has not been called");
    address = m_address;
    location = m_location;
    senderRate = m_senderRate;
  }
  return Open(receiver, address, location, senderRate);
}

IConnection* ClientLibrary::ConnectAs(IEnvelopeReceiver* receiver, const std::string& address,
                                      const std::string& routerLocation)
{
  if (!messaging::IsValidClientAddress(address))
    throw std::runtime_error("ConnectAs: the address `" + address + "` is not valid");
  return Open(receiver, address, routerLocation);
}

IConnection* ClientLibrary::Open(IEnvelopeReceiver* receiver, const std::string& address, const std::string& location,
                                 int senderRate)
{
  if (!receiver)
    throw std::runtime_error("Connect: no receiver");
  std::lock_guard lock(m_mutex);
  if (CORBA::is_nil(m_orb))
    throw std::runtime_error("Connect: InitORB has not been called");
  auto* connection = new ClientConnection(receiver, address, location,
                                          [this](ClientConnection* c) {
                                            std::lock_guard l(m_mutex);
                                            m_connections.erase(c);
                                          },
                                          senderRate);
  m_connections.insert(connection);
  return connection;
}

void ClientLibrary::ReleaseAll()
{
  for (;;) {
    ClientConnection* connection = nullptr;
    {
      std::lock_guard lock(m_mutex);
      if (m_connections.empty())
        return;
      connection = *m_connections.begin();
    }
    connection->Release();  // removes itself
  }
}

std::string ClientLibrary::SealingRouter(const CorvexMessaging::Envelope& envelope, std::string* key)
{
  std::lock_guard lock(m_mutex);
  for (ClientConnection* connection : m_connections) {
    std::string router = connection->SealingRouter(envelope, key);
    if (!router.empty())
      return router;
  }
  return {};
}

bool ClientLibrary::IsAuthorised(const CorvexMessaging::Envelope& envelope)
{
  return !SealingRouter(envelope).empty();
}

bool ClientLibrary::IsRouterAuthorised(const CorvexMessaging::Envelope& envelope)
{
  const std::string router = SealingRouter(envelope);
  const char* originator = envelope.originator.in();
  return !router.empty() && originator && router == originator;
}

std::string ClientLibrary::DeliveryKey(const CorvexMessaging::Envelope& envelope)
{
  std::string key;
  return SealingRouter(envelope, &key).empty() ? std::string() : key;
}

}  // namespace

IClientLibrary* IClientLibrary::Instance()
{
  static ClientLibrary* library = new ClientLibrary;
  return library;
}

}  // namespace ZiriviridUrurezArevudUza
