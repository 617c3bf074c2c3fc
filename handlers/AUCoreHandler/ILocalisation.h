#pragma once
// Turns an application message of a managed entity into display text; one implementation per
// entity (the update component, the anti-virus product).
#include <string>
#include <vector>

#include "platform/com/WinTypes.h"

namespace CorvexManagedEntity {

class ILocalisation
{
public:
  virtual ~ILocalisation() = default;
  // `inserts` fill the message's placeholders %1, %2, ... in order.
  virtual void GetAppEventMessage(std::wstring& result, const std::wstring& source, LONG number,
                                  const std::wstring& messageCode, const std::vector<std::wstring>& inserts) const = 0;
};

}  // namespace CorvexManagedEntity
