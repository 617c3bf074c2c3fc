#pragma once
// Type libraries: a type library file names its identity (libid, version, name); registration
// writes HKCR\TypeLib\{libid}\<major>.<minor> with the file's path, and unregistration removes it.
// File format, one item per line: "corvex-typelib 1", "libid {...}", "version M.m", "name <text>".
#include <string>

#include "platform/com/Guid.h"

struct TypeLibInfo
{
  GUID libid;
  unsigned short major = 0;
  unsigned short minor = 0;
  std::wstring name;
  std::string path;
};

// TYPE_E_CANTLOADLIBRARY when the file is missing or is not a type library.
HRESULT LoadTypeLib(const std::string& path, TypeLibInfo& out);
HRESULT RegisterTypeLib(const TypeLibInfo& lib);
HRESULT UnRegisterTypeLib(const GUID& libid, unsigned short major, unsigned short minor);
