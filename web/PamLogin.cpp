#include "web/PamLogin.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace corvexweb {
namespace {

// Answers every prompt that hides its input with the password and every visible one with the
// account name; messages are ignored.
struct Credentials
{
  const std::string* user;
  const std::string* password;
};

int Converse(int count, const pam_message** messages, pam_response** responses, void* data)
{
  if (count <= 0 || count > PAM_MAX_NUM_MSG)
    return PAM_CONV_ERR;
  const auto* credentials = static_cast<const Credentials*>(data);
  auto* replies = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (!replies)
    return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const char* answer = nullptr;
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF: answer = credentials->password->c_str(); break;
      case PAM_PROMPT_ECHO_ON: answer = credentials->user->c_str(); break;
      default: break;
    }
    if (answer && !(replies[i].resp = ::strdup(answer))) {
      for (int j = 0; j < i; ++j)
        if (replies[j].resp) {
          ::explicit_bzero(replies[j].resp, std::strlen(replies[j].resp));
          std::free(replies[j].resp);
        }
      std::free(replies);
      return PAM_BUF_ERR;
    }
  }
  *responses = replies;  // PAM frees them
  return PAM_SUCCESS;
}

// PAM modules pause a few seconds after a failure; the server's own throttle limits guessing
// instead, so that failed log-ins do not hold the server's worker threads.
void NoDelay(int, unsigned, void*) {}

}  // namespace

bool PamAuthenticate(const std::string& service, const std::string& user, const std::string& password, std::string& reason)
{
  Credentials credentials{&user, &password};
  const pam_conv conversation{Converse, &credentials};
  pam_handle_t* handle = nullptr;
  int rc = ::pam_start(service.c_str(), user.c_str(), &conversation, &handle);
  if (rc == PAM_SUCCESS)
    rc = ::pam_set_item(handle, PAM_FAIL_DELAY, reinterpret_cast<const void*>(&NoDelay));
  if (rc == PAM_SUCCESS)
    rc = ::pam_authenticate(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (rc == PAM_SUCCESS)
    rc = ::pam_acct_mgmt(handle, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  reason = rc == PAM_SUCCESS ? "" : ::pam_strerror(handle, rc);
  if (handle)
    ::pam_end(handle, rc);
  return rc == PAM_SUCCESS;
}

bool IsGroupMember(const std::string& user, const std::string& group)
{
  std::vector<char> buffer(16384);
  passwd pw{};
  passwd* account = nullptr;
  if (::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &account) != 0 || !account)
    return false;
  ::group grEntry{};
  ::group* found = nullptr;
  std::vector<char> groupBuffer(65536);
  if (::getgrnam_r(group.c_str(), &grEntry, groupBuffer.data(), groupBuffer.size(), &found) != 0 || !found)
    return false;
  int count = 64;
  std::vector<gid_t> groups(count);
  if (::getgrouplist(user.c_str(), account->pw_gid, groups.data(), &count) < 0) {
    groups.resize(count);
    if (::getgrouplist(user.c_str(), account->pw_gid, groups.data(), &count) < 0)
      return false;
  }
  groups.resize(count);
  for (gid_t g : groups)
    if (g == found->gr_gid)
      return true;
  return false;
}

}  // namespace corvexweb
