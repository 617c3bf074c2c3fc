#pragma once
// A search listener that writes down every call it gets, in order ("started", "status 1/3",
// "finished"), and can be told to fail them.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "idl/ComputerSearchInterfaces.h"

class RecordingListener : public CComRefCounted<IKTComputerSearchListener>
{
public:
  HRESULT QueryInterface(const IID& iid, void** out) override
  {
    if (iid == IID_IUnknown || iid == IKTComputerSearchListener::iid) {
      *out = static_cast<IKTComputerSearchListener*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT OnStarted() override { return Record("started"); }
  HRESULT OnStatusChange(ULONG known, ULONG found) override
  {
    return Record("status " + std::to_string(known) + "/" + std::to_string(found));
  }
  HRESULT OnFinished() override { return Record("finished"); }

  std::vector<std::string> Calls() const
  {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }
  // Waits until a call equal to text arrived; false after the timeout.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const
  {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
      for (const auto& c : m_calls)
        if (c == text)
          return true;
      return false;
    });
  }
  void FailCalls(bool fail) { m_fail = fail; }

private:
  HRESULT Record(std::string call)
  {
    {
      std::lock_guard lock(m_mutex);
      m_calls.push_back(std::move(call));
    }
    m_changed.notify_all();
    return m_fail ? E_FAIL : S_OK;
  }
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<std::string> m_calls;
  bool m_fail = false;
};
