#include "messaging/NatsLink.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <fstream>
#include <stdexcept>

#include "messaging/SubjectToken.h"

namespace messaging {

namespace wire {

bool IsServiceAddress(std::string_view address)
{
  return address.find('.') == std::string_view::npos;
}

std::string LetterSubject(std::string_view destination, std::string_view originator)
{
  return std::string(IsServiceAddress(destination) ? "cvx.svc." : "cvx.to.") + EscapeToken(destination) + "." +
         EscapeToken(originator);
}

std::string RelaySubject(std::string_view address) { return "cvx.rt." + EscapeToken(address); }
std::string AckSubject(std::string_view address) { return "cvx.ack." + EscapeToken(address); }
std::string DeliverySubject(std::string_view address) { return "cvx.dlv." + EscapeToken(address); }
std::string InboxPrefix(std::string_view address) { return "_I." + EscapeToken(address); }
std::string ServiceConsumer(std::string_view address) { return "svc_" + EscapeToken(address); }
std::string ServiceSubjects(std::string_view address) { return "cvx.svc." + EscapeToken(address) + ".*"; }

std::optional<LetterRoute> ParseLetterSubject(std::string_view subject)
{
  std::string_view rest;
  if (subject.rfind("cvx.svc.", 0) == 0)
    rest = subject.substr(8);
  else if (subject.rfind("cvx.to.", 0) == 0)
    rest = subject.substr(7);
  else
    return std::nullopt;
  const auto dot = rest.find('.');
  if (dot == std::string_view::npos || rest.find('.', dot + 1) != std::string_view::npos)
    return std::nullopt;
  auto destination = UnescapeToken(rest.substr(0, dot));
  auto originator = UnescapeToken(rest.substr(dot + 1));
  if (!destination || !originator || destination->empty() || originator->empty())
    return std::nullopt;
  return LetterRoute{std::move(*destination), std::move(*originator)};
}

std::int32_t LetterId(std::uint64_t sequence)
{
  if (sequence == 0)
    return 0;
  return static_cast<std::int32_t>((sequence - 1) % 0x7FFFFFFFull + 1);
}

}  // namespace wire

namespace {

std::string ReadFirstLine(const std::filesystem::path& file)
{
  std::ifstream in(file);
  std::string line;
  if (!in || !std::getline(in, line))
    throw std::runtime_error("cannot read " + file.string());
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
    line.pop_back();
  return line;
}

}  // namespace

ServerLocation ReadServerLocation(const std::string& directory)
{
  namespace fs = std::filesystem;
  if (directory.empty())
    throw std::runtime_error("no messaging directory given");
  ServerLocation location;
  location.directory = directory;
  location.url = ReadFirstLine(fs::path(directory) / "url");
  if (location.url.empty())
    throw std::runtime_error("the messaging directory " + directory + " names no server (its file `url` is empty)");
  location.caFile = (fs::path(directory) / "ca.pem").string();
  if (!fs::exists(location.caFile))
    throw std::runtime_error("the messaging directory " + directory + " has no CA certificate (ca.pem)");
  return location;
}

std::string SeedFileOf(const std::string& directory, std::string_view address, bool system)
{
  return (std::filesystem::path(directory) / "clients" / (EscapeToken(address) + (system ? ".sys.nk" : ".nk"))).string();
}

NKeyIdentity::NKeyIdentity(const std::string& seedFile)
  : m_seed(ReadSeedFile(seedFile)), m_public(PublicKeyFromSeed(m_seed.Text()))
{
}

natsStatus NKeyIdentity::SignNonce(char** customErrTxt, unsigned char** signature, int* signatureLength,
                                   const char* nonce, void* closure)
{
  try {
    const auto* self = static_cast<const NKeyIdentity*>(closure);
    const auto signed_ = Sign(self->m_seed.Text(), nonce, std::strlen(nonce));
    auto* out = static_cast<unsigned char*>(std::malloc(signed_.size()));
    if (!out)
      return NATS_NO_MEMORY;
    std::memcpy(out, signed_.data(), signed_.size());
    *signature = out;
    *signatureLength = static_cast<int>(signed_.size());
    return NATS_OK;
  } catch (const std::exception& e) {
    *customErrTxt = strdup(e.what());
    return NATS_ERR;
  }
}

namespace {

// What every client of a location shares: the server, TLS with the location's CA, endless
// reconnection.
NatsPtr<natsOptions> LocationOptions(const ServerLocation& location)
{
  natsOptions* raw = nullptr;
  if (natsOptions_Create(&raw) != NATS_OK)
    throw std::runtime_error("cannot create connection options");
  NatsPtr<natsOptions> options(raw);
  // `url` may name several servers (a cluster), separated by commas: the client picks one and
  // moves to another when it goes.
  std::vector<std::string> urls;
  for (std::size_t begin = 0; begin <= location.url.size();) {
    std::size_t end = location.url.find(',', begin);
    if (end == std::string::npos)
      end = location.url.size();
    std::string one = location.url.substr(begin, end - begin);
    one.erase(0, one.find_first_not_of(" \t"));
    one.erase(one.find_last_not_of(" \t") + 1);
    if (!one.empty())
      urls.push_back(std::move(one));
    begin = end + 1;
  }
  std::vector<const char*> servers;
  for (const auto& u : urls)
    servers.push_back(u.c_str());
  natsStatus s = servers.size() > 1 ? natsOptions_SetServers(raw, servers.data(), static_cast<int>(servers.size()))
                                    : natsOptions_SetURL(raw, location.url.c_str());
  if (s == NATS_OK)
    s = natsOptions_SetSecure(raw, true);
  if (s == NATS_OK)
    s = natsOptions_LoadCATrustedCertificates(raw, location.caFile.c_str());
  if (s == NATS_OK)
    s = natsOptions_SetMaxReconnect(raw, -1);
  if (s == NATS_OK)
    s = natsOptions_SetReconnectWait(raw, 250);
  if (s == NATS_OK)
    s = natsOptions_SetReconnectJitter(raw, 100, 1000);
  if (s == NATS_OK)
    s = natsOptions_SetMaxPingsOut(raw, 2);
  if (s == NATS_OK)
    s = natsOptions_SetTimeout(raw, 5000);
  // Many simulated agents in one process would otherwise cost a thread per subscription.
  if (s == NATS_OK)
    s = natsOptions_UseGlobalMessageDelivery(raw, true);
  if (s == NATS_OK)
    s = natsOptions_SetMaxPendingMsgs(raw, 1 << 20);
  if (s != NATS_OK)
    throw std::runtime_error("connection options for " + location.url + ": " + NatsError(s));
  return options;
}

// One client's identity on options.
natsStatus SetIdentity(natsOptions* options, NKeyIdentity& identity, std::string_view address, int pingSeconds)
{
  const std::string name(address);
  const std::string inbox = wire::InboxPrefix(address);
  natsStatus s = natsOptions_SetNKey(options, identity.PublicKey().c_str(), &NKeyIdentity::SignNonce, &identity);
  if (s == NATS_OK)
    s = natsOptions_SetName(options, name.c_str());
  if (s == NATS_OK)
    s = natsOptions_SetCustomInboxPrefix(options, inbox.c_str());
  if (s == NATS_OK)
    s = natsOptions_SetPingInterval(options, static_cast<int64_t>(pingSeconds > 0 ? pingSeconds : 10) * 1000);
  return s;
}

}  // namespace

NatsPtr<natsOptions> ClientOptions(const ServerLocation& location, NKeyIdentity& identity, std::string_view address,
                                   int pingSeconds)
{
  auto options = LocationOptions(location);
  const natsStatus s = SetIdentity(options.get(), identity, address, pingSeconds);
  if (s != NATS_OK)
    throw std::runtime_error("connection options for `" + std::string(address) + "`: " + NatsError(s));
  return options;
}

natsStatus ConnectClient(natsConnection** nc, const ServerLocation& location, NKeyIdentity& identity,
                         std::string_view address, int pingSeconds, const ConnectionCallbacks& callbacks)
{
  // Options made once per location and reused: a connection copies them, and with them shares
  // one TLS context instead of loading the CA into a context of its own (most of a client's
  // memory, and the cost of opening many connections).
  struct Shared
  {
    std::mutex mutex;
    NatsPtr<natsOptions> options;
  };
  static std::mutex registryMutex;
  static std::map<std::string, std::unique_ptr<Shared>> registry;
  Shared* shared;
  {
    std::lock_guard lock(registryMutex);
    auto& entry = registry[location.url + "\n" + location.caFile];
    if (!entry) {
      auto fresh = std::make_unique<Shared>();
      fresh->options = LocationOptions(location);
      entry = std::move(fresh);
    }
    shared = entry.get();
  }
  std::lock_guard lock(shared->mutex);
  natsOptions* options = shared->options.get();
  natsStatus s = SetIdentity(options, identity, address, pingSeconds);
  if (s == NATS_OK)
    s = natsOptions_SetDisconnectedCB(options, callbacks.disconnected, callbacks.closure);
  if (s == NATS_OK)
    s = natsOptions_SetReconnectedCB(options, callbacks.reconnected, callbacks.closure);
  if (s == NATS_OK)
    s = natsOptions_SetErrorHandler(options, callbacks.error, callbacks.closure);
  if (s == NATS_OK)
    s = ConnectNats(nc, options);
  return s;
}

natsStatus ConnectNats(natsConnection** nc, natsOptions* options)
{
  natsStatus s = NATS_OK;
  for (int attempt = 0; attempt < 4; ++attempt) {
    s = natsConnection_Connect(nc, options);
    if (s != NATS_CONNECTION_AUTH_FAILED)
      break;
  }
  return s;
}

std::string NatsError(natsStatus status)
{
  std::string text = natsStatus_GetText(status);
  if (const char* last = nats_GetLastError(nullptr); last && *last && text.find(last) == std::string::npos)
    text += std::string(" (") + last + ")";
  return text;
}

std::string Header(natsMsg* msg, const char* key)
{
  const char* value = nullptr;
  if (natsMsgHeader_Get(msg, key, &value) != NATS_OK || !value)
    return {};
  return value;
}

}  // namespace messaging
