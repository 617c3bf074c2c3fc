#pragma once
// Who may enter the web console: a Linux account whose password PAM accepts and which belongs to
// the console administrators group, the group that guards the service's console socket.
#include <string>

namespace corvexweb {

// Authenticates and checks the account (pam_authenticate, pam_acct_mgmt) through the PAM
// service `service`. The password is handed only to PAM's conversation. On refusal `reason`
// holds PAM's text (never the password).
bool PamAuthenticate(const std::string& service, const std::string& user, const std::string& password, std::string& reason);

// Whether the account is a member of the group, as its primary group or a supplementary one.
// False for an unknown account or group.
bool IsGroupMember(const std::string& user, const std::string& group);

}  // namespace corvexweb
