#pragma once
// StatusMessage: an agent's answer to a status request. Decoded on the library's thread from
// the AgentStatus payload, entity by entity; applied on the processing thread: the computer's
// details and connection state, its update configuration, its library and anti-virus status
// and configuration (through the message sink), whether its configuration matches its group's,
// and the configuration letters for a component that has just appeared on it.
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "businesslogic/entities/OperatingSystem.h"
#include "idl/CorvexMessaging.hh"
#include "idl/DEX_PTLMessages.hh"
#include "managementservice/messages/CreatorFn.h"
#include "managementservice/messages/ReceivedMessage.h"

class CComputer;

class StatusMessage : public ReceivedMessage
{
public:
  // Every refusal is a std::runtime_error naming what was wrong; nothing is stored then.
  explicit StatusMessage(const CorvexMessaging::Envelope& envelope);
  HRESULT Process() override;

  // The library's authorisation check; tools and tests may put their own in place (empty: the
  // library's).
  using Authoriser = std::function<bool(const CorvexMessaging::Envelope&)>;
  static void SetAuthoriser(Authoriser authoriser);

  // The operating-system code of a reported name; 0 for a name not in the table.
  static PTLDB::OperatingSystem OperatingSystemCode(const std::string& name);

  const std::wstring& ComputerName() const { return m_computerName; }
  const std::wstring& Domain() const { return m_domain; }
  const std::string& OperatingSystem() const { return m_operatingSystem; }
  const std::wstring& Comment() const { return m_comment; }
  const std::string& ServicePack() const { return m_servicePack; }
  std::uint32_t IpAddress() const { return m_ipAddress; }
  const std::wstring& LastLoggedOnUser() const { return m_lastLoggedOnUser; }
  bool DexInstalled() const { return m_dexInstalled; }
  bool DexActive() const { return m_dexActive; }
  const std::string& DexStatus() const { return m_dexStatus; }
  const std::string& DexConfiguration() const { return m_dexConfiguration; }
  const std::string& AUConfiguration() const { return m_auConfiguration; }
  const std::wstring& PrimaryLocation() const { return m_primaryLocation; }
  const std::wstring& SecondaryLocation() const { return m_secondaryLocation; }
  bool LibraryPresent() const { return m_libraryPresent; }
  const std::string& LibraryStatus() const { return m_libraryStatus; }
  const std::string& LibraryConfiguration() const { return m_libraryConfiguration; }
  // 0 not installed, 1 installed and active, 2 installed and not active.
  long DexAvailability() const { return !m_dexInstalled ? 0 : m_dexActive ? 1 : 2; }

private:
  // The set-wise road of a processing pass applies replies with their own data and letters.
  friend class StatusPass;

  using Processor = void (StatusMessage::*)(const DEX_PTLMessages::AppStatus&);
  static const std::map<std::string, Processor>& Processors();

  void construct_DEX(const DEX_PTLMessages::AppStatus& status);
  void construct_ALC(const DEX_PTLMessages::AppStatus& status);
  void construct_AGENT(const DEX_PTLMessages::AppStatus& status);
  void construct_TZLIB(const DEX_PTLMessages::AppStatus& status);

  HRESULT Apply();
  // Queues, per group holding the computer, the configuration letters for a component that has
  // just appeared on it.
  void QueueNewComponentLetters(const CComputer& computer, bool sendAUConfig, bool sendDexConfig) const;

  std::wstring m_computerName;
  std::wstring m_domain;
  std::string m_operatingSystem;
  std::wstring m_comment;
  std::string m_servicePack;
  std::uint32_t m_ipAddress = 0;
  std::wstring m_lastLoggedOnUser;
  bool m_dexInstalled = false;
  bool m_dexActive = false;
  std::string m_dexStatus;
  std::string m_dexConfiguration;
  std::string m_auConfiguration;
  std::wstring m_primaryLocation;
  std::wstring m_secondaryLocation;
  bool m_libraryPresent = false;
  std::string m_libraryStatus;
  std::string m_libraryConfiguration;
};

// A status reply must carry an agent's status before a message is built from it: anything else
// ("Invalid envelope for Tz-GetStatus-Reply") gives null like any refusal.
template <>
DecodedMessage* CreatorFn<StatusMessage>(const CorvexMessaging::Envelope& envelope);
