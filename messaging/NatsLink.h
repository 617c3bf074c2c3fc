#pragma once
// What the client library and the relay share about reaching the messaging server: where it is
// (a messaging directory), how a client proves who it is (its nkey seed, over TLS with the
// deployment's CA), the subjects of the wire plan, and small owners for libnats objects.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>
#include <optional>
#include <string>
#include <string_view>

#include <nats/nats.h>

#include "messaging/NKeys.h"

namespace messaging {

// Subjects and names of the wire plan (README.md, "On the wire").
namespace wire {
inline constexpr char kInboxStream[] = "CVX_INBOX";      // letters to services
inline constexpr char kLettersStream[] = "CVX_LETTERS";  // letters to agents
inline constexpr char kKnownBucket[] = "CVX_KNOWN";
inline constexpr char kPresenceBucket[] = "CVX_PRESENCE";
inline constexpr char kSubscribersBucket[] = "CVX_SUBSCRIBERS";
inline constexpr char kLeaseBucket[] = "CVX_RELAY";
inline constexpr char kRelayQueue[] = "relay";
inline constexpr char kDefaultRelayName[] = "corvex-relay";

// Headers.
inline constexpr char kTtl[] = "Cvx-Ttl";
inline constexpr char kFrom[] = "Cvx-From";
inline constexpr char kSeq[] = "Cvx-Seq";
inline constexpr char kTime[] = "Cvx-Time";
inline constexpr char kEpoch[] = "Cvx-Epoch";
inline constexpr char kCommand[] = "Cvx-Cmd";
inline constexpr char kClient[] = "Cvx-Client";  // "<server id> <client id>" of a session

// Relay commands (header Cvx-Cmd of a request on cvx.rt.<a>).
inline constexpr char kLogon[] = "logon";
inline constexpr char kLogoff[] = "logoff";
inline constexpr char kSend[] = "send";
inline constexpr char kUnrouteable[] = "unrouteable";
// From the relay on a client's delivery subject: it counts the client as logged off.
inline constexpr char kLoggedOff[] = "logged-off";
// From the relay on a client's delivery subject right after its answer to a logon: what comes
// after it belongs to that session.
inline constexpr char kLoggedOn[] = "logged-on";

// A letter to an address with a computer part waits in CVX_LETTERS for the relay to deliver
// it; one to a service address goes to the service's consumer on CVX_INBOX.
bool IsServiceAddress(std::string_view address);
std::string LetterSubject(std::string_view destination, std::string_view originator);
std::string RelaySubject(std::string_view address);
std::string AckSubject(std::string_view address);
std::string DeliverySubject(std::string_view address);
std::string InboxPrefix(std::string_view address);
std::string ServiceConsumer(std::string_view address);
std::string ServiceSubjects(std::string_view address);

// The destination and originator a letter's subject names ("cvx.svc.<d>.<o>" or
// "cvx.to.<d>.<o>"); nothing for any other subject or a token that is not an address.
struct LetterRoute
{
  std::string destination;
  std::string originator;
};
std::optional<LetterRoute> ParseLetterSubject(std::string_view subject);

// The 32-bit letter id of a stream sequence: 1 ... 2^31-1, wrapping.
std::int32_t LetterId(std::uint64_t sequence);
}  // namespace wire

// Where a client finds the server: a messaging directory holding `url` (one server, or several
// separated by commas), `ca.pem` and `clients/<escaped address>.nk`. std::runtime_error naming
// what is missing.
struct ServerLocation
{
  std::string directory;
  std::string url;
  std::string caFile;
};
ServerLocation ReadServerLocation(const std::string& directory);
// Where a client's nkey seed lives in a messaging directory: clients/<escaped address>.nk; the
// relay's system user (`system`) beside it as <escaped address>.sys.nk.
std::string SeedFileOf(const std::string& directory, std::string_view address, bool system = false);

struct NatsDeleter
{
  void operator()(natsConnection* p) const { natsConnection_Destroy(p); }
  void operator()(natsOptions* p) const { natsOptions_Destroy(p); }
  void operator()(natsMsg* p) const { natsMsg_Destroy(p); }
  void operator()(natsSubscription* p) const { natsSubscription_Destroy(p); }
  void operator()(jsCtx* p) const { jsCtx_Destroy(p); }
  void operator()(jsPubAck* p) const { jsPubAck_Destroy(p); }
  void operator()(kvStore* p) const { kvStore_Destroy(p); }
  void operator()(kvEntry* p) const { kvEntry_Destroy(p); }
  void operator()(jsMsgMetaData* p) const { jsMsgMetaData_Destroy(p); }
  void operator()(jsStreamInfo* p) const { jsStreamInfo_Destroy(p); }
};
template <class T>
using NatsPtr = std::unique_ptr<T, NatsDeleter>;

// The nkey identity of one client: its seed, held for the signing of the server's nonce.
class NKeyIdentity
{
public:
  // std::runtime_error when the file does not hold a user seed.
  explicit NKeyIdentity(const std::string& seedFile);
  NKeyIdentity(const NKeyIdentity&) = delete;
  NKeyIdentity& operator=(const NKeyIdentity&) = delete;
  const std::string& PublicKey() const { return m_public; }
  // libnats' signature handler; the closure is the identity.
  static natsStatus SignNonce(char** customErrTxt, unsigned char** signature, int* signatureLength, const char* nonce,
                              void* closure);

private:
  SeedText m_seed;
  std::string m_public;
};

// libnats calls a connection's callbacks on threads of its own, and may still do so after the
// connection was closed and destroyed. Callbacks therefore reach their owner through a link that
// outlives them: links are kept for the process's life (a few dozen bytes per connection ever
// opened), and the owner cuts its link before it goes, waiting for a callback under way.
template <class T>
class CallbackLink
{
public:
  static CallbackLink* Make(T* owner)
  {
    static std::mutex registryMutex;
    static std::vector<std::unique_ptr<CallbackLink>> registry;
    std::lock_guard lock(registryMutex);
    registry.push_back(std::unique_ptr<CallbackLink>(new CallbackLink(owner)));
    return registry.back().get();
  }
  template <class F>
  void With(F&& f)
  {
    std::lock_guard lock(m_mutex);
    if (m_owner)
      f(*m_owner);
  }
  void Cut()
  {
    std::lock_guard lock(m_mutex);
    m_owner = nullptr;
  }

private:
  explicit CallbackLink(T* owner) : m_owner(owner) {}
  std::mutex m_mutex;
  T* m_owner;
};

// Connection options for one client: TLS with the location's CA, the identity's nkey, the
// connection's name and inbox prefix for the address, endless reconnection. The identity must
// outlive every connection made with the options.
NatsPtr<natsOptions> ClientOptions(const ServerLocation& location, NKeyIdentity& identity, std::string_view address,
                                   int pingSeconds);
// Connects one client of a location (its identity and callbacks on options the location's
// clients share); callbacks left null are not wanted. The identity must outlive the connection.
struct ConnectionCallbacks
{
  natsConnectionHandler disconnected = nullptr;
  natsConnectionHandler reconnected = nullptr;
  natsErrHandler error = nullptr;
  void* closure = nullptr;
};
natsStatus ConnectClient(natsConnection** nc, const ServerLocation& location, NKeyIdentity& identity,
                         std::string_view address, int pingSeconds, const ConnectionCallbacks& callbacks);
// natsConnection_Connect, tried again at once when the server refused the signature: libnats
// 3.4.1 sends none when the signature's first byte is zero (one connect in 256), and each try
// signs a new nonce.
natsStatus ConnectNats(natsConnection** nc, natsOptions* options);
// A natsStatus as text, with the last error libnats recorded on this thread.
std::string NatsError(natsStatus status);
std::string Header(natsMsg* msg, const char* key);

}  // namespace messaging
