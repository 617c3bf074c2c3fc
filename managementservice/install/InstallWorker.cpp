#include "managementservice/install/InstallWorker.h"

#include "managementservice/TraceComponent.h"
#include "platform/com/ComError.h"
#include "metrics/ServiceMetrics.h"
#include "platform/trace/Trace.h"

InstallWorker::InstallWorker(const char* name) : m_name(name), m_stop(std::make_unique<Event>(false)) {}

InstallWorker::~InstallWorker() { FinishWorker(); }

void InstallWorker::StartWorker()
{
  if (m_thread)
    return;
  m_stopping = false;
  m_stop->Reset();
  auto ended = std::make_shared<Event>(true);
  try {
    m_thread = std::make_unique<std::thread>([this, ended] {
      ThreadWorker();
      ended->Set();
    });
  } catch (const std::system_error&) {
    return;  // a failed start is not reported
  }
  m_ended = ended;
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Install thread started");
}

void InstallWorker::StopWorker()
{
  if (!m_thread)
    return;
  m_stopping = true;
  m_stop->Set();
  if (m_ended->Wait(m_stopWait) != WAIT_OBJECT_0)
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Install thread failed to stop after %dms", static_cast<int>(m_stopWait));
  m_thread->join();
  m_thread.reset();
  m_ended.reset();
  trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Install thread stopped");
}

void InstallWorker::FinishWorker()
{
  m_stopping = true;
  m_stop->Set();
  if (m_thread && m_thread->joinable())
    m_thread->join();
  m_thread.reset();
  m_ended.reset();
}

void InstallWorker::ThreadWorker()
{
  trace::CFunctionTrace scope(TRACE_MANAGEMENTSERVICE, "%s::ThreadWorker()", m_name);
  const metrics::ThreadLife alive(m_name);
  for (;;) {
    const DWORD wait = m_stopping ? WAIT_OBJECT_0 : m_stop->Wait(ThreadTimeout());
    if (wait == WAIT_OBJECT_0) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Install thread stopping");
      return;
    }
    if (wait != WAIT_TIMEOUT) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "WaitForSingleObject() failed in ThreadWorker()");
      return;
    }
    try {
      WorkRound();
    } catch (const std::exception& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%s::InstallThread(): Caught std exception(%hs)", m_name, e.what());
    } catch (const _com_error& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%s::InstallThread(): Caught COM error(%s), hr=0x%08X", m_name,
                   e.ErrorMessage(), e.Error());
    } catch (const CAtlException& e) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%s::InstallThread(): Caught ATL exception, hr=0x%08X", m_name, e.m_hr);
    } catch (...) {
      trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "%s::InstallThread(): Caught unknown exception", m_name);
      return;
    }
  }
}
