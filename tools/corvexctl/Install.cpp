#include "tools/corvexctl/Install.h"

#include <cstdio>

#include "businesslogic/SystemEnviroment.h"
#include "idl/ManagementServiceInterfaces.h"
#include "platform/errortext/ErrorText.h"
#include "platform/text/Unicode.h"
#include "security/Wipe.h"
#include "tools/corvexctl/Arguments.h"
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

}  // namespace

int Install(const std::vector<std::string>& args)
{
  std::string user;
  std::string passwordFile;
  bool haveUser = false;
  std::vector<LONG> ids;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--user" && i + 1 < args.size()) {
      user = args[++i];
      haveUser = true;
    } else if (args[i] == "--password-file" && i + 1 < args.size()) {
      passwordFile = args[++i];
    } else {
      const long id = Number(args[i].c_str());
      if (id < 0 || id > 0x7FFFFFFF) {
        std::fprintf(stderr, "corvexctl: install: \"%s\" is not a computer ID\n"
                             "usage: corvexctl install --user USER [--password-file FILE] ID...\n",
                     args[i].c_str());
        return 2;
      }
      ids.push_back(static_cast<LONG>(id));
    }
  }
  if (!haveUser || ids.empty()) {
    std::fprintf(stderr, "usage: corvexctl install --user USER [--password-file FILE] ID...\n");
    return 2;
  }
  std::string password;
  if (!ReadPassword(passwordFile, "Password: ", password)) {
    std::fprintf(stderr, "corvexctl: install: cannot read the password file \"%s\"\n", passwordFile.c_str());
    return 2;
  }
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
  return 0;
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
