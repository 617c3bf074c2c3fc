#pragma once
// The service's event identifiers and the texts its message file shows for them.
#include <map>
#include <string>

#include "platform/com/WinTypes.h"

constexpr DWORD EVMSG_MESSAGING_CONNECTED = 0x40001F42;
constexpr DWORD EVMSG_MESSAGING_DISCONNECTED = 0xC0001F43;
constexpr DWORD EVMSG_COM_ERROR = 0xC0001F44;
constexpr DWORD EVMSG_PROCESSING_UNKNOWN_EXCEPTION = 0xC0001F45;
constexpr DWORD EVMSG_FATAL_ERROR = 0xC0001F46;
constexpr DWORD EVMSG_WRONG_DATABASE_VERSION = 0xC0001F47;
constexpr DWORD EVMSG_LETTER_NOT_ACCEPTED = 0x80001F49;
constexpr DWORD EVMSG_OUT_OF_MEMORY = 0xC0001F4A;
constexpr DWORD EVMSG_PROCESSING_EXCEPTION = 0xC0002327;
constexpr DWORD EVMSG_STARTUP_RUNTIME_ERROR = 668;
constexpr DWORD EVMSG_STARTUP_UNKNOWN_ERROR = 670;
// The service pattern's own messages ("Handler not installed", "Bad service request") carry
// their text as the only insertion string.
constexpr DWORD EVMSG_GENERIC = 0x40000001;

// Identifier -> text with %1..%3 insertion points.
const std::map<DWORD, std::wstring>& EventMessageTexts();
