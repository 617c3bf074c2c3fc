#include "tools/agent-sim/AgentSimOptions.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "messaging/Addresses.h"
#include "messaging/ProcessSupport.h"
#include "platform/text/Unicode.h"

namespace agentsim {

namespace {

bool OnOff(const std::string& option, const std::string& value)
{
  if (value == "on")
    return true;
  if (value == "off")
    return false;
  throw std::invalid_argument(option + ": expected on or off, got `" + value + "`");
}

std::vector<std::string> Split(const std::string& line, char separator)
{
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, separator))
    fields.push_back(field);
  if (!line.empty() && line.back() == separator)
    fields.emplace_back();
  return fields;
}

std::string Trim(const std::string& s)
{
  const auto begin = s.find_first_not_of(" \t\r");
  return begin == std::string::npos ? std::string() : s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

void CheckAddress(const std::string& address)
{
  if (!messaging::IsValidClientAddress(address + ".Agent"))
    throw std::invalid_argument("`" + address + "` cannot be a computer's address");
}

}  // namespace

std::uint32_t ParseIp(const std::string& text)
{
  const auto parts = Split(text, '.');
  if (parts.size() != 4)
    throw std::invalid_argument("not an IPv4 address: `" + text + "`");
  std::uint32_t ip = 0;
  for (const auto& part : parts)
    ip = (ip << 8) | static_cast<std::uint32_t>(messaging::ParseWholeNumber("IP address", part, 0, 255));
  return ip;
}

std::string FormatIp(std::uint32_t ip)
{
  return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 0xFF) + "." + std::to_string((ip >> 8) & 0xFF) +
         "." + std::to_string(ip & 0xFF);
}

AgentSimOptions ParseAgentSimArguments(const std::vector<std::string>& arguments)
{
  AgentSimOptions o;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= arguments.size())
        throw std::invalid_argument(a + " needs a value");
      return arguments[++i];
    };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--messaging") {
      o.messaging = value();
    } else if (a == "--enrol") {
      o.enrol = true;
    } else if (a == "--agents") {
      o.agents = static_cast<int>(messaging::ParseWholeNumber(a, value(), 1, 100000));
    } else if (a == "--prefix") {
      o.prefix = value();
    } else if (a == "--first") {
      o.first = static_cast<int>(messaging::ParseWholeNumber(a, value(), 0, 100000000));
    } else if (a == "--domain") {
      o.domain = FromUtf8(value());
    } else if (a == "--os") {
      o.operatingSystem = value();
    } else if (a == "--service-pack") {
      o.servicePack = value();
    } else if (a == "--ip") {
      o.ip = ParseIp(value());
    } else if (a == "--user") {
      o.user = FromUtf8(value());
    } else if (a == "--computers") {
      o.computersFile = value();
    } else if (a == "--dex") {
      o.components.dex = OnOff(a, value());
    } else if (a == "--alc") {
      o.components.alc = OnOff(a, value());
    } else if (a == "--tzlib") {
      o.components.tzlib = OnOff(a, value());
    } else if (a == "--documents") {
      o.documents = value();
    } else if (a == "--service") {
      o.service = value();
    } else if (a == "--event-rate") {
      const std::string& v = value();
      try {
        std::size_t used = 0;
        o.eventRate = std::stod(v, &used);
        if (used != v.size() || o.eventRate < 0 || o.eventRate > 10000)
          throw std::invalid_argument("range");
      } catch (const std::exception&) {
        throw std::invalid_argument("--event-rate: expected events per second from 0 to 10000, got `" + v + "`");
      }
    } else if (a == "--status-rate") {
      const std::string& v = value();
      try {
        std::size_t used = 0;
        o.statusRate = std::stod(v, &used);
        if (used != v.size() || o.statusRate < 0 || o.statusRate > 10000)
          throw std::invalid_argument("range");
      } catch (const std::exception&) {
        throw std::invalid_argument("--status-rate: expected status replies per second from 0 to 10000, got `" + v + "`");
      }
    } else if (a == "--stamp-sent") {
      o.stampSent = true;
    } else if (a == "--event-kind") {
      o.eventKind = value();
      EventKind kind;
      if (o.eventKind != "mixed" && !ParseEventKind(o.eventKind, kind))
        throw std::invalid_argument("--event-kind: expected virus, scan, error, update, virus-local, error-anonymous or mixed, got `" +
                                    o.eventKind + "`");
      o.eventMix = EventMix::Parse(o.eventKind);
    } else if (a == "--event-mix") {
      try {
        o.eventMix = EventMix::Parse(value());
      } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(std::string("--event-mix: ") + e.what());
      }
    } else if (a == "--event-ttl") {
      o.eventTtl = messaging::ParseWholeNumber(a, value(), 0, 0x7FFFFFFF);
    } else if (a == "--heartbeat") {
      o.heartbeatSeconds = messaging::ParseWholeNumber(a, value(), 1, 3600);
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--load") {
      o.loadSeconds = static_cast<int>(messaging::ParseWholeNumber(a, value(), 1, 3600));
    } else {
      throw std::invalid_argument("unknown option `" + a + "`");
    }
  }
  if (o.loadSeconds > 0 && o.agents < 2 && o.computersFile.empty())
    throw std::invalid_argument("--load needs at least two agents");
  return o;
}

