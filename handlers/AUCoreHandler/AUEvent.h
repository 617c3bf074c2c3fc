#pragma once
// The update component's event document: an application event (message number and inserts)
// with its time and user, and the reporting entity's information beside it.
#include <string>
#include <vector>

#include "handlers/HandlerUtils/Timestamp.h"
#include "handlers/HandlerUtils/XMLTypes.h"
#include "platform/com/WinTypes.h"

namespace AUCoreHandler {

struct user_t
{
  std::wstring userId;
  std::wstring domain;
  friend bool operator==(const user_t&, const user_t&) = default;
};

struct appInfo_t
{
  LONG number = 0;
  std::vector<std::wstring> message_inserts;
  friend bool operator==(const appInfo_t&, const appInfo_t&) = default;
};

struct Event_t
{
  std::wstring type;
  HandlerUtils::timestamp_t timestamp;  // now, in UTC, when made
  user_t user;
  appInfo_t appInfo;
  friend bool operator==(const Event_t&, const Event_t&) = default;
};

class AUEvent
{
public:
  AUEvent() = default;

  // A new event (the current time) and no entity information.
  void Reset();
  Event_t GetEventData() const { return m_event; }
  void SetEventData(const Event_t& event) { m_event = event; }
  // False when the event carries no entity information.
  bool GetEntityInfo(std::wstring& value) const;
  void SetEntityInfo(const std::wstring& value) { m_entityInfo = value; }

  // Parses an event document (UTF-8 bytes). XMLException for a text that does not parse or
  // lacks a required element, MEInvalidException for a malformed timestamp; on failure the
  // held event stays as it was.
  void Set(const std::string& text);
  // The document with its entityInfo, declared "utf-16" (the form the service stores).
  CorvexManagedEntity::XML_UTF16_t ToKTXML() const;
  // The same document as UTF-8 bytes (the form that travels).
  CorvexManagedEntity::XML_UTF8_t ToKTXML_UTF8() const;

private:
  Event_t m_event;
  std::wstring m_entityInfo;
};

}  // namespace AUCoreHandler
