#pragma once
// The COM interfaces of the service's classes, as consoles and the business layer use them.
// Across processes they travel over the console endpoint (ManagementService.idl); the
// marshallers that do that are registered by RegisterManagementServiceMarshallers.
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

// Makes the interfaces above creatable across processes (idempotent).
void RegisterManagementServiceMarshallers();
