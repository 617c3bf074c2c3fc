#pragma once
// The anti-virus event document: one application message, virus detection or finished scan.
#include <string>
#include <vector>

#include "handlers/HandlerUtils/Timestamp.h"
#include "handlers/HandlerUtils/XMLElement.h"
#include "handlers/HandlerUtils/XMLTypes.h"
#include "handlers/KTDexHandler/LabelMaps.h"
#include "handlers/KTDexHandler/ValueHandle.h"
#include "platform/com/WinTypes.h"

namespace KTDexHandler {

// The event type names; the type decides which part of an event travels.
inline const std::wstring kAppEventType = L"corvex.mgt.entityAppEvent";
inline const std::wstring kVirusDetectedEventType = L"corvex.mgt.dex.virusDetectedEvent";
inline const std::wstring kScanCompleteEventType = L"corvex.mgt.dex.scanCompleteEvent";
inline const std::wstring kUpdateCompleteEventType = L"corvex.mgt.au.updateCompleteEvent";

struct user_t
{
  std::wstring userId;
  std::wstring domain;
  friend bool operator==(const user_t&, const user_t&) = default;
};

struct virusInfectionInfo_t
{
  VirusType virusType = VirusType::unknown;
  std::wstring virusName;
  std::wstring item;  // the infected file or object
  ScanType scanType = ScanType::unknown;
  VirusAction actionTaken = VirusAction::unknown;
  friend bool operator==(const virusInfectionInfo_t&, const virusInfectionInfo_t&) = default;
};

struct message_t
{
  std::wstring message_code;
  std::vector<std::wstring> message_inserts;  // fill the message's placeholders, in order
  friend bool operator==(const message_t&, const message_t&) = default;
};

struct appInfo_t
{
  LONG number = 0;  // the application message number
  message_t message;
  friend bool operator==(const appInfo_t&, const appInfo_t&) = default;
};

struct scanComplete_t
{
  std::wstring scanName;
  friend bool operator==(const scanComplete_t&, const scanComplete_t&) = default;
};

struct Event_t
{
  std::wstring type;
  HandlerUtils::timestamp_t timestamp;  // UTC; a new event holds the current time
  user_t user;
  virusInfectionInfo_t infectionInfo;
  appInfo_t appInfo;
  scanComplete_t scanComplete;
  friend bool operator==(const Event_t&, const Event_t&) = default;
};

// Each part is written as one child of `parent` and read from its own element.
void ToXMLNode(const HandlerUtils::XMLElement& parent, const user_t& user);
void FromXMLNode(const HandlerUtils::XMLElement& node, user_t& user);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const virusInfectionInfo_t& info);
void FromXMLNode(const HandlerUtils::XMLElement& node, virusInfectionInfo_t& info);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const message_t& message);
void FromXMLNode(const HandlerUtils::XMLElement& node, message_t& message);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const appInfo_t& info);
void FromXMLNode(const HandlerUtils::XMLElement& node, appInfo_t& info);
void ToXMLNode(const HandlerUtils::XMLElement& parent, const scanComplete_t& scan);
void FromXMLNode(const HandlerUtils::XMLElement& node, scanComplete_t& scan);

class KTDexEventImpl;

class KTDexEvent
{
public:
  KTDexEvent();
  KTDexEvent(const KTDexEvent& other);
  KTDexEvent& operator=(const KTDexEvent& other);
  KTDexEvent(KTDexEvent&& other);
  KTDexEvent& operator=(KTDexEvent&& other) noexcept;
  ~KTDexEvent();

  // Back to a new event (current time, no type).
  void Reset();
  Event_t GetEventData() const;
  void SetEventData(const Event_t& event);

  // Replaces the held event; on any failure it stays as it was.
  void Set(const CorvexManagedEntity::XML_UTF8_t& text);
  void Set(const CorvexManagedEntity::XML_UTF16_t& text);

  CorvexManagedEntity::XML_UTF8_t ToXML_UTF8() const;
  CorvexManagedEntity::XML_UTF16_t ToXML() const;

private:
  ValueHandle<KTDexEventImpl> m_impl;
};

}  // namespace KTDexHandler
