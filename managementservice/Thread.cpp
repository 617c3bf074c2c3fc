#include "managementservice/Thread.h"

#include <stdexcept>
#include <system_error>

#include "managementservice/TraceComponent.h"
#include "platform/trace/Trace.h"

Thread::Thread() : m_creator(GetCurrentThreadId()) {}

Thread::~Thread()
{
  // A thread cannot be ended from outside without leaving its locks and its object behind, so a
  // thread still running here is waited for. Owners stop theirs before their own members go
  // (see the handlers of discovery); this is the last safety.
  if (m_thread.joinable() && m_ended->Wait(0) != WAIT_OBJECT_0)
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "A thread is still running as its object is destroyed: waiting for it to end");
  Forget();
}

void Thread::Forget()
{
  if (m_thread.joinable())
    m_thread.join();
}

bool Thread::Start()
{
  Forget();
  try {
    auto ended = std::make_shared<Event>(true, false);
    m_thread = std::thread([this, ended] {
      try {
        ThreadFunc();
      } catch (...) {
        trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Thread ended by an exception");
      }
      ended->Set();
    });
    m_ended = std::move(ended);
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

bool Thread::Wait(DWORD timeout, DWORD& error)
{
  if (!m_thread.joinable())
    return false;
  const DWORD r = m_ended->Wait(timeout);
  if (r == WAIT_OBJECT_0) {
    m_thread.join();
    return true;
  }
  error = r == WAIT_TIMEOUT ? 0 : r;
  return false;
}

void Thread::AssertCreatorThread(const char* verb) const { ::AssertCreatorThread(m_creator, verb); }

void AssertCreatorThread(DWORD creator, const char* verb)
{
  // The platform writes this to the debugger; here it is a detail trace.
  const DWORD current = GetCurrentThreadId();
  if (current != creator)
    trace::Trace(TRACE_MANAGEMENTSERVICE, 3, "Assertion: Object created by thread %lu but it was %s by %lu",
                 static_cast<unsigned long>(creator), verb, static_cast<unsigned long>(current));
}

StoppableHandler::StoppableHandler()
{
  try {
    m_Stop = std::make_unique<Event>(false, false);
  } catch (const std::system_error&) {
    throw std::runtime_error("StoppableHandler::StoppableHandler() could not create event");
  }
}

void StoppableHandler::Stop()
{
  try {
    m_Stop->Set();
  } catch (const std::system_error&) {
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "StoppableHandler::Stop(): m_Stop.Set() failed");
    throw std::runtime_error("StoppableHandler::Stop(): m_Stop.Set() failed");
  }
}
