// corvexctl: the console's command line. It reaches the management service through the console
// endpoint, as consoles do, and reads the database through the business layer.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "businesslogic/Clocks.h"
#include "businesslogic/ServiceOrLocalClocksBroker.h"
#include "platform/com/ComError.h"
#include "platform/sync/Sync.h"
#include "platform/trace/Trace.h"
#include "tools/corvexctl/Actions.h"
#include "tools/corvexctl/Agents.h"
#include "tools/corvexctl/Arguments.h"
#include "tools/corvexctl/Alerts.h"
#include "tools/corvexctl/Audit.h"
#include "tools/corvexctl/Computers.h"
#include "tools/corvexctl/Groups.h"
#include "tools/corvexctl/Health.h"
#include "tools/corvexctl/Install.h"
#include "tools/corvexctl/ReplicaRead.h"
#include "tools/corvexctl/Search.h"

namespace corvexctl {
namespace {

const char* const kUsage =
  "usage: corvexctl <command> [arguments]\n"
  "\n"
  "Commands:\n"
  "  clocks                      print the service's change clocks\n"
  "  clocks tick N               tick clock N (0 group tree, 1 computer state, 2 group membership)\n"
  "  clocks watch [MS [COUNT]]   poll every MS milliseconds (default 1000) and print each change,\n"
  "                              stopping after COUNT changes when given\n"
  "  computers [--limit N] [--group ID|unassigned] [--connected] [--format table|tsv|json]\n"
  "                              list the computers with their main details, by name, read in\n"
  "                              one call: at most N, the group's own members, connected only\n"
  "  computer ID                 show everything the database holds about computer ID\n"
  "  refresh ID...               ask the computers for their status now\n"
  "  update-now ID...|--group G  have the computers update now, one per interval\n"
  "  central-config on|off ID... have the computers apply (on) or override (off) the central\n"
  "                              configuration\n"
  "  send-config au|dex ID...|--group G\n"
  "                              send each computer its group's update (au) or anti-virus (dex)\n"
  "                              configuration\n"
  "  groups                      the group tree, indented, with the computers in each group\n"
  "  group create NAME [PARENT]  create a group under PARENT (a group ID or \"root\", the default)\n"
  "  group rename ID NAME        rename a group\n"
  "  group move ID PARENT        move a group under PARENT (a group ID or \"root\")\n"
  "  group delete ID             delete a group without subgroups; its computers become unassigned\n"
  "  group add-computer ID COMPUTER  put computer COMPUTER into group ID\n"
  "  alerts [--computer ID]      alerts of every computer (or one), newest first\n"
  "  alert ID                    one alert's details with its text\n"
  "  purge-settings [show]       the alert purge settings and the report company name\n"
  "  purge-settings set [--method M] [--months N] [--maximum K] [--company NAME]\n"
  "                              change them (method 0 none, 1 by age, 2 by count, 3 both);\n"
  "                              the database purges at once\n"
  "  domains                     list the network's domains and workgroups\n"
  "  search --user U [--password-file F] DOMAIN...\n"
  "                              search the domains for computers, with live progress; the\n"
  "                              account (asked for when no file is given) is used for computers\n"
  "                              that refuse an anonymous query; --user \"\" queries anonymously\n"
  "  search-stop                 stop the running search\n"
  "  install --user USER [--password-file FILE] [--wait|--no-wait] ID...\n"
  "                              install the managed-computer software on computers ID... under\n"
  "                              the account USER (domain\\user or user); the password is the\n"
  "                              file's first line, else asked for. On a terminal (or with\n"
  "                              --wait) follows each computer's stages to its outcome; Ctrl-C\n"
  "                              stops watching, not the installs\n"
  "  install progress [--wait] [ID...]\n"
  "                              each computer's latest install attempt (none given: the 1000\n"
  "                              that moved last in the last 24 hours), followed to the end\n"
  "                              with --wait\n"
  "  install-stop                drop the computers still waiting for their install attempt\n"
  "  install trust HOST [--fingerprint SHA256:...]\n"
  "                              record HOST's SSH host key for installs, once its fingerprint is\n"
  "                              confirmed (given, or at the terminal); a recorded key is never\n"
  "                              replaced\n"
  "  install trust --import FILE take the plain entries of an existing known_hosts file\n"
  "  agent enrol [--messaging DIR] [--reload] COMPUTER...\n"
  "                              enrol the computers' agents (address COMPUTER.Agent) at the\n"
  "                              messaging location DIR and print what each agent needs; with\n"
  "                              --reload the running messaging server takes them at once\n"
  "  agent remove [--messaging DIR] [--reload] COMPUTER...\n"
  "                              remove enrolled agents: they cannot connect any more\n"
  "  agent list [--messaging DIR] the enrolled agents' computers and public keys\n"
  "  audit [--since T] [--until T] [--account A] [--action X] [--limit N] [--csv]\n"
  "                              the audit trail of both consoles' changes, newest first: at\n"
  "                              most N entries (default 100, 0 for all), from time T (UTC,\n"
  "                              YYYY-MM-DD[THH:MM[:SS]]), one account, actions beginning with X;\n"
  "                              --csv for a spreadsheet. Every change corvexctl makes is recorded\n"
  "  health [--max-age S] [--timeout MS]\n"
  "                              one line per part of the service (database and its schema,\n"
  "                              messaging, processing queue, last pass, install and discovery\n"
  "                              threads); exit status 1 when one is not well, for monitoring.\n"
  "                              A message waiting more than S seconds (default 300) is not well\n"
  "  help                        this text\n"
  "\n"
  "The service is found through the registry ($CORVEX_REGISTRY): \"ServerLocation\" under\n"
  "HKLM\\Software\\Corvex\\KT\\Management Tools, and the console endpoint under its\n"
  "\"Management Service\" subkey. The database is \"DatabaseName\" on \"ServerLocation\" and\n"
  "\"DatabaseInstance\" under the same key. The messaging location is \"MessagingDirectory\" under\n"
  "the same key (default /etc/corvex/messaging).\n";

const char* ClockName(VRN_Clock id)
{
  switch (id) {
    case 0: return "group tree";
    case 1: return "computer state";
    case 2: return "group membership";
    default: return "unknown";
  }
}

int Clocks(const std::vector<std::string>& args)
{
  vrn::CClocks clocks;
  if (args.empty()) {
    for (VRN_Clock id = 0; id < 3; ++id)
      std::printf("clock %d (%s): %u\n", id, ClockName(id), clocks.GetClock(id).Value());
    return 0;
  }
  if (args[0] == "tick" && args.size() == 2) {
    const long id = Number(args[1].c_str());
    if (id < 0 || id > 2) {
      std::fprintf(stderr, "corvexctl: clocks tick: the clock is 0, 1 or 2, not \"%s\"\n", args[1].c_str());
      return 2;
    }
    clocks.GetClock(static_cast<VRN_Clock>(id)).Tick();
    clocks.Syncronise();
    std::printf("clock %ld (%s): %u\n", id, ClockName(static_cast<VRN_Clock>(id)), clocks.GetClock(static_cast<VRN_Clock>(id)).Value());
    return 0;
  }
  if (args[0] == "watch" && args.size() <= 3) {
    const long interval = args.size() > 1 ? Number(args[1].c_str()) : 1000;
    const long count = args.size() > 2 ? Number(args[2].c_str()) : 0;
    if (interval <= 0 || count < 0) {
      std::fprintf(stderr, "corvexctl: clocks watch: MS and COUNT are positive whole numbers\n");
      return 2;
    }
    long changes = 0;
    for (;;) {
      Sleep(static_cast<DWORD>(interval));
      clocks.Syncronise();
      for (VRN_Clock id = 0; id < 3; ++id) {
        const vrn::CClock& c = clocks.GetClock(id);
        if (c.WasFired()) {
          std::printf("clock %d (%s) changed: %u\n", id, ClockName(id), c.Value());
          std::fflush(stdout);
          if (count && ++changes >= count)
            return 0;
        }
      }
    }
  }
  std::fputs(corvexctl::kUsage, stderr);
  return 2;
}

int Main(std::vector<std::string> args)
{
  if (args.empty() || args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
    std::fputs(corvexctl::kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  // Errors reach the user as one message each; traces only when asked for (below every level).
  if (!std::getenv("CORVEX_TRACE_LEVEL"))
    trace::SetLevel(-1);
  try {
    // The messaging location is files on this machine: no service is needed.
    if (args[0] == "agent")
      return corvexctl::Agent(std::vector<std::string>(args.begin() + 1, args.end()));
    if (args[0] == "health")
      return corvexctl::Health(std::vector<std::string>(args.begin() + 1, args.end()));
    RegisterManagementServiceMarshallers();
    const std::string command = args[0];
    args.erase(args.begin());
    // The database commands work whether or not the service runs; the rest need it.
    const bool databaseCommand = command == "groups" || command == "group" || command == "alerts" || command == "alert" ||
                                 command == "purge-settings" || command == "audit";
    if (databaseCommand)
      CServerBrokerRegistrar::SetBroker(vrn::CServiceOrLocalClocksBroker());
    else
      CServerBrokerRegistrar::SetBroker(vrn::CManagementServiceClientBroker());
    if (command == "clocks")
      return corvexctl::Clocks(args);
    if (command == "computers")
      return corvexctl::ReadFromReplica([&] { return corvexctl::Computers(args); });
    if (command == "computer")
      return corvexctl::ReadFromReplica([&] { return corvexctl::Computer(args); });
    if (command == "refresh")
      return corvexctl::Refresh(args);
    if (command == "update-now")
      return corvexctl::UpdateNow(args);
    if (command == "central-config")
      return corvexctl::CentralConfig(args);
    if (command == "send-config")
      return corvexctl::SendConfig(args);
    if (command == "groups")
      return corvexctl::ReadFromReplica([&] { return corvexctl::Groups(args); });
    if (command == "group")
      return corvexctl::Group(args);
    if (command == "alerts")
      return corvexctl::ReadFromReplica([&] { return corvexctl::Alerts(args); });
    if (command == "alert")
      return corvexctl::ReadFromReplica([&] { return corvexctl::Alert(args); });
    if (command == "purge-settings")
      return corvexctl::PurgeSettings(args);
    if (command == "audit")
      return corvexctl::Audit(args);
    if (command == "domains")
      return corvexctl::Domains(args);
    if (command == "search")
      return corvexctl::Search(args);
    if (command == "search-stop")
      return corvexctl::SearchStop(args);
    if (command == "install")
      return corvexctl::Install(args);
    if (command == "install-stop")
      return corvexctl::InstallStop(args);
    std::fprintf(stderr, "corvexctl: unknown command \"%s\"\n\n%s", command.c_str(), corvexctl::kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvexctl: %s\n", e.what());
    corvexctl::NoteFailure(e.what());
    return 1;
  } catch (const _com_error& e) {
    std::fprintf(stderr, "corvexctl: %s\n", e.ErrorMessage());
    corvexctl::NoteFailure(e.ErrorMessage());
    return 1;
  }
}

}  // namespace
}  // namespace corvexctl

int main(int argc, char** argv)
{
  const std::vector<std::string> args(argv + 1, argv + argc);
  // Every change is recorded with its outcome, whoever runs it and however it ends.
  if (const auto change = corvexctl::ChangeOf(args))
    return corvexctl::Audited(*change, [&] { return corvexctl::Main(args); });
  return corvexctl::Main(args);
}
