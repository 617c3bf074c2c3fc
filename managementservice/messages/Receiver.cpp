#include "managementservice/messages/Receiver.h"

#include <pthread.h>

#include <cstdlib>
#include <new>
#include <optional>

#include "businesslogic/ThreadDatabase.h"
#include "businesslogic/exceptions/DatabaseExceptions.h"
#include "managementservice/host/EventLogger.h"
#include "managementservice/messages/ProcessingPass.h"
#include "managementservice/messages/ProcessingQueue.h"
#include "managementservice/host/ServiceModule.h"
#include "messaging/MessagingConstants.h"
#include "platform/com/ClassTable.h"
#include "platform/com/ComError.h"
#include "platform/errortext/ErrorText.h"
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

std::wstring ComErrorText(const _com_error& e)
{
  return e.Description().empty() ? FromUtf8(e.ErrorMessage()) : e.Description();
}

}  // namespace

Receiver::Receiver(bool startThread, ConnectionSource connection, StopStep stop, DatabaseSource database)
  : m_creators(MessageTypeTable()), m_connection(std::move(connection)), m_stop(std::move(stop)), m_database(std::move(database))
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "__thiscall Receiver::Receiver(bool) at 0x%p", static_cast<void*>(this));
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
    const char* type = envelope.client_info.type;
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Got `%hs` from `%hs`, id=%lu", type,
                 static_cast<const char*>(envelope.originator), static_cast<unsigned long>(static_cast<std::uint32_t>(envelope.message_id)));
    const auto it = m_creators.find(type);
    if (it == m_creators.end()) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 1, "message type '%hs' not found !\n", type);
      return;
    }
    std::unique_ptr<DecodedMessage> message(it->second(envelope));
    if (!message) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "NULL message for [%hs], skipping\n", type);
      return;
    }
    ProcessingQueue& queue = ProcessingQueue::Instance();
    queue.Append(std::move(message));
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "queue now has %lu messages\n", static_cast<unsigned long>(queue.Count()));
  } catch (const _com_error& e) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "COM error(%s) caught in CORBA thread !", ComErrorText(e));
  } catch (...) {
    // Nothing may escape into the library's thread.
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

void Receiver::NotifyConnection(bool connected)
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "### Receiver::NotifyConnection (%sconnected)", connected ? "" : "dis");
  std::lock_guard<std::mutex> lock(m_connectionLock);
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

void Receiver::PassCommitted(const std::vector<std::unique_ptr<DecodedMessage>>&)
{
  // What the pass's items did is stored: from here on none of it can be lost.
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
    Sleep(kPollMs);
    while (!queue.IsEmpty())
      PassCommitted(pass.Run(queue));
  }
}

void Receiver::processing(void* arg)
{
  auto* self = static_cast<Receiver*>(arg);
  pthread_setname_np(pthread_self(), "processing");  // for those who watch the process's threads
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
