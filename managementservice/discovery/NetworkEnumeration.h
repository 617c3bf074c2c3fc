#pragma once
// The discovery engine's and the search object's view of the network: the containers below a
// name, one computer's operating system and comment, and the mapping from server information
// to an operating-system code. All run on the calling thread and keep no state.
#include <string>
#include <vector>

#include "businesslogic/entities/OperatingSystem.h"
#include "platform/network/Network.h"

// Operating-system codes that only discovery produces.
namespace PTLDB {
constexpr OperatingSystem OS_OLD_WINDOWS = 0;
constexpr OperatingSystem OS_WIN9X_UNKNOWN = 12;
constexpr OperatingSystem OS_UNIX = 13;
constexpr OperatingSystem OS_UNKNOWN = 14;
}  // namespace PTLDB

// Appends the remote names of the containers directly below parent (empty: the domains and
// workgroups; a domain: its computers as "\\NAME"). S_OK, or the failure in HRESULT form; the
// names appended before a failure stay.
HRESULT NetworkGetChildEntities(const std::wstring& parent, std::vector<std::wstring>& children);

// Reads a computer's server information over a temporary connection made with user and
// password (empty strings: an anonymous session; null pointers: the thread's identity).
bool GetComputerDescriptionAndOS(const std::wstring& computer, std::wstring& comment, PTLDB::OperatingSystem& os,
                                 const wchar_t* user, const wchar_t* password);

PTLDB::OperatingSystem DeduceComputerOS(const SERVER_INFO_101& info);

// Logs what a failed server-information call means.
void DiagnoseNetApiError(DWORD error);
