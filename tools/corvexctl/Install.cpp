#include "tools/corvexctl/Install.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <iostream>

#include "businesslogic/SystemEnviroment.h"
#include "idl/ManagementServiceInterfaces.h"
#include "platform/errortext/ErrorText.h"
#include "platform/remotetask/SshConnection.h"
#include "platform/text/Unicode.h"
#include "security/Wipe.h"
#include "tools/corvexctl/Arguments.h"
#include "tools/corvexctl/InstallProgress.h"
#include "tools/corvexctl/Password.h"

namespace corvexctl {
namespace {

int Report(const char* what, HRESULT hr)
{
  if (FAILED(hr)) {
    std::fprintf(stderr, "corvexctl: %s: the service answered 0x%08X (%s)\n", what, static_cast<unsigned>(hr),
                 ErrorText(hr).c_str());
    return 1;
  }
  return 0;
}

constexpr const char* kTrustUsage =
  "usage: corvexctl install trust HOST [--fingerprint SHA256:...]\n"
  "       corvexctl install trust --import KNOWN_HOSTS_FILE\n";

// Records a target's host key in the service's known-hosts file, after the administrator has
// compared its fingerprint with the one the computer itself shows (ssh-keygen -l on its host
// key): given with --fingerprint, or confirmed at the terminal.
int Trust(const std::vector<std::string>& args)
{
  std::string host;
  std::string fingerprint;
  std::string importFile;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--fingerprint" && i + 1 < args.size())
      fingerprint = args[++i];
    else if (args[i] == "--import" && i + 1 < args.size())
      importFile = args[++i];
    else if (host.empty() && !args[i].empty() && args[i][0] != '-')
      host = args[i];
    else {
      std::fprintf(stderr, "%s", kTrustUsage);
      return 2;
    }
  }
  if (host.empty() == importFile.empty() || (!importFile.empty() && !fingerprint.empty())) {
    std::fprintf(stderr, "%s", kTrustUsage);
    return 2;
  }
  const remotetask::Settings settings = remotetask::Settings::FromRegistry();
  if (!importFile.empty()) {
    std::ifstream in(importFile);
    if (!in) {
      std::fprintf(stderr, "corvexctl: install trust: cannot read \"%s\"\n", importFile.c_str());
      return 1;
    }
    const remotetask::KnownHostsImport result = remotetask::ImportKnownHosts(in, settings);
    for (const std::string& refused : result.refused)
      std::fprintf(stderr, "corvexctl: install trust: %s\n", refused.c_str());
    std::printf("install trust: %zu key(s) recorded, %zu already recorded, %zu line(s) refused, in %s\n", result.imported,
                result.alreadyRecorded, result.refused.size() - (result.failed ? 1 : 0), settings.knownHostsFile.c_str());
    return result.failed || !result.refused.empty() ? 1 : 0;
  }
  const std::wstring computer = FromUtf8(host);
  if (fingerprint.empty()) {
    // Ask: show the key first, record only on an explicit yes at a terminal.
    remotetask::SshConnection probe(settings);
    const HRESULT hr = probe.Connect(computer);
    if (hr == S_OK) {
      std::printf("install trust: %s's key is already recorded: %s\n", host.c_str(), probe.HostKeyFingerprint().c_str());
      return 0;
    }
    if (hr != remotetask::HOST_KEY_NOT_TRUSTED) {
      std::fprintf(stderr, "corvexctl: install trust: %s: 0x%08X (%s)\n", host.c_str(), static_cast<unsigned>(hr),
                   hr == E_ACCESSDENIED ? "its key differs from the recorded one; remove the old entry by hand first"
                                        : ErrorText(hr).c_str());
      return 1;
    }
    fingerprint = probe.HostKeyFingerprint();
    if (!::isatty(STDIN_FILENO)) {
      std::fprintf(stderr,
                   "corvexctl: install trust: %s presents %s; compare it with the computer's own key and give it "
                   "with --fingerprint to record it\n",
                   host.c_str(), fingerprint.c_str());
      return 1;
    }
    std::fprintf(stderr, "%s presents %s\nIs this the computer's own key (yes/no)? ", host.c_str(), fingerprint.c_str());
    std::string answer;
    if (!std::getline(std::cin, answer) || answer != "yes") {
      std::fprintf(stderr, "corvexctl: install trust: nothing recorded\n");
      return 1;
    }
  }
  std::string presented;
  bool recorded = false;
  const HRESULT hr = remotetask::TrustHostKey(computer, settings, fingerprint, presented, recorded);
  if (hr == remotetask::HOST_KEY_NOT_TRUSTED) {
    std::fprintf(stderr, "corvexctl: install trust: %s presents %s, not the key given; nothing recorded\n", host.c_str(),
                 presented.c_str());
    return 1;
  }
  if (FAILED(hr)) {
    std::fprintf(stderr, "corvexctl: install trust: %s: 0x%08X (%s)\n", host.c_str(), static_cast<unsigned>(hr),
                 hr == E_ACCESSDENIED ? "its key differs from the recorded one, or the file cannot be written"
                                      : ErrorText(hr).c_str());
    return 1;
  }
  std::printf("install trust: %s %s: %s\n", host.c_str(), recorded ? "recorded" : "already recorded", presented.c_str());
  return 0;
}

}  // namespace

