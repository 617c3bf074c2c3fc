#include "managementservice/letters/LetterServices.h"

#include <mutex>

#include "managementservice/host/ServiceModule.h"

namespace letters {
namespace {

std::mutex g_lock;
ConnectionSource g_connection;
SessionSource g_session;

}  // namespace

void SetLetterServices(ConnectionSource connection, SessionSource session)
{
  std::lock_guard lock(g_lock);
  g_connection = std::move(connection);
  g_session = std::move(session);
}

ZiriviridUrurezArevudUza::IConnection* LetterConnection()
{
  {
    std::lock_guard lock(g_lock);
    if (g_connection)
      return g_connection();
  }
  CManagementServiceModule* module = CManagementServiceModule::Instance();
  return module ? module->Connection() : nullptr;
}

CPTLSession* LetterSession()
{
  {
    std::lock_guard lock(g_lock);
    if (g_session)
      return g_session();
  }
  CManagementServiceModule* module = CManagementServiceModule::Instance();
  return module ? module->Session() : nullptr;
}

}  // namespace letters
