#pragma once
// The messaging client library: how a process logs on to the messaging server and the relay
// beside it (corvex-relay), sends letters and receives envelopes. messaging/README.md describes
// the behaviour in full.
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
// connection's in the order they were delivered.
#include <string>

#include "idl/CorvexMessaging.hh"

namespace ZiriviridUrurezArevudUza {

class IEnvelopeReceiver
{
public:
  virtual ~IEnvelopeReceiver() = default;
  virtual void Receive(const CorvexMessaging::Envelope& envelope) = 0;
  // true when the connection is (again) logged on, false when it was lost.
  virtual void NotifyConnection(bool connected) = 0;
};

class IConnection
{
public:
  // Hands a letter to the messaging system. Returns the letter's id, or 0 when it was not
  // accepted (not logged on, refused, the server could not be reached). Never throws.
  virtual CorvexMessaging::MessageId Send(const CorvexMessaging::Message& message) = 0;
  // Logs off, stops the connection's threads and frees it; envelopes not yet handed to the
  // receiver are dropped and the receiver is called no more. Must not be called from within
  // the receiver's own calls (std::logic_error).
  virtual void Release() = 0;
  // maxQueued: the most envelopes held for the receiver; further ones are left unconfirmed and
  // come again (0: no limit). heartbeatSeconds: the connection's ping interval and the pause
  // between attempts while the server or the relay cannot be reached (0: 10 seconds). Starts
  // the connection (it logs on in the background) and delivery to the receiver. Negative
  // values: std::invalid_argument.
  virtual void Configure(long maxQueued, long heartbeatSeconds) = 0;

  // Confirmation, an addition to the operations above. The messaging system keeps every
  // envelope it delivered until the connection confirms it, and delivers the unconfirmed ones
  // again, in their original order, after the connection logs on anew (a restart of either side).
  // By default the library confirms an envelope once Receive has returned for it. After
  // ConfirmExplicitly (before Configure) the receiver confirms each envelope itself with
  // Confirm, typically once what it caused is durable; an envelope never confirmed comes again
  // after the next logon. Confirm is thread-safe, never blocks on the network and never throws.
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

  // Initialises the ORB with the process's arguments (argv[argc] is null); it encodes and
  // decodes payloads. -ORB options in them apply. std::runtime_error on failure.
  virtual void InitORB(int argc, char* argv[]) = 0;
  // Undoes InitORB: every connection still open is released, then the ORB is destroyed.
  virtual void ShutdownORB() = 0;
  // Loads or creates the local identity under HKEY_LOCAL_MACHINE\<privateKeyPath>: the address
  // ("Address", default: the registration file's name without its extension), the product code
  // and the messaging directory ("Messaging", else $CORVEX_MESSAGING, else /etc/corvex/messaging).
  // The four trailing arguments are reserved and must be 0, "", 0, 0. Throws
  // std::runtime_error (the registry key cannot be written, bad arguments, InitORB missing).
  virtual void InitialiseClientLibraryLocal(const char* productCode, const char* privateKeyPath,
                                            const char* registrationFile, long reserved1, const char* reserved2,
                                            long reserved3, long reserved4) = 0;
  virtual void ShutdownClientLibraryLocal() = 0;
  // Starts a connection for the local identity. It logs on in the background and keeps
  // logging on again whenever the connection is lost; std::runtime_error before
  // initialisation or without a credential for the address.
  virtual IConnection* Connect(IEnvelopeReceiver* receiver) = 0;
  // True when the envelope was delivered to one of this process's connections, sealed by it,
  // and has not been altered since.
  virtual bool IsAuthorised(const CorvexMessaging::Envelope& envelope) = 0;
  // True when, in addition, the relay itself originated it (its notices and replies).
  virtual bool IsRouterAuthorised(const CorvexMessaging::Envelope& envelope) = 0;
  // (addition) A key that names this envelope's letter for good: no restart of any process and
  // no wrap of a counter gives another letter the same key, and a letter delivered twice has the
  // same key both times. Empty when the envelope is not authorised. The service's duplicate check
  // keys on it.
  virtual std::string DeliveryKey(const CorvexMessaging::Envelope&) { return {}; }

  // Not used by the service; for simulators and tools: a connection under an enrolled address
  // to the server of a messaging directory. Needs InitORB only.
  virtual IConnection* ConnectAs(IEnvelopeReceiver* receiver, const std::string& address,
                                 const std::string& routerLocation) = 0;

protected:
  virtual ~IClientLibrary() = default;
};

}  // namespace ZiriviridUrurezArevudUza
