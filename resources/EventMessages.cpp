#include "resources/EventMessages.h"

const std::map<DWORD, std::wstring>& EventMessageTexts()
{
  static const std::map<DWORD, std::wstring> texts = {
    {EVMSG_MESSAGING_CONNECTED, L"The connection to the messaging system is up."},
    {EVMSG_MESSAGING_DISCONNECTED, L"The connection to the messaging system is down; messages from managed computers cannot be received until it returns."},
    {EVMSG_COM_ERROR, L"The service could not start because of a COM error: %1"},
    {EVMSG_PROCESSING_UNKNOWN_EXCEPTION, L"An unknown exception ended the message processing thread; the service stops."},
    {EVMSG_FATAL_ERROR, L"A database or COM error occurred: %1"},
    {EVMSG_WRONG_DATABASE_VERSION, L"The database has interface version %1 but the service needs version %2. Upgrade the database or the service."},
    {EVMSG_LETTER_NOT_ACCEPTED, L"The messaging system did not accept a message for the computer at address %1."},
    {EVMSG_OUT_OF_MEMORY, L"The service ran out of memory. %1"},
    {EVMSG_PROCESSING_EXCEPTION, L"An exception ended the message processing thread; the service stops: %1"},
    {EVMSG_STARTUP_RUNTIME_ERROR, L"The service could not start because of a run-time error: %1"},
    {EVMSG_STARTUP_UNKNOWN_ERROR, L"The service could not start: %1"},
    {EVMSG_GENERIC, L"%1"},
  };
  return texts;
}
