#pragma once
// One computer waiting for its install attempt, and one whose setup task is being watched.
// Both are copied by value; each copy wipes the credentials it held when it is assigned over and
// when it goes, so that no released or reused buffer keeps a password.
#include <string>

#include "platform/com/WinTypes.h"
#include "security/Wipe.h"

struct InstallTaskEntry
{
  LONG computerID = 0;
  std::wstring computerName;
  std::wstring username;
  std::wstring password;
  std::wstring cidLocation;
  std::wstring setupPath;
  std::wstring cidUsername;
  std::wstring cidPassword;
  std::wstring domainName;
  LONG operatingSystem = 0;

  InstallTaskEntry() = default;
  InstallTaskEntry(const InstallTaskEntry&) = default;
  InstallTaskEntry& operator=(const InstallTaskEntry& other)
  {
    if (this != &other) {
      WipeSecrets();
      computerID = other.computerID;
      computerName = other.computerName;
      username = other.username;
      password = other.password;
      cidLocation = other.cidLocation;
      setupPath = other.setupPath;
      cidUsername = other.cidUsername;
      cidPassword = other.cidPassword;
      domainName = other.domainName;
      operatingSystem = other.operatingSystem;
    }
    return *this;
  }
  ~InstallTaskEntry() { WipeSecrets(); }

private:
  void WipeSecrets() noexcept
  {
    LanternSecurity::Wipe(password);
    LanternSecurity::Wipe(cidUsername);
    LanternSecurity::Wipe(cidPassword);
  }
};

struct InstallResultEntry
{
  LONG computerID = 0;
  std::wstring computerName;
  std::wstring username;
  std::wstring password;
  DWORD startTick = 0;
  DWORD lastSeenTick = 0;

  InstallResultEntry() = default;
  InstallResultEntry(const InstallResultEntry&) = default;
  InstallResultEntry& operator=(const InstallResultEntry& other)
  {
    if (this != &other) {
      LanternSecurity::Wipe(password);
      computerID = other.computerID;
      computerName = other.computerName;
      username = other.username;
      password = other.password;
      startTick = other.startTick;
      lastSeenTick = other.lastSeenTick;
    }
    return *this;
  }
  ~InstallResultEntry() { LanternSecurity::Wipe(password); }
};
