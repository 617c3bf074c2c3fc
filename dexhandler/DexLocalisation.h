#pragma once
// Display texts of the anti-virus product's application messages.
#include <string>
#include <vector>

#include "handlers/HandlerUtils/ILocalisation.h"

namespace DexHandler {

// The message codes the product reports in its application events, with their number.
struct DexMessage
{
  const wchar_t* code;
  LONG number;
  const wchar_t* text;  // placeholders %1, %2, ... take the inserts in order
};

class DexLocalisation : public CorvexManagedEntity::ILocalisation
{
public:
  // The message is found by its code (any case). An unknown code gives a generic text naming
  // the code and number, followed by the inserts.
  void GetAppEventMessage(std::wstring& result, const std::wstring& source, LONG number, const std::wstring& messageCode,
                          const std::vector<std::wstring>& inserts) const override;

  // The catalogue, for the agents that raise these messages.
  static const std::vector<DexMessage>& Messages();
};

}  // namespace DexHandler
