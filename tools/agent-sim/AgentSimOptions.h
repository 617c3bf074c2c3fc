#pragma once
// corvex-agent-sim's command line and the computers it simulates.
#include <filesystem>
#include <string>
#include <vector>

#include "tools/agent-sim/EventMix.h"
#include "tools/agent-sim/SimulatedAgent.h"

namespace agentsim {

struct AgentSimOptions
{
  std::string messaging;  // the messaging directory; empty: $CORVEX_MESSAGING, else /etc/corvex/messaging
  bool enrol = false;     // enrol the simulated agents that are not enrolled yet
  int agents = 1;
  std::string prefix = "PC";
  int first = 1;
  std::wstring domain = L"CORP";
  std::string operatingSystem = "WINXP";
  std::string servicePack = "Service Pack 2";
  std::uint32_t ip = 0x0A000001;  // 10.0.0.1
  std::wstring user = L"jsmith";
  std::filesystem::path computersFile;
  Components components;
  std::filesystem::path documents;
  std::string service = "PTLManagementService";
  double eventRate = 0;  // events per second per agent
  double statusRate = 0;  // unsolicited status replies per second per agent
  bool stampSent = false;  // events and status replies carry their send time
  std::string eventKind = "mixed";
  EventMix eventMix;  // what the scheduled events are: --event-kind or --event-mix
  long eventTtl = 3600;
  long heartbeatSeconds = 10;
  bool quiet = false;
  int loadSeconds = 0;  // > 0: load mode
  bool help = false;
};

// std::invalid_argument naming the bad option or value.
AgentSimOptions ParseAgentSimArguments(const std::vector<std::string>& arguments);
std::string AgentSimUsage();

// The computers to simulate: from the computers file when given (lines
// "name;domain;address;os;ip;user", '#' comments, empty fields take the defaults), else
// <prefix><first> ... with consecutive IP addresses. std::invalid_argument on a bad line.
std::vector<Computer> MakeComputers(const AgentSimOptions& options);

std::uint32_t ParseIp(const std::string& text);  // std::invalid_argument when malformed
std::string FormatIp(std::uint32_t ip);

}  // namespace agentsim
