#pragma once
// The console's computer search: the search object's interface and the listener a console hands
// it to hear how a search starts, progresses and ends. Across processes they travel over the
// console endpoint (ManagementService.idl); the listener is served by the console's own process.
#include "platform/com/Bstr.h"
#include "platform/com/Unknown.h"

struct IKTComputerSearchListener : IUnknown
{
  static constexpr IID iid = MakeGuid("{3B9F6E21-7C4A-4E8D-A1B5-6D2C8F0E4A17}");
  virtual HRESULT OnStarted() = 0;
  // Computers queried so far, and computers found.
  virtual HRESULT OnStatusChange(ULONG computersKnown, ULONG computersFound) = 0;
  virtual HRESULT OnFinished() = 0;
};

struct IKTComputerSearch : IUnknown
{
  static constexpr IID iid = MakeGuid("{555CEA74-0CE0-4492-B024-5BF58D89F6D9}");
  // The network's domains and workgroups, in an array of BSTRs allocated with CoTaskMemAlloc
  // (the caller frees the strings and the array).
  virtual HRESULT GetDomainNames(ULONG* count, BSTR** names) = 0;
  // Queues the domains for browsing; the account is used for computers that refuse an anonymous
  // query.
  virtual HRESULT Search(ULONG count, BSTR* domains, BSTR username, BSTR password) = 0;
  virtual HRESULT Stop() = 0;
  // Writes nothing: progress reaches consoles only through listeners.
  virtual HRESULT GetStatus(ULONG* first, ULONG* second, ULONG* third) = 0;
  virtual HRESULT AddStatusListener(IKTComputerSearchListener* listener) = 0;
  // S_FALSE when the listener was not registered.
  virtual HRESULT RemoveStatusListener(IKTComputerSearchListener* listener) = 0;
};

constexpr CLSID CLSID_KTComputerSearch = MakeGuid("{02D2BE0B-53CF-4C57-B6B1-0FCB348C843F}");

// Makes the interfaces above usable across processes (idempotent).
void RegisterComputerSearchMarshallers();
