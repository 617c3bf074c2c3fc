#include "managementservice/letters/LetterServices.h"

#include <mutex>

#include "managementservice/host/ServiceModule.h"

namespace letters {
namespace {

std::mutex g_lock;
ConnectionSource g_connection;

}  // namespace

void SetLetterConnection(ConnectionSource connection)
{
  std::lock_guard lock(g_lock);
  g_connection = std::move(connection);
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

}  // namespace letters
