#pragma once
// The messaging client library: how a process logs on to the router (corvex-router), sends
// letters and receives envelopes. messaging/README.md describes the behaviour in full.
//
//   IClientLibrary* lib = IClientLibrary::Instance();
//   lib->InitORB(argc, argv);
//   lib->InitialiseClientLibraryLocal("Tz", privateKeyPath, "PTLManagementService.reg", 0, "", 0, 0);
//   IConnection* c = lib->Connect(&receiver);
//   c->ConfirmExplicitly();         // optional: the receiver confirms each envelope itself
//   c->Configure(0, 10);            // delivery to the receiver starts here
//   c->Send(message);               // letter id, 0 when not accepted
//   c->Confirm(envelope.message_id);  // after ConfirmExplicitly, once the envelope is applied
//   c->Release();
//   lib->ShutdownClientLibraryLocal();
//   lib->ShutdownORB();
//
// Envelopes and connection changes reach the receiver on the library's own threads, one
// connection's in the order the router delivered them.
#include <string>

#include "idl/CorvexMessaging.hh"

namespace ZiriviridUrurezArevudUza {

class IEnvelopeReceiver
{
public:
  virtual ~IEnvelopeReceiver() = default;
  virtual void Receive(const CorvexMessaging::Envelope& envelope) = 0;
  // true when the connection to the router is (again) established, false when it was lost.
  virtual void NotifyConnection(bool connected) = 0;
};

class IConnection
{
public:
  // Hands a letter to the router. Returns the letter's id, or 0 when it was not accepted
  // (not connected, the router refused it, the router could not be reached). Never throws.
  virtual CorvexMessaging::MessageId Send(const CorvexMessaging::Message& message) = 0;
  // Logs off, stops the connection's threads and frees it; envelopes not yet handed to the
  // receiver are dropped and the receiver is called no more. Must not be called from within
  // the receiver's own calls (std::logic_error).
  virtual void Release() = 0;
  // maxQueued: the most envelopes held for the receiver before the router is asked to keep
  // further ones for a while (0: no limit). heartbeatSeconds: how often the router is checked
  // while connected and contacted again while not (0: 10 seconds). Starts delivery to the
  // receiver. Negative values: std::invalid_argument.
  virtual void Configure(long maxQueued, long heartbeatSeconds) = 0;

  // Confirmation, an addition to the operations above. The router keeps every envelope it
  // delivered until the connection confirms it, and delivers the unconfirmed ones again, in
  // their original order, after the connection logs on anew (a restart of either side).
  // By default the library confirms an envelope once Receive has returned for it. After
  // ConfirmExplicitly (before Configure) the receiver confirms each envelope itself with
  // Confirm, typically once what it caused is durable; an envelope never confirmed comes again
  // after the next logon. Confirm is thread-safe, never blocks on the router and never throws.
  // (Not pure, so that connections written before confirmation existed still build.)
  virtual void ConfirmExplicitly() {}
  virtual void Confirm(CorvexMessaging::MessageId) {}

  // Not used by the service; for tools and tests.
  virtual std::string Address() const = 0;
  virtual bool IsConnected() const = 0;

protected:
  virtual ~IConnection() = default;
};

class IClientLibrary
{
public:
  // The process-wide library; never freed.
  static IClientLibrary* Instance();

  // Initialises the ORB with the process's arguments (argv[argc] is null). -ORB options in
  // them apply; without an -ORBendPoint the library listens on a private Unix socket and an
  // ephemeral TCP port for the router's deliveries. std::runtime_error on failure.
  virtual void InitORB(int argc, char* argv[]) = 0;
  // Undoes InitORB: every connection still open is released, then the ORB is destroyed.
  virtual void ShutdownORB() = 0;
  // Loads or creates the local identity under HKEY_LOCAL_MACHINE\<privateKeyPath>: the address
  // ("Address", default: the registration file's name without its extension), the product code
  // and the router to use ("Router", else $CORVEX_ROUTER, else /run/corvex/router.sock).
  // The four trailing arguments are reserved and must be 0, "", 0, 0. Throws
  // std::runtime_error (the registry key cannot be written, bad arguments, InitORB missing).
  virtual void InitialiseClientLibraryLocal(const char* productCode, const char* privateKeyPath,
                                            const char* registrationFile, long reserved1, const char* reserved2,
                                            long reserved3, long reserved4) = 0;
  virtual void ShutdownClientLibraryLocal() = 0;
  // Starts a connection for the local identity. It logs on in the background and keeps
  // logging on again whenever the router is lost; std::runtime_error before initialisation.
  virtual IConnection* Connect(IEnvelopeReceiver* receiver) = 0;
  // True when the envelope was delivered by the router this process is connected to, sealed
  // for one of its connections, and has not been altered since.
  virtual bool IsAuthorised(const CorvexMessaging::Envelope& envelope) = 0;
  // True when, in addition, the router itself originated it (its notices and replies).
  virtual bool IsRouterAuthorised(const CorvexMessaging::Envelope& envelope) = 0;
  // (addition) A key that names this envelope's letter for good: no restart of any process and
  // no wrap of a counter gives another letter the same key, and a letter delivered twice has the
  // same key both times. Empty when the envelope is not authorised. The service's duplicate check
  // keys on it.
  virtual std::string DeliveryKey(const CorvexMessaging::Envelope&) { return {}; }

  // Not used by the service; for simulators and tools: a connection under any address to a
  // given router location (a socket path, host:port, or a corbaloc/IOR text). Needs InitORB
  // only.
  virtual IConnection* ConnectAs(IEnvelopeReceiver* receiver, const std::string& address,
                                 const std::string& routerLocation) = 0;

protected:
  virtual ~IClientLibrary() = default;
};

}  // namespace ZiriviridUrurezArevudUza
