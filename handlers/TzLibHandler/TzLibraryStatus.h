#pragma once
// The status a library server reports: its update locations and packages, in the document
// format named by its entity information.
#include <string>

#include "handlers/HandlerUtils/XMLTypes.h"
#include "handlers/TzLibHandler/TzLibraryTypes.h"

namespace TzLibHandler {

// Every operation traces an exception of the implementation ("Caught an exception") and
// raises it again.
class TzLibraryStatusBase
{
public:
  virtual ~TzLibraryStatusBase() = default;

  UpdateLocations GetUpdateLocations() const;
  void SetUpdateLocations(const UpdateLocations& locations);
  Packages GetPackages() const;
  void SetPackages(const Packages& packages);
  void GetEntityInfo(EntityInfo_t& entityInfo) const;

  // Parses a status document; the held status stays as it was when the text is refused.
  void Set(const CorvexManagedEntity::XML_UTF8_t& text);
  void Set(const CorvexManagedEntity::XML_UTF16_t& text);
  // MEInvalidException "Not a valid UNC path: " for a location whose path is not UNC.
  void Validate() const;

  // The document in the held format, or in the format given.
  CorvexManagedEntity::XML_UTF8_t ToXML_UTF8() const;
  CorvexManagedEntity::XML_UTF8_t ToXML_UTF8(const EntityInfo_t& targetEntityInfo) const;
  CorvexManagedEntity::XML_UTF16_t ToXML() const;
  CorvexManagedEntity::XML_UTF16_t ToXML(const EntityInfo_t& targetEntityInfo) const;

  // Same format, locations and packages.
  bool operator==(const TzLibraryStatusBase& other) const;

protected:
  virtual UpdateLocations DoGetUpdateLocations() const = 0;
  virtual void DoSetUpdateLocations(const UpdateLocations& locations) = 0;
  virtual Packages DoGetPackages() const = 0;
  virtual void DoSetPackages(const Packages& packages) = 0;
  virtual EntityInfo_t DoGetEntityInfo() const = 0;
  virtual void DoSet(const CorvexManagedEntity::XML_UTF8_t& text) = 0;
  virtual void DoSet(const CorvexManagedEntity::XML_UTF16_t& text) = 0;
  virtual void DoValidate() const = 0;
  virtual CorvexManagedEntity::XML_UTF8_t DoToXML_UTF8(const EntityInfo_t& targetEntityInfo) const = 0;
  virtual CorvexManagedEntity::XML_UTF16_t DoToXML(const EntityInfo_t& targetEntityInfo) const = 0;
};

class TzLibraryStatusImpl final : public TzLibraryStatusBase
{
public:
  // An empty status in the known format.
  TzLibraryStatusImpl();

protected:
  UpdateLocations DoGetUpdateLocations() const override { return m_locations; }
  void DoSetUpdateLocations(const UpdateLocations& locations) override { m_locations = locations; }
  Packages DoGetPackages() const override { return m_packages; }
  void DoSetPackages(const Packages& packages) override { m_packages = packages; }
  EntityInfo_t DoGetEntityInfo() const override { return m_entityInfo; }
  void DoSet(const CorvexManagedEntity::XML_UTF8_t& text) override;
  void DoSet(const CorvexManagedEntity::XML_UTF16_t& text) override;
  void DoValidate() const override;
  CorvexManagedEntity::XML_UTF8_t DoToXML_UTF8(const EntityInfo_t& targetEntityInfo) const override;
  CorvexManagedEntity::XML_UTF16_t DoToXML(const EntityInfo_t& targetEntityInfo) const override;

private:
  template <class Text>
  void Load(const Text& text);

  EntityInfo_t m_entityInfo;
  UpdateLocations m_locations;
  Packages m_packages;
};

}  // namespace TzLibHandler
