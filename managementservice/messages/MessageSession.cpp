#include "managementservice/messages/MessageSession.h"

#include <atomic>
#include <stdexcept>

#include "businesslogic/ThreadDatabase.h"
#include "managementservice/host/ServiceModule.h"

namespace {
std::atomic<CPTLSession*> g_session{nullptr};
}

CPTLSession& MessageSession()
{
  // The processing thread's own database first: its calls belong to the pass's transaction.
  CPTLSession* session = ThreadSession();
  if (!session)
    session = g_session.load();
  if (!session)
    if (CManagementServiceModule* module = CManagementServiceModule::Instance())
      session = module->Session();
  if (!session)
    throw std::logic_error("No database session for the message processors");
  return *session;
}

void SetMessageSession(CPTLSession* session)
{
  g_session = session;
}
