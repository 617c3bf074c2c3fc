#pragma once
// A broker whose clocks object records every tick in order, for tests of operations that tick
// the change clocks. Registered while a TestClocks lives.
#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "businesslogic/ServerBroker.h"
#include "platform/com/Memory.h"

namespace testsupport {

class TestClocks
{
public:
  TestClocks() { CServerBrokerRegistrar::SetBroker(Broker(m_log)); }
  ~TestClocks() { CServerBrokerRegistrar::Clear(); }
  TestClocks(const TestClocks&) = delete;
  TestClocks& operator=(const TestClocks&) = delete;

  // The clocks ticked since the last call, in order.
  std::vector<VRN_Clock> Take()
  {
    std::lock_guard lock(m_log->mutex);
    return std::exchange(m_log->ticks, {});
  }

private:
  struct Log
  {
    std::mutex mutex;
    std::vector<VRN_Clock> ticks;
  };

  class Clocks : public CComRefCounted<IVRN_Clocks>
  {
  public:
    explicit Clocks(std::shared_ptr<Log> log) : m_log(std::move(log)) {}
    HRESULT QueryInterface(const IID& iid, void** out) override
    {
      if (iid != IID_IUnknown && iid != IVRN_Clocks::iid)
        return E_NOINTERFACE;
      AddRef();
      *out = static_cast<IVRN_Clocks*>(this);
      return S_OK;
    }
    HRESULT Fetch(ULONG* size, ClockValue** data) override
    {
      std::lock_guard lock(m_log->mutex);
      *size = 3;
      *data = static_cast<ClockValue*>(CoTaskMemAlloc(3 * sizeof(ClockValue)));
      for (ULONG i = 0; i < 3; ++i)
        (*data)[i] = ClockValue{i, static_cast<ULONG>(std::count(m_log->ticks.begin(), m_log->ticks.end(), VRN_Clock(i)))};
      return S_OK;
    }
    HRESULT Fetch(VRN_Clock clock) override
    {
      if (clock < 0 || clock > 2)
        return E_INVALIDARG;
      std::lock_guard lock(m_log->mutex);
      m_log->ticks.push_back(clock);
      return S_OK;
    }

  private:
    std::shared_ptr<Log> m_log;
  };

  class Broker : public CServerBrokerBase
  {
  public:
    explicit Broker(std::shared_ptr<Log> log) : m_log(std::move(log)) {}
    ServerClocks CreateServerClocks() const override { return ServerClocks(new Clocks(m_log)); }
    std::unique_ptr<CServerBrokerBase> Clone() const override { return std::make_unique<Broker>(m_log); }

  private:
    std::shared_ptr<Log> m_log;
  };

  std::shared_ptr<Log> m_log = std::make_shared<Log>();
};

}  // namespace testsupport
