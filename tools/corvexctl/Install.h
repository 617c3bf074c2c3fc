#pragma once
#include <string>
#include <vector>

namespace corvexctl {

// install --user U [--password-file F] ID...: asks the service to install computers remotely.
// The password comes from the file's first line, else from a prompt (without echo on a
// terminal, else the first line of standard input); never from the command line.
int Install(const std::vector<std::string>& args);
// install-stop: empties the service's queue of computers waiting for their attempt.
int InstallStop(const std::vector<std::string>& args);

}  // namespace corvexctl
