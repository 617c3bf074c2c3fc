#include "managementservice/messages/Receiver.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "businesslogic/ThreadDatabase.h"
#include <omniORB4/cdrStream.h>

#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "managementservice/host/EventLogger.h"
#include "managementservice/messages/ProcessingPass.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/messages/ReceivedMessage.h"
#include "managementservice/host/ServiceModule.h"
#include "metrics/ServiceMetrics.h"
#include "platform/service/ServiceControl.h"
#include "handlers/HandlerUtils/XMLDocument.h"
#include "messaging/MessagingConstants.h"
#include "platform/com/ClassTable.h"
#include "platform/com/ComError.h"
#include "platform/errortext/ErrorText.h"
#include "platform/registry/Registry.h"
#include "platform/sync/Sync.h"
#include "platform/text/Unicode.h"
#include "resources/EventMessages.h"

namespace {

constexpr DWORD kPollMs = 500;

[[noreturn]] void Terminate()
{
  // The process ends at once: no destructors, no further processing; the service manager's
  // recovery (Restart=on-failure) decides what follows.
  std::_Exit(kFatalExitCode);
}

DWORD ServiceSetting(const wchar_t* name, DWORD fallback)
{
  CRegKey key;
  DWORD value = 0;
  if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), KEY_READ) == ERROR_SUCCESS &&
      key.QueryDWORDValue(name, value) == ERROR_SUCCESS && value > 0)
    return value;
  return fallback;
}

// The envelope's size on the wire, near enough for a limit: its texts and its encoded payload.
// (Envelopes made in the process may hold null texts, which the encoder would not take.)
std::size_t EnvelopeSize(const CorvexMessaging::Envelope& e)
{
  auto text = [](const char* s) { return s ? std::strlen(s) + 5 : 5; };
  std::size_t size = 16 + text(e.originator_certificate) + text(e.originator) + text(e.client_info.destination) +
                     text(e.client_info.type) + text(e.client_info.delivery_options);
  for (CORBA::ULong i = 0; i < e.physical_destination.length(); ++i)
    size += text(e.physical_destination[i]);
  for (CORBA::ULong i = 0; i < e.timestamps.length(); ++i)
    size += text(e.timestamps[i].name) + 4;
  cdrMemoryStream payload;
  e.client_info.custom_data >>= payload;
  return size + payload.bufSize();
}

std::wstring ComErrorText(const _com_error& e)
{
  return e.Description().empty() ? FromUtf8(e.ErrorMessage()) : e.Description();
}

}  // namespace

Receiver::Receiver(bool startThread, ConnectionSource connection, StopStep stop, DatabaseSource database)
  : m_creators(MessageTypeTable()),
    m_maxEnvelopeBytes(ServiceSetting(L"MaxEnvelopeBytes", kDefaultMaxEnvelopeBytes)),
    m_connection(std::move(connection)),
    m_stop(std::move(stop)),
    m_database(std::move(database))
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "__thiscall Receiver::Receiver(bool) at 0x%p", static_cast<void*>(this));
  // Every document the service parses comes through this door.
  HandlerUtils::SetMaximumDocumentDepth(ServiceSetting(L"MaxDocumentDepth", 0));
  if (startThread) {
    m_running = true;
    m_stopped = false;
    m_thread = std::thread(&Receiver::processing, this);
  }
}

Receiver::~Receiver()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "__thiscall Receiver::~Receiver(void) at 0x%p", static_cast<void*>(this));
  m_running = false;
  while (!m_stopped) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Waiting for threads to stop(processing %s)", "runs");
    Sleep(kPollMs);
  }
  if (m_thread.joinable())
    m_thread.join();
  trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Threads stopped.\n");
  // What is still queued is discarded unprocessed.
  ProcessingQueue& queue = ProcessingQueue::Instance();
  while (queue.RemoveFront()) {
  }
}

ZiriviridUrurezArevudUza::IConnection* Receiver::Connection() const
{
  if (m_connection)
    return m_connection();
  CManagementServiceModule* module = CManagementServiceModule::Instance();
  return module ? module->Connection() : nullptr;
}

