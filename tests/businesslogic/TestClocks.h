#pragma once
// A broker whose clocks object records every tick in order, registered while a TestClocks lives.
#include <algorithm>
#include <functional>
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

  // Runs on every tick, on the ticking thread, after the tick is recorded.
  void OnTick(std::function<void(VRN_Clock)> hook)
  {
    std::lock_guard lock(m_log->mutex);
    m_log->hook = std::move(hook);
  }

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
    std::function<void(VRN_Clock)> hook;
  };
  using LogPtr = std::shared_ptr<Log>;

  struct Clocks : CComRefCounted<IVRN_Clocks>
  {
    explicit Clocks(LogPtr log) : m_log(std::move(log)) {}
    HRESULT QueryInterface(const IID&, void**) override { return E_NOINTERFACE; }
    HRESULT Fetch(ULONG* size, ClockValue** data) override
    {
      std::lock_guard lock(m_log->mutex);
      *size = 3;
      *data = static_cast<ClockValue*>(CoTaskMemAlloc(3 * sizeof(ClockValue)));
      for (ULONG i = 0; i < 3; ++i)
        (*data)[i] = {i, static_cast<ULONG>(std::count(m_log->ticks.begin(), m_log->ticks.end(), VRN_Clock(i)))};
      return S_OK;
    }
    HRESULT Fetch(VRN_Clock clock) override
    {
      std::function<void(VRN_Clock)> hook;
      {
        std::lock_guard lock(m_log->mutex);
        m_log->ticks.push_back(clock);
        hook = m_log->hook;
      }
      if (hook)
        hook(clock);
      return S_OK;
    }
    LogPtr m_log;
  };

  struct Broker : CServerBrokerBase
  {
    explicit Broker(LogPtr log) : m_log(std::move(log)) {}
    ServerClocks CreateServerClocks() const override { return ServerClocks(new Clocks(m_log)); }
    std::unique_ptr<CServerBrokerBase> Clone() const override { return std::make_unique<Broker>(m_log); }
    LogPtr m_log;
  };

  LogPtr m_log = std::make_shared<Log>();
};

}  // namespace testsupport