std::vector<Computer> MakeComputers(const AgentSimOptions& o)
{
  std::vector<Computer> computers;
  Computer defaults;
  defaults.domain = o.domain;
  defaults.operatingSystem = o.operatingSystem;
  defaults.servicePack = o.servicePack;
  defaults.user = o.user;
  defaults.comment = L"Simulated computer";

  if (o.computersFile.empty()) {
    for (int i = 0; i < o.agents; ++i) {
      Computer c = defaults;
      c.name = o.prefix + std::to_string(o.first + i);
      c.address = c.name;
      c.ip = o.ip + static_cast<std::uint32_t>(i);
      CheckAddress(c.address);
      computers.push_back(std::move(c));
    }
    return computers;
  }

  std::ifstream in(o.computersFile);
  if (!in)
    throw std::invalid_argument("cannot read computers file " + o.computersFile.string());
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = Trim(line.substr(0, line.find('#')));
    if (line.empty())
      continue;
    auto fields = Split(line, ';');
    for (auto& f : fields)
      f = Trim(f);
    try {
      if (fields.size() > 6 || fields[0].empty())
        throw std::invalid_argument("expected name;domain;address;os;ip;user");
      Computer c = defaults;
      c.name = fields[0];
      c.address = fields.size() > 2 && !fields[2].empty() ? fields[2] : c.name;
      if (fields.size() > 1 && !fields[1].empty())
        c.domain = FromUtf8(fields[1]);
      if (fields.size() > 3 && !fields[3].empty())
        c.operatingSystem = fields[3];
      c.ip = fields.size() > 4 && !fields[4].empty() ? ParseIp(fields[4]) : o.ip + static_cast<std::uint32_t>(computers.size());
      if (fields.size() > 5 && !fields[5].empty())
        c.user = FromUtf8(fields[5]);
      CheckAddress(c.address);
      computers.push_back(std::move(c));
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(o.computersFile.string() + " line " + std::to_string(number) + ": " + e.what());
    }
  }
  if (computers.empty())
    throw std::invalid_argument("no computers in " + o.computersFile.string());
  return computers;
}

std::string AgentSimUsage()
{
  return "usage: corvex-agent-sim [--messaging DIR] [--enrol] [--agents N] [--prefix PC] [--first N]\n"
         "         [--domain CORP] [--os WINXP] [--service-pack TEXT] [--ip 10.0.0.1] [--user NAME]\n"
         "         [--computers FILE] [--dex on|off] [--alc on|off] [--tzlib on|off] [--documents DIR]\n"
         "         [--service ADDRESS] [--event-rate PER_SECOND] [--event-kind KIND|mixed]\n"
         "         [--event-mix KIND=WEIGHT,...] [--event-ttl SECONDS] [--heartbeat SECONDS] [--quiet]\n"
         "         [--status-rate PER_SECOND] [--stamp-sent] [--load SECONDS]\n"
         "Simulates managed computers whose agents log on to the messaging server as <address>.Agent,\n"
         "each with its own credential from the messaging directory (--messaging, else $CORVEX_MESSAGING,\n"
         "else /etc/corvex/messaging); --enrol enrols those not enrolled yet and has the server reload.\n"
         "Commands on standard input: event <address|all> <KIND>, logoff <address|all>, vanish,\n"
         "records, quit. logoff logs the agent off cleanly (the relay reports the logoff at once);\n"
         "vanish ends the simulator at once without logging off, as a computer that loses power: the\n"
         "server notices only when its pings go unanswered, and letters to its computers wait\n"
         "until their time to live runs out.\n"
         "Event kinds: virus (a virus found, user with domain), virus-local (the same, local user\n"
         "without domain), scan (scan complete), error (application error naming the component that\n"
         "raised it), error-anonymous (application error without entity information): all from the\n"
         "anti-virus product (DEX); update (an update failed) from the update component (ALC).\n"
         "--event-rate: scheduled events per second per computer (0, the default: only on command).\n"
         "--status-rate: unsolicited status replies per second per computer, as answers to a status\n"
         "request would be (0, the default: only when asked).\n"
         "--stamp-sent: scheduled events and status replies carry their send time (\"sent <ms since\n"
         "1970>\" in a virus event's infected item and in the computer's comment), so that a load\n"
         "harness can tell how long each took to be stored.\n"
         "--event-kind: the one kind scheduled events have, or mixed: every kind in turn.\n"
         "--event-mix: how many turns in a round each kind takes, e.g. virus=6,scan=2,error=1,update=1;\n"
         "a kind left out is never scheduled. Each computer goes through the round with the kinds its\n"
         "components raise.\n"
         "--documents DIR: files that replace built-in documents (dex-status.xml, dex-config.xml,\n"
         "alc-config.xml, tzlib-status.xml, event-virus.xml, event-scan.xml, event-error.xml,\n"
         "event-update.xml); each must read as its document.\n"
         "--load: every agent sends small envelopes to the next one for the given time, then the\n"
         "envelopes per second are reported.\n";
}

}  // namespace agentsim