void Receiver::Receive(const CorvexMessaging::Envelope& envelope)
{
  try {
    trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "Receiver::Receive");
    // Refused before anything echoes what it carries.
    if (!Admissible(envelope)) {
      metrics::EnvelopeRefused("inadmissible");
      Confirm(envelope.message_id);
      return;
    }
    const char* type = envelope.client_info.type;
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Got `%hs` from `%hs`, id=%lu", type,
                 static_cast<const char*>(envelope.originator), static_cast<unsigned long>(static_cast<std::uint32_t>(envelope.message_id)));
    const auto it = m_creators.find(type);
    if (it == m_creators.end()) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "message type '%hs' not found !\n", type);
      metrics::EnvelopeRefused("unknown_type");
      Confirm(envelope.message_id);
      return;
    }
    std::unique_ptr<DecodedMessage> message(it->second(envelope));
    if (!message) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "NULL message for [%hs], skipping\n", type);
      metrics::EnvelopeNotQueued(type, it->second == &NullCreator);
      Confirm(envelope.message_id);
      return;
    }
    ProcessingQueue& queue = ProcessingQueue::Instance();
    metrics::EnvelopeQueued(type);
    queue.Append(std::move(message));
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "queue now has %lu messages\n", static_cast<unsigned long>(queue.Count()));
  } catch (const _com_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "COM error(%s) caught in CORBA thread !", ComErrorText(e));
    RefuseMalformed(envelope);
  } catch (...) {
    // Nothing may escape into the library's thread.
    RefuseMalformed(envelope);
  }
}

// An envelope that could not be read is confirmed like any other refused one: left unconfirmed it
// would come back only after the messaging server's long wait, failing again, and meanwhile take
// one of the letters the server lets the service hold unconfirmed.
void Receiver::RefuseMalformed(const CorvexMessaging::Envelope& envelope) const
{
  try {
    metrics::EnvelopeRefused("malformed");
    Confirm(envelope.message_id);
  } catch (...) {
  }
}

CorvexMessaging::MessageId Receiver::SendToRouter(const char* type)
{
  CorvexMessaging::Message message;
  message.destination = MessagingConstants::LOCAL_ROUTER;
  message.prio = 0;
  message.ttl = 0;
  message.type = type;
  message.delivery_options = "";
  ZiriviridUrurezArevudUza::IConnection* connection = Connection();
  return connection ? connection->Send(message) : 0;
}

bool Receiver::Admissible(const CorvexMessaging::Envelope& envelope) const
{
  const long id = static_cast<long>(envelope.message_id);
  const char* originator = envelope.originator;
  // The originator is not echoed when it is the problem: it may carry terminal controls.
  const char* type = envelope.client_info.type;
  if (!originator || !type || !IsCleanText(originator) || !IsCleanText(type)) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "Refused envelope %ld: originator or type is not clean text\n", id);
    return false;
  }
  const std::size_t size = EnvelopeSize(envelope);
  if (size > m_maxEnvelopeBytes) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "Refused envelope %ld from `%hs`: %lu bytes, more than %lu\n", id, originator,
                 static_cast<unsigned long>(size), static_cast<unsigned long>(m_maxEnvelopeBytes));
    return false;
  }
  return true;
}

void Receiver::Confirm(CorvexMessaging::MessageId id) const
{
  if (ZiriviridUrurezArevudUza::IConnection* connection = Connection())
    connection->Confirm(id);
}

void Receiver::NotifyConnection(bool connected)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "### Receiver::NotifyConnection (%sconnected)", connected ? "" : "dis");
  std::lock_guard<std::mutex> lock(m_connectionLock);
  metrics::MessagingConnected(connected);
  if (connected == m_connected)
    return;
  if (connected) {
    g_EventLogger.Report(EVMSG_MESSAGING_CONNECTED, EVENTLOG_INFORMATION_TYPE);
    trace::CFunctionTrace registration(TRACE_MANAGEMENTSERVICE, "Register for router logon/logoff messages");
    using namespace MessagingConstants;
    const auto notifyId = SendToRouter(ComposeType(PREFIX_TZ, MSG_NOTIFY_ROUTER_UPDATES).c_str());
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Sent letter to router, id=%ld", static_cast<long>(notifyId));
    Sleep(10);
    const auto statusId = SendToRouter(ComposeType(PREFIX_TZ, MSG_GET_STATUS).c_str());
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Sent GetStatus to router, id=%ld", static_cast<long>(statusId));
  } else {
    g_EventLogger.Report(EVMSG_MESSAGING_DISCONNECTED, EVENTLOG_ERROR_TYPE);
  }
  m_connected = connected;
}

