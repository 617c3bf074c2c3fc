#pragma once
// A small client of the WebDriver protocol, enough to drive headless Chromium through
// chromedriver: open a page, type, click, run a script, take a screenshot.
#include <openssl/evp.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace webtest {

class WebDriver
{
public:
  // Starts a session of headless Chromium that accepts the web console's self-signed certificate.
  WebDriver(int driverPort, const std::string& profileDir) : m_http("127.0.0.1", driverPort)
  {
    m_http.set_read_timeout(60);
    const nlohmann::json options = {
      {"binary", "/usr/bin/chromium"},
      {"args",
       {"--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
        "--disable-component-update", "--disable-sync", "--disable-dev-shm-usage", "--window-size=1400,1000",
        "--user-data-dir=" + profileDir}}};
    const nlohmann::json caps = {
      {"capabilities", {{"alwaysMatch", {{"browserName", "chrome"}, {"acceptInsecureCerts", true}, {"goog:chromeOptions", options}}}}}};
    m_session = Call("POST", "/session", caps)["sessionId"];
  }
  ~WebDriver()
  {
    if (!m_session.empty())
      m_http.Delete(("/session/" + m_session).c_str());
  }
  WebDriver(const WebDriver&) = delete;
  WebDriver& operator=(const WebDriver&) = delete;

  void Open(const std::string& url) { Session("POST", "/url", {{"url", url}}); }
  // The first element the CSS selector finds; throws when there is none.
  std::string Find(const std::string& css)
  {
    const nlohmann::json e = Session("POST", "/element", {{"using", "css selector"}, {"value", css}});
    return e.begin().value();
  }
  void Type(const std::string& css, const std::string& text) { Session("POST", "/element/" + Find(css) + "/value", {{"text", text}}); }
  void Click(const std::string& css) { Session("POST", "/element/" + Find(css) + "/click", nlohmann::json::object()); }
  nlohmann::json Script(const std::string& body) { return Session("POST", "/execute/sync", {{"script", body}, {"args", nlohmann::json::array()}}); }
  // Runs the script until it returns something true; that value, or null after the timeout.
  nlohmann::json WaitFor(const std::string& body, std::chrono::seconds timeout = std::chrono::seconds(20))
  {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      nlohmann::json v = Script(body);
      if ((v.is_boolean() && v.get<bool>()) || (v.is_number() && v != 0) || (v.is_string() && !v.get<std::string>().empty()))
        return v;
      if (std::chrono::steady_clock::now() > end)
        return nullptr;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  bool Until(const std::string& body, std::chrono::seconds timeout = std::chrono::seconds(20))
  {
    return !WaitFor(body, timeout).is_null();
  }
  void Screenshot(const std::string& pngFile)
  {
    const std::string b64 = Session("GET", "/screenshot", nullptr);
    std::string png(b64.size() * 3 / 4 + 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(png.data()), reinterpret_cast<const unsigned char*>(b64.data()),
                                  static_cast<int>(b64.size()));
    if (n < 0)
      throw std::runtime_error("screenshot is not Base64");
    const std::size_t padding = b64.size() >= 2 ? (b64[b64.size() - 1] == '=') + (b64[b64.size() - 2] == '=') : 0;
    std::ofstream(pngFile, std::ios::binary).write(png.data(), n - static_cast<int>(padding));
  }

private:
  nlohmann::json Session(const std::string& method, const std::string& path, const nlohmann::json& body)
  {
    return Call(method, "/session/" + m_session + path, body);
  }
  nlohmann::json Call(const std::string& method, const std::string& path, const nlohmann::json& body)
  {
    httplib::Result r = method == "GET" ? m_http.Get(path.c_str()) : m_http.Post(path.c_str(), body.dump(), "application/json");
    if (!r)
      throw std::runtime_error("chromedriver did not answer " + path);
    const nlohmann::json answer = nlohmann::json::parse(r->body, nullptr, false);
    if (r->status != 200 || answer.is_discarded())
      throw std::runtime_error("chromedriver " + path + ": " + r->body.substr(0, 500));
    return answer["value"];
  }

  httplib::Client m_http;
  std::string m_session;
};

}  // namespace webtest
