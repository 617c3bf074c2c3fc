#include "tools/corvexctl/Agents.h"

#include <cstdio>
#include <stdexcept>

#include "messaging/Enrolment.h"
#include "platform/registry/Registry.h"
#include "platform/text/Unicode.h"

namespace corvexctl {
namespace {

namespace enrolment = messaging::enrolment;

const char* const kAgentUsage =
  "usage: corvexctl agent enrol [--messaging DIR] [--reload] COMPUTER...\n"
  "       corvexctl agent remove [--messaging DIR] [--reload] COMPUTER...\n"
  "       corvexctl agent list [--messaging DIR]\n";
const char* const kAgentSuffix = ".Agent";

std::string MessagingDirectory()
{
  CRegKey key;
  if (key.Open(HKEY_LOCAL_MACHINE, L"Software\\Corvex\\KT\\Management Tools", KEY_READ) == ERROR_SUCCESS) {
    std::wstring value;
    const LONG status = key.QueryStringValue(L"MessagingDirectory", value);
    if (status == ERROR_SUCCESS && !value.empty())
      return ToUtf8(value);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
      throw std::runtime_error("registry value \"MessagingDirectory\" is not text");
  }
  return "/etc/corvex/messaging";
}

bool IsAgentAddress(const std::string& address)
{
  return address.size() > 6 && address.compare(address.size() - 6, 6, kAgentSuffix) == 0;
}

int Reload(const std::string& dir, bool reload)
{
  if (!reload)
    return 0;
  try {
    enrolment::Reload(dir);
  } catch (const enrolment::EnrolmentError& e) {
    std::fprintf(stderr, "corvexctl: the change is written, but %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int Agent(const std::vector<std::string>& args)
{
  if (args.empty()) {
    std::fputs(kAgentUsage, stderr);
    return 2;
  }
  const std::string& command = args[0];
  std::string dir;
  bool reload = false;
  std::vector<std::string> addresses;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--messaging" && i + 1 < args.size()) {
      dir = args[++i];
    } else if (args[i] == "--reload" && command != "list") {
      reload = true;
    } else if (args[i].empty() || args[i][0] == '-' || command == "list") {
      std::fprintf(stderr, "corvexctl: agent %s: unexpected \"%s\"\n%s", command.c_str(), args[i].c_str(), kAgentUsage);
      return 2;
    } else {
      addresses.push_back(args[i] + kAgentSuffix);
    }
  }
  if (dir.empty())
    dir = MessagingDirectory();

  if (command == "list") {
    for (const auto& e : enrolment::List(dir))
      if (e.role == enrolment::kRoleClient && IsAgentAddress(e.address))
        std::printf("%s %s\n", e.address.substr(0, e.address.size() - 6).c_str(), e.publicKey.c_str());
    return 0;
  }
  if ((command != "enrol" && command != "remove") || addresses.empty()) {
    std::fputs(kAgentUsage, stderr);
    return 2;
  }
  if (command == "remove") {
    enrolment::Remove(dir, addresses);
    for (const std::string& address : addresses)
      std::printf("removed %s\n", address.c_str());
    return Reload(dir, reload);
  }
  // What the agent is configured with, as an administrator copies it to the computer.
  for (const auto& c : enrolment::Enrol(dir, addresses))
    std::printf("%s\n  public key: %s\n  seed file:  %s\n  CA file:    %s\n  URL:        %s\n", c.address.c_str(),
                c.publicKey.c_str(), c.seedFile.c_str(), c.caFile.c_str(), c.url.c_str());
  return Reload(dir, reload);
}

}  // namespace corvexctl
