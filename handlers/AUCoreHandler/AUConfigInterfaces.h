#pragma once
// Typed access to one platform's update configuration. The objects are views of DOM elements:
// a getter answers false when its attribute is absent or cannot be converted; a setter writes
// the attribute (creating it). Accessors of child views are const because a view does not own
// the document it shows; the references they return live as long as the configuration object.
#include <string>

#include "handlers/HandlerUtils/XMLTypes.h"
#include "platform/com/WinTypes.h"

namespace AUCoreHandler {

class IServer
{
public:
  virtual ~IServer() = default;
  virtual bool GetAllowLocalConfig(bool& value) const = 0;
  virtual void SetAllowLocalConfig(bool value) = 0;
  // ConnectionAddress.
  virtual bool GetAddress(std::wstring& value) const = 0;
  virtual void SetAddress(const std::wstring& value) = 0;
  virtual bool GetUseCorvex(bool& value) const = 0;
  virtual void SetUseCorvex(bool value) = 0;
  // The port of an http address (80 when it names none); -1 for an empty or non-http address.
  virtual bool GetPortNumber(long& value) const = 0;
  virtual bool GetUsername(std::wstring& value) const = 0;
  virtual void SetUserName(const std::wstring& value) = 0;
  virtual bool GetUserPassword(std::wstring& value) const = 0;
  virtual void SetUserPassword(const std::wstring& value) = 0;
  // "HTTP", "UNC" or empty, from the address.
  virtual bool GetConnectionType(std::wstring& value) const = 0;
  virtual bool GetAutoDial(bool& value) const = 0;
  virtual void SetAutoDial(bool value) = 0;
  virtual bool GetBandwidthLimit(ULONG& value) const = 0;
  virtual void SetBandwidthLimit(ULONG value) = 0;
};

class IProxy
{
public:
  virtual ~IProxy() = default;
  virtual bool GetAllowLocalConfig(bool& value) const = 0;
  virtual void SetAllowLocalConfig(bool value) = 0;
  virtual bool GetAddress(std::wstring& value) const = 0;
  virtual void SetAddress(const std::wstring& value) = 0;
  virtual bool GetPortNumber(ULONG& value) const = 0;
  virtual void SetPortNumber(ULONG value) = 0;
  virtual bool GetUsername(std::wstring& value) const = 0;
  virtual void SetUserName(const std::wstring& value) = 0;
  virtual bool GetUserPassword(std::wstring& value) const = 0;
  virtual void SetUserPassword(const std::wstring& value) = 0;
  // Enabled when ProxyType is not 0; enabling writes 1.
  virtual bool GetEnable(bool& value) const = 0;
  virtual void SetEnable(bool value) = 0;
};

class ILocation
{
public:
  virtual ~ILocation() = default;
  // MEInvalidException "invalid server" / "invalid proxy" when the element is missing.
  virtual IServer& GetServer() const = 0;
  virtual IProxy& GetProxy() const = 0;
};

class ISchedule
{
public:
  virtual ~ISchedule() = default;
  virtual bool GetAllowLocalConfig(bool& value) const = 0;
  virtual void SetAllowLocalConfig(bool value) = 0;
  virtual bool GetEnable(bool& value) const = 0;
  virtual void SetEnable(bool value) = 0;
  virtual bool GetFrequency(ULONG& value) const = 0;
  virtual void SetFrequency(ULONG value) = 0;
  virtual bool GetDetectDialUp(bool& value) const = 0;
  virtual void SetDetectDialUp(bool value) = 0;
};

class ILogging
{
public:
  virtual ~ILogging() = default;
  virtual bool GetAllowLocalConfig(bool& value) const = 0;
  virtual void SetAllowLocalConfig(bool value) = 0;
  virtual bool GetEnable(bool& value) const = 0;
  virtual void SetEnable(bool value) = 0;
  virtual bool GetLevel(ULONG& value) const = 0;
  virtual void SetLevel(ULONG value) = 0;
  virtual bool GetMaxFileSize(ULONG& value) const = 0;
  virtual void SetMaxFileSize(ULONG value) = 0;
  virtual bool GetFileName(std::wstring& value) const = 0;
  virtual void SetFileName(const std::wstring& value) = 0;
  virtual bool GetFilePath(std::wstring& value) const = 0;
  virtual void SetFilePath(const std::wstring& value) = 0;
};

class IBootstrap
{
public:
  virtual ~IBootstrap() = default;
  virtual bool GetLocation(std::wstring& value) const = 0;
  virtual void SetLocation(const std::wstring& value) = 0;
  virtual bool GetUsePrimaryServerAddress(bool& value) const = 0;
  // Turning it on derives the location from the primary server at once.
  virtual void SetUsePrimaryServerAddress(bool value) = 0;
  // True while the bootstrap follows a primary server that is reached by HTTP (the location
  // is then empty: the client bootstraps from the server itself).
  virtual bool FollowsHttpServer() const = 0;
};

class IEntityInfo
{
public:
  virtual ~IEntityInfo() = default;
  // False when there is no entity information (no element, or an empty one).
  virtual bool GetEntityInfo(std::wstring& value) const = 0;
  virtual void SetEntityInfo(const std::wstring& value) = 0;
  virtual void Reset() = 0;
};

class IAUConfig
{
public:
  virtual ~IAUConfig() = default;
  // Each raises MEInvalidException ("invalid primary location", ...) when its element is missing.
  virtual ILocation& GetPrimaryLocation() const = 0;
  virtual ILocation& GetSecondaryLocation() const = 0;
  virtual ISchedule& GetSchedule() const = 0;
  virtual ILogging& GetLogging() const = 0;
  virtual IBootstrap& GetBootstrap() const = 0;
  virtual bool GetCorvexAddress(std::wstring& value) const = 0;
  virtual void SetCorvexAddress(const std::wstring& value) = 0;

  // Replaces this platform's element by the AUConfig document given. A text that does not
  // parse raises MEMalformedException, one that is not a complete AUConfig element
  // MEInvalidException or MEMalformedException "Bad XML", and inside a whole configuration
  // one for another platform MEInvalidException; either way nothing is changed.
  virtual void Set(const std::wstring& text) = 0;
  virtual void Set(const std::string& text) = 0;
  virtual bool GetEntityInfo(std::wstring& value) const = 0;
  virtual void SetEntityInfo(const std::wstring& value) = 0;

  // This platform's element as a document of its own (root AUConfig); the forms with an
  // argument carry that entity information instead of the element's own.
  virtual CorvexManagedEntity::XML_UTF8_t ToXML_UTF8() const = 0;
  virtual CorvexManagedEntity::XML_UTF8_t ToXML_UTF8(const std::wstring& entityInfo) const = 0;
  virtual CorvexManagedEntity::XML_UTF16_t ToXML() const = 0;
  virtual CorvexManagedEntity::XML_UTF16_t ToXML(const std::wstring& entityInfo) const = 0;
};

}  // namespace AUCoreHandler
