#include "metrics/WebMetrics.h"

#include "metrics/ServiceMetrics.h"

namespace metrics {
namespace {

struct WebNames
{
  Counter& requests;
  Histogram& seconds;
  Family<Counter>& loginFailures;

  explicit WebNames(Registry& r)
    : requests(r.CounterFamily("corvex_web_requests_total", "Requests the web console answered").With()),
      seconds(r.HistogramFamily("corvex_web_request_duration_seconds", "Time to answer one request, streaming answers included",
                                {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10})
                .With()),
      loginFailures(r.CounterFamily("corvex_web_login_failures_total", "Log-ins refused, by reason", {"reason"}))
  {
  }
};

WebNames& W()
{
  static WebNames* w = new WebNames(Process());
  return *w;
}

}  // namespace

WebRequestTimer::~WebRequestTimer()
{
  try {
    WebNames& w = W();
    w.requests.Inc();
    w.seconds.Observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count());
  } catch (...) {
  }
}

void WebLoginFailure(const char* reason) noexcept
{
  try {
    W().loginFailures.With({reason ? reason : ""}).Inc();
  } catch (...) {
  }
}

}  // namespace metrics
