#pragma once
// The web console's metrics: requests answered and how long each took, and refused log-ins.
#include <chrono>

namespace metrics {

// Times one request from construction to destruction (its answer written).
class WebRequestTimer
{
public:
  WebRequestTimer() : m_start(std::chrono::steady_clock::now()) {}
  ~WebRequestTimer();
  WebRequestTimer(const WebRequestTimer&) = delete;
  WebRequestTimer& operator=(const WebRequestTimer&) = delete;

private:
  std::chrono::steady_clock::time_point m_start;
};

// A log-in refused: "refused" (wrong account, password or group), "throttled", "busy".
void WebLoginFailure(const char* reason) noexcept;

}  // namespace metrics
