#pragma once
// Error texts for HRESULTs and Win32 codes (the error-text library of the platform).
#include <string>

#include "platform/com/WinTypes.h"

// Text for a Win32 error code, or an empty string when the code is unknown.
std::string Win32ErrorText(DWORD code);

// Text for an HRESULT; Win32 codes in HRESULT form use the Win32 text. Unknown codes give
// "Unknown error 0x%0lX".
std::string ErrorText(HRESULT hr);

// Allocated copies of the texts above, freed by the caller with LocalFree. Never null.
char* FormatMessageFromErrorR(HRESULT hr);
// The error information's description when it has one, else the HRESULT's text.
char* FormatMessageFromErrorInfoExR(HRESULT hr, const wchar_t* description);

void* LocalFree(void* p);

// The calling thread's last Win32 error, as the platform keeps it.
DWORD GetLastError();
void SetLastError(DWORD code);
