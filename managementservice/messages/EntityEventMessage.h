#pragma once
// An event of one of a managed computer's software entities (a virus found, a scan finished,
// an application error, an update event): handed to the message strategies, which turn it into
// alerts and the computer's last scan.
#include <string>

#include "managementservice/messages/ReceivedMessage.h"

class EntityEventMessage : public ReceivedMessage
{
public:
  // std::runtime_error for an envelope that carries no AppEvent2.
  explicit EntityEventMessage(const CorvexMessaging::Envelope& envelope);

  // Creates the computer when it is new, records the message's arrival and applies the event.
  // E_FAIL for an event that cannot be applied; a lost database is thrown on.
  HRESULT Process() override;

  const std::string& Entity() const { return m_entity; }
  const std::string& Event() const { return m_event; }
  const std::wstring& Domain() const { return m_domain; }
  const std::wstring& ComputerName() const { return m_computerName; }

private:
  // The set-wise road of a processing pass applies virus events with their own data.
  friend class StatusPass;

  std::string m_entity;
  std::string m_event;
  std::wstring m_domain;
  std::wstring m_computerName;
};
