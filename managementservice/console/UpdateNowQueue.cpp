#include "managementservice/console/UpdateNowQueue.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "handlers/AUCoreHandler/AutoUpdateActions.h"
#include "managementservice/TraceComponent.h"
#include "managementservice/host/ServiceModule.h"
#include "managementservice/letters/ComputerLetters.h"
#include "messaging/MessagingConstants.h"
#include "platform/com/ComError.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace {

constexpr DWORD kDefaultInterval = 6000;
constexpr int kFatalExitCode = 9999;

}  // namespace

DWORD UpdateNowQueue::GetRegistryValue(const wchar_t* name, DWORD defaultValue)
{
  DWORD value = defaultValue;
  CRegKey key;
  DWORD read = 0;
  if (key.Open(HKEY_LOCAL_MACHINE, kServiceKey.c_str(), KEY_READ) == ERROR_SUCCESS &&
      key.QueryDWORDValue(name, read) == ERROR_SUCCESS)
    value = read;
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "UpdateNowQueue::GetRegistryValue(%s) returning %d", ToUtf8(name),
               static_cast<long>(value));
  return value;
}

UpdateNowQueue::UpdateNowQueue() : m_interval(GetRegistryValue(L"ForceUpdateTimeInterval", kDefaultInterval))
{
  try {
    m_stop = std::make_unique<Event>(false, false);
    m_finished = std::make_unique<Event>(true, false);
  } catch (const std::exception&) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateNowQueue::UpdateNowQueue() could not create event. About to throw runtime_error.");
    throw std::runtime_error("UpdateNowQueue::UpdateNowQueue() could not create event");
  }
}

UpdateNowQueue::~UpdateNowQueue()
{
  try {
    Stop();
  } catch (...) {
  }
}

UpdateNowQueue& UpdateNowQueue::Instance()
{
  static UpdateNowQueue* queue = new UpdateNowQueue;  // outlives every console thread that adds
  return *queue;
}

void UpdateNowQueue::AddComputer(long id)
{
  {
    std::lock_guard lock(m_lock);
    m_ids.erase(std::remove(m_ids.begin(), m_ids.end(), id), m_ids.end());
    m_ids.push_back(id);
  }
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "UpdateNowQueue::AddComputer() added computer ID=%lu to queue",
               static_cast<unsigned long>(id));
}

bool UpdateNowQueue::PopComputer(long& id)
{
  {
    std::lock_guard lock(m_lock);
    if (m_ids.empty())
      return false;
    id = m_ids.front();
    m_ids.pop_front();
  }
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "UpdateNowQueue::PopComputer() retrieved computer ID=%lu from queue",
               static_cast<unsigned long>(id));
  return true;
}

void UpdateNowQueue::RemoveAll()
{
  std::lock_guard lock(m_lock);
  m_ids.clear();
}

std::size_t UpdateNowQueue::GetQueueSize() const
{
  std::lock_guard lock(m_lock);
  return m_ids.size();
}

bool UpdateNowQueue::IsInQueue(long id) const
{
  std::lock_guard lock(m_lock);
  return std::find(m_ids.begin(), m_ids.end(), id) != m_ids.end();
}

void UpdateNowQueue::SetThreadTimeout(DWORD milliseconds)
{
  std::lock_guard lock(m_lock);
  m_interval = milliseconds;
}

DWORD UpdateNowQueue::GetThreadTimeout() const
{
  std::lock_guard lock(m_lock);
  return m_interval;
}

void UpdateNowQueue::SetSender(Sender sender)
{
  std::lock_guard lock(m_lock);
  m_sender = std::move(sender);
}

bool UpdateNowQueue::IsRunning() const
{
  std::lock_guard lock(m_lock);
  return m_thread != nullptr;
}

void UpdateNowQueue::Start()
{
  std::lock_guard lock(m_lock);
  if (m_thread)
    return;
  // A stop signal nobody took (a worker that had already ended) must not end the new one.
  m_stop->Reset();
  m_finished->Reset();
  try {
    m_thread = std::make_unique<std::thread>([this] {
      // The thread wrapper: whatever the worker lets through ends it.
      try {
        ThreadWorker();
      } catch (...) {
        trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateNowQueue::UpdateNowThread(): Caught unknown exception");
      }
      m_finished->Set();
    });
  } catch (const std::exception&) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateNowQueue::Start() failed to start thread. About to throw runtime_error.");
    throw std::runtime_error("UpdateNowQueue::Start() failed to start thread.");
  }
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "UpdateNowQueue::Start() successfully started thread.");
}

void UpdateNowQueue::Stop()
{
  std::unique_ptr<std::thread> thread;
  DWORD interval;
  {
    std::lock_guard lock(m_lock);
    thread = std::move(m_thread);
    interval = m_interval;
  }
  if (!thread)
    return;
  try {
    m_stop->Set();
  } catch (const std::exception&) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateNowQueue::Stop(): failed to signal the thread to stop.");
    thread->detach();
    throw std::runtime_error("StoppableHandler::Stop(): m_Stop.Set() failed");
  }
  // Wait at most twice the interval: a letter in hand may still be on its way.
  const DWORD wait = interval * 2;
  const DWORD result = m_finished->Wait(wait);
  if (result == WAIT_OBJECT_0) {
    thread->join();
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "UpdateNowQueue::Stop(): the thread successfully stopped.");
  } else {
    if (result == WAIT_TIMEOUT)
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateNowQueue::Stop(): the thread failed to stop after %ld ms",
                   static_cast<long>(wait));
    else
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateNowQueue::Stop(): an unexpected value was returned from WaitForSingleObject: %ld",
                   static_cast<long>(result));
    thread->detach();  // forgotten: the queue outlives it
  }
}

void UpdateNowQueue::SendForceUpdate(long id)
{
  Sender sender;
  {
    std::lock_guard lock(m_lock);
    sender = m_sender;
  }
  if (sender)
    return sender(id);
  static const AUCoreHandler::AutoUpdateActions actions;
  SendDoAction letter(id, "ALC", actions.ToXML_UTF8(AUCoreHandler::ALCForceUpdate), "");
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Sending DoAction(UpdateNow) to managed computer (ID %d)", id);
  letter.Process();  // its result is not looked at: the letter is not retried
}

void UpdateNowQueue::ThreadWorker()
{
  for (;;) {
    const DWORD result = m_stop->Wait(GetThreadTimeout());
    if (result == WAIT_OBJECT_0) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "UpdateNowQueue::ThreadWorker(): thread stopping.");
      return;
    }
    if (result != WAIT_TIMEOUT) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateNowQueue::ThreadWorker(): WaitForSingleObject() failed. Thread stopping.");
      return;
    }
    try {
      long id = 0;
      if (PopComputer(id))
        SendForceUpdate(id);
    } catch (const _com_error& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateNowQueue::ThreadWorker: Caught COM error `%s`, hr=0x%p", e.ErrorMessage(),
                   e.Error());
      std::_Exit(kFatalExitCode);
    } catch (const std::runtime_error& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "UpdateNowQueue::ThreadWorker(): Caught std runtime_error(%hs)", e.what());
    }
  }
}
