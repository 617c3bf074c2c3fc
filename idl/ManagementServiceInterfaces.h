#pragma once
// The COM interfaces of the service's classes, as consoles and the business layer use them.
// Across processes they travel over the console endpoint (ManagementService.idl); the
// marshallers that do that are registered by RegisterManagementServiceMarshallers.
#include "platform/com/Bstr.h"
#include "platform/com/Unknown.h"

using VRN_Clock = LONG;

// One clock in a fetch: 8 bytes, identity then value.
struct ClockValue
{
  ULONG identity;
  ULONG value;
};
static_assert(sizeof(ClockValue) == 8);

struct IVRN_Clocks : IUnknown
{
  static constexpr IID iid = MakeGuid("{06A8EFE5-8DD5-41AF-8A27-5A16C626289D}");
  // Every clock in identity order, in an array allocated with CoTaskMemAlloc (the caller frees it).
  virtual HRESULT Fetch(ULONG* size, ClockValue** data) = 0;
  // Ticks the clock.
  virtual HRESULT Fetch(VRN_Clock clock) = 0;
};

constexpr CLSID CLSID_Clocks = MakeGuid("{FE990909-05E1-406E-A90F-56DF96696C47}");

// ---- Computer actions ----------------------------------------------------------------------
struct SAFEARRAY;

// The console's requests for work on computers, named by their database IDs. Raw arrays are
// checked for readability (count x 4 bytes; a count of 0 always passes) and give E_POINTER.
struct IVRN_ComputerActions : IUnknown
{
  static constexpr IID iid = MakeGuid("{C8C04381-9C95-44C3-AAE2-37413A2E3DE7}");
  virtual HRESULT Refresh(ULONG count, LONG* computerIDs) = 0;
  virtual HRESULT UpdateNow(ULONG num, LONG* computerIDs) = 0;
  // override non-zero: the computers stop applying the central configuration.
  virtual HRESULT OverrideCentralConfiguration(BYTE override, ULONG count, LONG* computerIDs) = 0;
};

// The same requests for script clients, with the IDs in a SAFEARRAY of 32-bit integers.
struct IComputerActions : IUnknown
{
  static constexpr IID iid = MakeGuid("{C8C04382-9C95-44C3-AAE2-37413A2E3DE7}");
  virtual HRESULT Refresh(SAFEARRAY* computerIDs) = 0;
  virtual HRESULT UpdateNow(SAFEARRAY* computerIDs) = 0;
  virtual HRESULT put_OverrideCentralConfiguration(SAFEARRAY* computerIDs, LONG override) = 0;
};

// Pushes each computer's group configuration to the computer.
struct IComputerActionsKT : IUnknown
{
  static constexpr IID iid = MakeGuid("{A14CFB1F-AE89-42CE-AE44-28E2AE3149A7}");
  virtual HRESULT SendAUConfig(ULONG count, LONG* computers) = 0;
  virtual HRESULT SendDexConfig(ULONG count, LONG* computers) = 0;
};

constexpr CLSID CLSID_ComputerActions = MakeGuid("{94118687-66D6-464D-8893-94A0851C4C50}");
constexpr CLSID CLSID_ComputerActionsKT = MakeGuid("{88BF2A27-B563-4780-A82B-0D5BE60BAA5B}");

struct IKTComputerInstall : IUnknown
{
  static constexpr IID iid = MakeGuid("{49089028-47BE-47D7-B3F9-D81DDD118BE2}");
  // Queues the computers for remote installation under the account given.
  virtual HRESULT Install(ULONG num, LONG* computerIDs, BSTR username, BSTR password) = 0;
  // Empties the queue of computers waiting for their attempt.
  virtual HRESULT Stop() = 0;
};

constexpr CLSID CLSID_KTComputerInstall = MakeGuid("{FD90B831-6406-4DCF-BAB6-E5046C12E6CA}");

// Makes the interfaces above creatable across processes (idempotent).
void RegisterManagementServiceMarshallers();
