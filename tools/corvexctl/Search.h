#pragma once
// corvexctl's network search commands: they call the service's computer search object over the
// console endpoint; progress comes back through a listener this process serves.
#include <string>
#include <vector>

namespace corvexctl {

// "domains": the network's domains and workgroups as the service sees them.
int Domains(const std::vector<std::string>& args);
// "search --user U [--password-file F] DOMAIN...": searches the domains, showing found, queried
// and remaining computers until the search ends (Ctrl-C stops it). The account is used for
// computers that refuse an anonymous query; its password never travels on the command line.
int Search(const std::vector<std::string>& args);
// "search-stop": stops the running search; computers already found are still queried.
int SearchStop(const std::vector<std::string>& args);

}  // namespace corvexctl