int Install(const std::vector<std::string>& args)
{
  if (!args.empty() && args[0] == "trust")
    return Trust(args);
  if (!args.empty() && args[0] == "progress")
    return InstallProgress(args);
  std::string user;
  std::string passwordFile;
  bool haveUser = false;
  // On a terminal the installs are followed to their end; in a script only when asked.
  bool follow = ::isatty(STDOUT_FILENO) != 0;
  std::vector<LONG> ids;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--user" && i + 1 < args.size()) {
      user = args[++i];
      haveUser = true;
    } else if (args[i] == "--password-file" && i + 1 < args.size()) {
      passwordFile = args[++i];
    } else if (args[i] == "--wait") {
      follow = true;
    } else if (args[i] == "--no-wait") {
      follow = false;
    } else {
      const long id = Number(args[i].c_str());
      if (id < 0 || id > 0x7FFFFFFF) {
        std::fprintf(stderr, "corvexctl: install: \"%s\" is not a computer ID\n"
                             "usage: corvexctl install --user USER [--password-file FILE] [--wait|--no-wait] ID...\n",
                     args[i].c_str());
        return 2;
      }
      ids.push_back(static_cast<LONG>(id));
    }
  }
  if (!haveUser || ids.empty()) {
    std::fprintf(stderr, "usage: corvexctl install --user USER [--password-file FILE] [--wait|--no-wait] ID...\n");
    return 2;
  }
  std::string password;
  if (!ReadPassword(passwordFile, "Password: ", password)) {
    std::fprintf(stderr, "corvexctl: install: cannot read the password file \"%s\"\n", passwordFile.c_str());
    return 2;
  }
  // The attempts the computers have now: one that has no newer attempt once the service has
  // answered was not queued.
  std::map<LONG, long long> before;
  if (follow)
    for (const auto& [id, attempt] : ReadInstallProgress(ids))
      before[id] = attempt.attempt;
  CComPtr<IKTComputerInstall> object = CreateObjectOnServer<IKTComputerInstall>(CLSID_KTComputerInstall);
  std::wstring widePassword = FromUtf8(password);
  LanternSecurity::Wipe(password);
  _bstr_t userText(FromUtf8(user).c_str());
  BSTR passwordText = SysAllocString(widePassword.c_str());
  LanternSecurity::Wipe(widePassword);
  const HRESULT hr = object->Install(static_cast<ULONG>(ids.size()), ids.data(), userText.GetBSTR(), passwordText);
  if (passwordText) {
    for (std::size_t i = 0; i < SysStringLen(passwordText); ++i)
      passwordText[i] = 0;
  }
  SysFreeString(passwordText);
  if (Report("install", hr))
    return 1;
  std::printf("install: %zu computer(s) handed to the service\n", ids.size());
  std::fflush(stdout);
  return follow ? FollowInstallsInterruptible(ids, before) : 0;
}

int InstallStop(const std::vector<std::string>& args)
{
  if (!args.empty()) {
    std::fprintf(stderr, "corvexctl: install-stop takes no arguments\n");
    return 2;
  }
  if (Report("install-stop", CreateObjectOnServer<IKTComputerInstall>(CLSID_KTComputerInstall)->Stop()))
    return 1;
  std::printf("install-stop: waiting computers removed from the queue\n");
  return 0;
}

}  // namespace corvexctl
