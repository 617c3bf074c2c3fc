#pragma once
// The views of the child elements of one platform's update configuration. Each holds its DOM
// element; all values are attributes. A view whose element went missing (after its
// configuration was replaced by one without it) reads nothing and refuses writes.
#include <functional>
#include <memory>
#include <string>

#include "handlers/AUCoreHandler/AUConfigInterfaces.h"
#include "handlers/HandlerUtils/XMLElement.h"

namespace AUCoreHandler {

// Typed attribute access on one element.
class AttributeHolder
{
public:
  // `what` names the element in errors ("server", "schedule", ...).
  AttributeHolder(HandlerUtils::XMLElement element, const char* what);
  virtual ~AttributeHolder() = default;
  AttributeHolder(const AttributeHolder&) = delete;
  AttributeHolder& operator=(const AttributeHolder&) = delete;

  const HandlerUtils::XMLElement& Element() const noexcept { return m_element; }
  bool IsBound() const noexcept { return static_cast<bool>(m_element.element); }
  // Points the view at another element (null: the element is gone).
  virtual void Rebind(HandlerUtils::XMLElement element);

protected:
  bool ReadString(const wchar_t* name, std::wstring& value) const;
  bool ReadBool(const wchar_t* name, bool& value) const;
  bool ReadULong(const wchar_t* name, ULONG& value) const;
  void WriteString(const wchar_t* name, const std::wstring& value);
  // Secrets are written like any text but never traced.
  void WriteSecret(const wchar_t* name, const std::wstring& value);
  void WriteBool(const wchar_t* name, bool value);
  void WriteULong(const wchar_t* name, ULONG value);

private:
  void NeedElement() const;
  HandlerUtils::XMLElement m_element;
  const char* m_what;
};

// The first child element of `parent` with this local name; a null element when there is none
// or `parent` is null.
HandlerUtils::XMLElement FindChild(const HandlerUtils::XMLElement& parent, const wchar_t* localName);

// The value of an attribute of `element`; false when it is absent or cannot be read.
bool ReadAttribute(const HandlerUtils::XMLElement& element, const wchar_t* name, std::wstring& value);

// Takes the element out of its document.
void RemoveElement(const HandlerUtils::XMLElement& element);
// Puts a copy of `source` (from any document) in the place of `target`; returns the copy.
HandlerUtils::XMLElement ReplaceElement(const HandlerUtils::XMLElement& target, const HandlerUtils::XMLElement& source);

// The cached view of a child element, made or re-pointed when it is not bound; raises
// MEInvalidException `error` when the child is missing.
template <class View, class... A>
View& ChildView(std::unique_ptr<View>& cache, const HandlerUtils::XMLElement& parent, const wchar_t* name, const char* error,
                const A&... args);

// Re-points a cached child view after its parent changed element.
template <class View>
void RebindChild(const std::unique_ptr<View>& cache, const HandlerUtils::XMLElement& parent, const wchar_t* name)
{
  if (cache)
    cache->Rebind(FindChild(parent, name));
}

class Server final : public AttributeHolder, public IServer
{
public:
  // `addressChanged` is told every address written (the primary server's bootstrap follows it).
  Server(HandlerUtils::XMLElement element, std::function<void(const std::wstring&)> addressChanged);

  bool GetAllowLocalConfig(bool& value) const override;
  void SetAllowLocalConfig(bool value) override;
  bool GetAddress(std::wstring& value) const override;
  void SetAddress(const std::wstring& value) override;
  bool GetUseCorvex(bool& value) const override;
  void SetUseCorvex(bool value) override;
  bool GetPortNumber(long& value) const override;
  bool GetUsername(std::wstring& value) const override;
  void SetUserName(const std::wstring& value) override;
  bool GetUserPassword(std::wstring& value) const override;
  void SetUserPassword(const std::wstring& value) override;
  bool GetConnectionType(std::wstring& value) const override;
  bool GetAutoDial(bool& value) const override;
  void SetAutoDial(bool value) override;
  bool GetBandwidthLimit(ULONG& value) const override;
  void SetBandwidthLimit(ULONG value) override;

private:
  std::function<void(const std::wstring&)> m_addressChanged;
};

class Proxy final : public AttributeHolder, public IProxy
{
public:
  explicit Proxy(HandlerUtils::XMLElement element);

