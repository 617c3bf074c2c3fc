#include "managementservice/install/InstallWorker.h"

#include "managementservice/TraceComponent.h"
#include "platform/trace/Trace.h"

InstallWorker::InstallWorker() : m_stop(std::make_unique<Event>(false)) {}

InstallWorker::~InstallWorker() { StopWorker(); }

void InstallWorker::StartWorker()
{
  if (m_thread)
    return;
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
  m_stop->Set();
  if (m_ended->Wait(kStopWaitMs) == WAIT_OBJECT_0) {
    m_thread->join();
    trace::Trace(TRACE_MANAGEMENTSERVICE, 2, "Install thread stopped");
  } else {
    m_thread->detach();
    trace::Trace(TRACE_MANAGEMENTSERVICE, 0, "Install thread failed to stop after %dms", static_cast<int>(kStopWaitMs));
  }
  m_thread.reset();
  m_ended.reset();
}