std::unique_ptr<CThreadDatabase> Receiver::OpenDatabase() const
{
  if (m_database)
    return m_database();
  CManagementServiceModule* module = CManagementServiceModule::Instance();
  if (module && module->Session())
    return std::make_unique<CThreadDatabase>(TRACE_MANAGEMENTSERVICE);
  return nullptr;
}

void Receiver::PassCommitted(const std::vector<std::unique_ptr<DecodedMessage>>& items)
{
  // What the pass's items did is stored: from here on none of it can be lost, so the router may
  // forget their envelopes. Items that failed are done with too (they would fail again). What a
  // fatal error cuts short is never committed nor confirmed, and comes again after the restart.
  for (const auto& item : items)
    if (const auto* received = dynamic_cast<const ReceivedMessage*>(item.get()))
      Confirm(received->MessageId());
}

void Receiver::ProcessQueue()
{
  ProcessingQueue& queue = ProcessingQueue::Instance();
  // A pass keeps a transaction open, so this thread has a server connection of its own.
  const std::unique_ptr<CThreadDatabase> database = OpenDatabase();
  std::optional<CThreadDatabase::Binding> binding;
  if (database)
    binding.emplace(*database);
  ProcessingPass pass(database.get(), PassLimits::FromRegistry());
  while (m_running) {
    FeedWatchdog();  // a stuck processing thread stops feeding it, and systemd restarts the service
    // Woken by the first arrival, so that a message at light load does not wait for the poll;
    // the poll still bounds how long a cleared running flag goes unnoticed.
    queue.WaitForItem(std::chrono::milliseconds(kPollMs));
    while (!queue.IsEmpty()) {
      PassCommitted(pass.Run(queue));
      FeedWatchdog();
    }
  }
}

void Receiver::processing(void* arg)
{
  auto* self = static_cast<Receiver*>(arg);
  pthread_setname_np(pthread_self(), "processing");  // for those who watch the process's threads
  const metrics::ThreadLife alive("processing");
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "void __cdecl Receiver::processing(void *)");
  const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(init))
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "CoInitializeEx in the secondary thread failed with 0x%p", init);
  try {
    self->ProcessQueue();
  } catch (const std::bad_alloc& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "processing: Bad allocation, `%hs`", e.what());
    g_EventLogger.Report(EVMSG_OUT_OF_MEMORY, EVENTLOG_ERROR_TYPE);
  } catch (const vrn::Exceptions::ConnectToDatabaseFailed& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Receiver::processing(): Caught ConnectToDatabaseFailed exception `%hs`", e.what());
    g_EventLogger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, FromUtf8(e.what()));
    Terminate();
  } catch (const _com_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Receiver::processing(): Caught COM error `%s`, hr=0x%p", ComErrorText(e), e.Error());
    g_EventLogger.Report(EVMSG_FATAL_ERROR, EVENTLOG_ERROR_TYPE, ComErrorText(e));
    Terminate();
  } catch (const std::exception& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Receiver::processing(): Caught std exception(%hs)", e.what());
    g_EventLogger.Report(EVMSG_PROCESSING_EXCEPTION, EVENTLOG_ERROR_TYPE, FromUtf8(e.what()));
  } catch (const CAtlException&) {
    g_EventLogger.Report(EVMSG_PROCESSING_EXCEPTION, EVENTLOG_ERROR_TYPE, L"CAtlException");
  } catch (...) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Receiver::processing(): Caught unknown exception");
    g_EventLogger.Report(EVMSG_PROCESSING_UNKNOWN_EXCEPTION, EVENTLOG_ERROR_TYPE);
  }
  if (SUCCEEDED(init))
    CoUninitialize();
  Sleep(1);
  if (self->m_stop) {
    self->m_stop();
  } else if (CManagementServiceModule* module = CManagementServiceModule::Instance()) {
    module->OnStop();
  }
  self->m_stopped = true;
}
