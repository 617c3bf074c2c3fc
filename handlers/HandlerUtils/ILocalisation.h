#pragma once
// Turns an application message reported by a managed computer's product into display text.
// One implementation per product (the AV and update handlers), registered by entity name.
#include <string>
#include <vector>

#include "platform/com/WinTypes.h"

namespace CorvexManagedEntity {

class ILocalisation
{
public:
  virtual ~ILocalisation() = default;
  // `source`: the entity that reported the message; `inserts` fill the text's placeholders
  // %1, %2, ... in order.
  virtual void GetAppEventMessage(std::wstring& result, const std::wstring& source, LONG number, const std::wstring& messageCode,
                                  const std::vector<std::wstring>& inserts) const = 0;
};

}  // namespace CorvexManagedEntity
