#pragma once
// A headless Chromium for the console's browser tests: whether one is installed, its driver on a
// free loopback port, and the console's log-in form.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "tests/e2e/support/ProcessRunner.h"
#include "tests/web/WebDriver.h"

namespace webtest {

inline bool ChromiumInstalled()
{
  return ::access("/usr/bin/chromedriver", X_OK) == 0 && ::access("/usr/bin/chromium", X_OK) == 0;
}
inline constexpr const char* kNoChromium =
  "Chromium and chromedriver are not installed (scripts/install-deps.sh --browser installs them)";

// chromedriver on a free loopback port, its output in `dir`/chromedriver.out; killed with the
// object.
class ChromeDriver
{
public:
  explicit ChromeDriver(const std::string& dir)
    : m_port(e2e::FreeLoopbackPort()),
      m_process("/usr/bin/chromedriver", {"--port=" + std::to_string(m_port)}, std::vector<std::string>{}, dir + "/chromedriver.out")
  {
  }
  // Waits for the driver to say it listens.
  bool Started() { return m_process.WaitForOutput("started successfully", std::chrono::seconds(15)); }
  std::string Output() const { return m_process.Output(); }
  int Port() const { return m_port; }
  // Asks the driver to end and waits up to 10 seconds for it; the destructor kills it otherwise.
  void Stop()
  {
    m_process.Signal(SIGTERM);
    m_process.Wait(std::chrono::seconds(10));
  }

private:
  int m_port;
  e2e::ChildProcess m_process;
};

// Opens the console at `base` and waits for its log-in form; false when none shows.
inline bool OpenLogIn(WebDriver& browser, const std::string& base)
{
  browser.Open(base + "/");
  return browser.Until("return document.querySelector('#login') !== null");
}

// Fills in the log-in form on show and sends it; when it was sent.
inline std::chrono::steady_clock::time_point SubmitLogIn(WebDriver& browser, const std::string& user, const std::string& password)
{
  browser.Type("#login input[name=user]", user);
  browser.Type("#login input[name=password]", password);
  const auto sent = std::chrono::steady_clock::now();
  browser.Click("#login button");
  return sent;
}

}  // namespace webtest
