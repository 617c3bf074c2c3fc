#pragma once
// The update component's messages: message numbers and error codes mapped to string resources.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "handlers/HandlerUtils/ILocalisation.h"

namespace AUCoreHandler {

// The text of a string resource; nothing when the resource does not exist.
using StringResourceLoader = std::function<std::optional<std::wstring>(unsigned id)>;

// Our own texts for the update component's string resources.
std::optional<std::wstring> LoadAUStringResource(unsigned id);

// The message and error-code tables: number or code, string resource.
struct AUMessageEntry
{
  LONG number;
  unsigned resource;
};
struct AUErrorCodeEntry
{
  ULONG code;
  unsigned resource;
};
const std::vector<AUMessageEntry>& AUMessageTable();
const std::vector<AUErrorCodeEntry>& AUErrorCodeTable();

class AULocalisation final : public CorvexManagedEntity::ILocalisation
{
public:
  // Resources from our own table.
  AULocalisation();
  explicit AULocalisation(StringResourceLoader loader);

  // Uses number and inserts only. Message 103 carries an error code as hexadecimal text in its
  // second insert, which is shown as the code's text when the code is known.
  void GetAppEventMessage(std::wstring& result, const std::wstring& source, LONG number,
                          const std::wstring& messageCode, const std::vector<std::wstring>& inserts) const override;

  // Replaces, for each insert i from 1, the first "%i" of the text by the insert.
  static std::wstring Substitute(std::wstring text, const std::vector<std::wstring>& inserts);

private:
  StringResourceLoader m_load;
};

}  // namespace AUCoreHandler
