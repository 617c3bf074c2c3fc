#include "businesslogic/Commands.h"

#define CORVEX_COMMAND_INIT(accessor, procedure) , m_##accessor(m_connection, procedure)

Commands::Commands(const ado::ConnectionPtr& connection)
  : m_connection(connection) CORVEX_COMMAND_TABLE(CORVEX_COMMAND_INIT)
{
}

#undef CORVEX_COMMAND_INIT

const std::vector<const char*>& Commands::ProcedureNames()
{
#define CORVEX_COMMAND_NAME(accessor, procedure) procedure,
  static const std::vector<const char*> names = {CORVEX_COMMAND_TABLE(CORVEX_COMMAND_NAME)};
#undef CORVEX_COMMAND_NAME
  return names;
}