  bool GetAllowLocalConfig(bool& value) const override;
  void SetAllowLocalConfig(bool value) override;
  bool GetAddress(std::wstring& value) const override;
  void SetAddress(const std::wstring& value) override;
  bool GetPortNumber(ULONG& value) const override;
  void SetPortNumber(ULONG value) override;
  bool GetUsername(std::wstring& value) const override;
  void SetUserName(const std::wstring& value) override;
  bool GetUserPassword(std::wstring& value) const override;
  void SetUserPassword(const std::wstring& value) override;
  bool GetEnable(bool& value) const override;
  void SetEnable(bool value) override;
};

class Location final : public AttributeHolder, public ILocation
{
public:
  Location(HandlerUtils::XMLElement element, std::function<void(const std::wstring&)> addressChanged);
  ~Location() override;

  IServer& GetServer() const override;
  IProxy& GetProxy() const override;
  void Rebind(HandlerUtils::XMLElement element) override;

private:
  std::function<void(const std::wstring&)> m_addressChanged;
  mutable std::unique_ptr<Server> m_server;
  mutable std::unique_ptr<Proxy> m_proxy;
};

class Schedule final : public AttributeHolder, public ISchedule
{
public:
  explicit Schedule(HandlerUtils::XMLElement element);

  bool GetAllowLocalConfig(bool& value) const override;
  void SetAllowLocalConfig(bool value) override;
  bool GetEnable(bool& value) const override;
  void SetEnable(bool value) override;
  bool GetFrequency(ULONG& value) const override;
  void SetFrequency(ULONG value) override;
  bool GetDetectDialUp(bool& value) const override;
  void SetDetectDialUp(bool value) override;
};

class Logging final : public AttributeHolder, public ILogging
{
public:
  explicit Logging(HandlerUtils::XMLElement element);

  bool GetAllowLocalConfig(bool& value) const override;
  void SetAllowLocalConfig(bool value) override;
  bool GetEnable(bool& value) const override;
  void SetEnable(bool value) override;
  bool GetLevel(ULONG& value) const override;
  void SetLevel(ULONG value) override;
  bool GetMaxFileSize(ULONG& value) const override;
  void SetMaxFileSize(ULONG value) override;
  bool GetFileName(std::wstring& value) const override;
  void SetFileName(const std::wstring& value) override;
  bool GetFilePath(std::wstring& value) const override;
  void SetFilePath(const std::wstring& value) override;
};

class Bootstrap final : public AttributeHolder, public IBootstrap
{
public:
  // `primaryAddress` reads the primary server's ConnectionAddress (false when there is none).
  Bootstrap(HandlerUtils::XMLElement element, std::function<bool(std::wstring&)> primaryAddress);

  bool GetLocation(std::wstring& value) const override;
  void SetLocation(const std::wstring& value) override;
  bool GetUsePrimaryServerAddress(bool& value) const override;
  void SetUsePrimaryServerAddress(bool value) override;
  bool FollowsHttpServer() const override;

  // While UsePrimaryServerAddress is on: a UNC address becomes the location; anything else
  // clears it.
  void FollowPrimaryServer(const std::wstring& address);

private:
  std::function<bool(std::wstring&)> m_primaryAddress;
};

// The maker's update address of a platform.
class CorvexAddress final : public AttributeHolder
{
public:
  explicit CorvexAddress(HandlerUtils::XMLElement element) : AttributeHolder(std::move(element), "Corvex address") {}
  bool GetAddress(std::wstring& value) const { return ReadString(L"address", value); }
  void SetAddress(const std::wstring& value) { WriteString(L"address", value); }
};

// The optional entityInfo child (entity-information namespace) of an element.
class EntityInfo final : public IEntityInfo
{
public:
  explicit EntityInfo(HandlerUtils::XMLElement parent);

  bool GetEntityInfo(std::wstring& value) const override;
  void SetEntityInfo(const std::wstring& value) override;
  // Removes the element.
  void Reset() override;
  void Rebind(HandlerUtils::XMLElement parent) { m_parent = std::move(parent); }

private:
  HandlerUtils::XMLElement m_parent;
};

[[noreturn]] void ThrowMissingChild(const char* error);

template <class View, class... A>
View& ChildView(std::unique_ptr<View>& cache, const HandlerUtils::XMLElement& parent, const wchar_t* name, const char* error,
                const A&... args)
{
  if (cache && cache->IsBound())
    return *cache;
  HandlerUtils::XMLElement child = FindChild(parent, name);
  if (!child.element)
    ThrowMissingChild(error);
  if (cache)
    cache->Rebind(std::move(child));
  else
    cache = std::make_unique<View>(std::move(child), args...);
  return *cache;
}

}  // namespace AUCoreHandler
