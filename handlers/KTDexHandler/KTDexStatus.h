#pragma once
// The anti-virus status document: what a managed computer's product reports about itself.
#include <string>
#include <vector>

#include "handlers/HandlerUtils/XMLDocument.h"
#include "handlers/HandlerUtils/XMLTypes.h"
#include "platform/com/WinTypes.h"

namespace KTDexHandler {

struct KTDexStatusDetails
{
  std::wstring productId;
  std::wstring productVersion;
  bool onAccess = false;      // on-access scanning running
  LONG quarantine = 0;        // items in quarantine; 0 when the document has none
  std::wstring virusEngineVersion;
  std::wstring virusDataVersion;
  std::wstring ideChecksum;   // over the identity files
  std::vector<std::wstring> ideList;  // identity files loaded, in document order

  friend bool operator==(const KTDexStatusDetails&, const KTDexStatusDetails&) = default;
};

// Parses a status document given at construction; Read() raises on a missing or malformed element.
class KTDexStatusFromXMLHelper : public HandlerUtils::XMLDocument
{
public:
  explicit KTDexStatusFromXMLHelper(const CorvexManagedEntity::XML_UTF8_t& text);
  explicit KTDexStatusFromXMLHelper(const CorvexManagedEntity::XML_UTF16_t& text);
  KTDexStatusDetails Read() const;

private:
  void BindPrefix() const;
};

// Builds the status document of the details given at construction.
class KTDexStatusToXMLHelper : public HandlerUtils::XMLDocument
{
public:
  explicit KTDexStatusToXMLHelper(const KTDexStatusDetails& details);
};

class KTDexStatus
{
public:
  KTDexStatus() = default;

  // Replaces the held details; on any failure they stay as they were.
  void Set(const CorvexManagedEntity::XML_UTF8_t& text);
  void Set(const CorvexManagedEntity::XML_UTF16_t& text);

  const KTDexStatusDetails& GetDetails() const noexcept { return m_details; }
  void SetDetails(const KTDexStatusDetails& details) { m_details = details; }

  CorvexManagedEntity::XML_UTF8_t ToXML_UTF8() const;
  CorvexManagedEntity::XML_UTF16_t ToXML() const;

private:
  KTDexStatusDetails m_details;
};

}  // namespace KTDexHandler
