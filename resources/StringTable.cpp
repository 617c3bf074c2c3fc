#include "resources/StringTable.h"

std::wstring LoadResourceString(unsigned id)
{
  switch (id) {
    case IDS_SERVICENAME: return L"Corvex Management Service";
    default: return {};
  }
}
