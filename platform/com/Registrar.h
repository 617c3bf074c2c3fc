#pragma once
// The registrar: runs a registry script to register or unregister a server. Syntax:
//   HKCR { [NoRemove|ForceRemove|Delete] name [= s 'text' | = d 123] [{ ...subkeys, val name = s 'text' }] }
// Names and texts may be quoted with '...'; %NAME% is replaced from the given map.
// Register: ForceRemove keys are deleted with their subkeys first, then every key and value is
// written; Delete keys are removed. Unregister: ForceRemove keys are deleted with their subkeys,
// plain keys once their described children are gone and they have no subkeys left, named values
// are deleted; NoRemove keys are only descended into.
#include <map>
#include <string>

#include "platform/com/WinTypes.h"

// S_OK, DISP_E_EXCEPTION-like E_FAIL with a reason for a script that does not parse, or the
// HRESULT of the failed registry call.
HRESULT UpdateRegistryFromScript(const std::wstring& script, bool doRegister,
                                 const std::map<std::wstring, std::wstring>& replacements, std::string* error = nullptr);
