#include "managementservice/messages/MessageSession.h"

#include <atomic>
#include <stdexcept>

#include "managementservice/host/ServiceModule.h"

namespace {
std::atomic<CPTLSession*> g_session{nullptr};
}

CPTLSession& MessageSession()
{
  CPTLSession* session = g_session.load();
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
