// corvex-nats: makes and keeps a messaging location's configuration directory (the server's
// configuration, its certificate authority, the enrolled clients' keys); see messaging/Enrolment.h.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "messaging/Enrolment.h"
#include "messaging/ProcessSupport.h"
#include "tools/corvex-nats/Plan.h"

namespace {

namespace enrolment = messaging::enrolment;

const char* const kUsage =
  "usage: corvex-nats <command> DIR [arguments]\n"
  "\n"
  "Commands:\n"
  "  init DIR [--host H] [--listen A] [--port P] [--relay-name N] [--ping-interval S]\n"
  "           [--ping-max N] [--jetstream-dir D] [--max-memory-store BYTES]\n"
  "           [--max-file-store BYTES]\n"
  "      make the configuration directory: certificate authority, server certificate for H\n"
  "      (default: this machine's name), localhost and 127.0.0.1, the relay's users, the\n"
  "      server's configuration (listening on A, default 0.0.0.0, port P, default 4222) and\n"
  "      the clients' URL tls://H:P; JetStream keeps its data in D/jetstream (default\n"
  "      DIR/jetstream); BYTES may end in K, M or G\n"
  "  enrol DIR ADDRESS... [--from FILE] [--reload]\n"
  "      enrol clients in one change (all or none); prints \"ADDRESS PUBLIC-KEY SEED-FILE\" each;\n"
  "      --from adds the addresses in FILE (one a line; \"-\" for standard input)\n"
  "  remove DIR ADDRESS... [--from FILE] [--reload]\n"
  "      remove enrolled clients and their seed files (all or none)\n"
  "  list DIR      the register: \"ADDRESS ROLE PUBLIC-KEY\" per line\n"
  "  reload DIR    have the running server reread its configuration (SIGHUP)\n"
  "  check DIR     have nats-server check the configuration (nats-server -t)\n"
  "  plan FILE OUT  write a messaging directory for every server FILE describes under OUT:\n"
  "      the head office (one server, or a cluster of three or more) and its sites (leaf\n"
  "      nodes), under one certificate authority, with the links' credentials. FILE, one\n"
  "      server a line (\"-\" for standard input):\n"
  "        authority DIR      optional: an existing authority's ca.pem and ca-key.pem\n"
  "        head NAME host=H [listen=A] [port=4222] [cluster-port=6222] [leaf-port=7422] [store=D]\n"
  "        site NAME host=H [listen=A] [port=4222] [store=D]\n"
  "  share FROM TO... [--reload]\n"
  "      copy the clients (register, users, seeds) of one cluster node's directory into the\n"
  "      others' after an enrolment or removal there\n"
  "\n"
  "--reload has the running server reread the configuration after the change. Addresses that\n"
  "begin with '-' follow \"--\". nats-server is $CORVEX_NATS_SERVER, else /usr/sbin/nats-server,\n"
  "else the one on PATH.\n"
  "Exit status: 0 done, 1 refused or failed, 2 bad command line.\n";

struct UsageError : std::runtime_error
{
  using std::runtime_error::runtime_error;
};

std::string ServerProgram()
{
  if (const char* program = std::getenv("CORVEX_NATS_SERVER"); program && *program)
    return program;
  struct stat st {};
  if (::stat("/usr/sbin/nats-server", &st) == 0)
    return "/usr/sbin/nats-server";
  return "nats-server";
}

long Whole(const std::string& option, const std::string& text, long minimum, long maximum)
{
  try {
    return messaging::ParseWholeNumber(option, text, minimum, maximum);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
}

std::int64_t Bytes(const std::string& option, const std::string& text)
{
  std::string digits = text;
  std::int64_t unit = 1;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'K': case 'k': unit = 1LL << 10; break;
      case 'M': case 'm': unit = 1LL << 20; break;
      case 'G': case 'g': unit = 1LL << 30; break;
      default: break;
    }
    if (unit != 1)
      digits.pop_back();
  }
  return Whole(option, digits, 0, (1LL << 50) / unit) * unit;
}

// The words of a command after DIR: options it knows, the rest (and everything after "--")
// as operands.
struct CommandLine
{
  std::string dir;
  std::vector<std::string> operands;
  bool reload = false;
};

// Addresses one a line, for more of them than a command line holds.
void ReadAddresses(const std::string& command, const std::string& file, std::vector<std::string>& addresses)
{
  std::ifstream stream;
  if (file != "-") {
    stream.open(file);
    if (!stream)
      throw UsageError(command + ": cannot read " + file);
  }
  std::istream& in = file == "-" ? std::cin : stream;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!line.empty())
      addresses.push_back(line);
  }
}

// Enrol and remove take --reload and --from FILE; the other commands no options.
CommandLine Split(const std::string& command, const std::vector<std::string>& args, bool takesAddresses,
                  bool takesReload = false)
{
  CommandLine line;
  bool options = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options && a == "--") {
      options = false;
    } else if (options && (takesAddresses || takesReload) && a == "--reload") {
      line.reload = true;
    } else if (options && takesAddresses && a == "--from") {
      if (i + 1 >= args.size())
        throw UsageError(command + ": --from needs a file");
      ReadAddresses(command, args[++i], line.operands);
    } else if (options && a.size() > 1 && a[0] == '-') {
      throw UsageError(command + ": unknown option " + a);
    } else if (line.dir.empty()) {
      line.dir = a;
    } else {
      line.operands.push_back(a);
    }
  }
  if (line.dir.empty())
    throw UsageError(command + ": the directory is missing");
  return line;
}

int Init(const std::vector<std::string>& args)
{
  enrolment::ServerSettings settings;
  std::string dir;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      if (i + 1 >= args.size())
        throw UsageError("init: " + a + " needs a value");
      const std::string& v = args[++i];
      if (a == "--host")
        settings.host = v;
      else if (a == "--listen")
        settings.listen = v;
      else if (a == "--port")
        settings.port = static_cast<int>(Whole(a, v, 1, 65535));
      else if (a == "--relay-name")
        settings.relayName = v;
      else if (a == "--ping-interval")
        settings.pingIntervalSeconds = static_cast<int>(Whole(a, v, 1, 3600));
      else if (a == "--ping-max")
        settings.pingMax = static_cast<int>(Whole(a, v, 1, 100));
      else if (a == "--jetstream-dir")
        settings.jetStreamDir = v;
      else if (a == "--max-memory-store")
        settings.maxMemoryStore = Bytes(a, v);
      else if (a == "--max-file-store")
        settings.maxFileStore = Bytes(a, v);
      else
        throw UsageError("init: unknown option " + a);
    } else if (dir.empty()) {
      dir = a;
    } else {
      throw UsageError("init: one directory only, not also \"" + a + "\"");
    }
  }
  if (dir.empty())
    throw UsageError("init: the directory is missing");
  enrolment::Init(dir, settings);
  const auto entries = enrolment::List(dir);
  std::printf("initialised %s\n", dir.c_str());
  for (const auto& e : entries)
    std::printf("%s %s %s\n", e.address.c_str(), e.role.c_str(), e.publicKey.c_str());
  return 0;
}

int ReloadAfter(const CommandLine& line)
{
  if (!line.reload)
    return 0;
  try {
    enrolment::Reload(line.dir);
  } catch (const enrolment::EnrolmentError& e) {
    std::fprintf(stderr, "corvex-nats: the change is written, but %s\n", e.what());
    return 1;
  }
  return 0;
}

int Enrol(const std::vector<std::string>& args)
{
  const CommandLine line = Split("enrol", args, true);
  if (line.operands.empty())
    throw UsageError("enrol: no address given");
  for (const auto& c : enrolment::Enrol(line.dir, line.operands))
    std::printf("%s %s %s\n", c.address.c_str(), c.publicKey.c_str(), c.seedFile.c_str());
  return ReloadAfter(line);
}

int Remove(const std::vector<std::string>& args)
{
  const CommandLine line = Split("remove", args, true);
  if (line.operands.empty())
    throw UsageError("remove: no address given");
  enrolment::Remove(line.dir, line.operands);
  std::printf("removed %zu client(s)\n", line.operands.size());
  return ReloadAfter(line);
}

int List(const std::vector<std::string>& args)
{
  const CommandLine line = Split("list", args, false);
  if (!line.operands.empty())
    throw UsageError("list: takes the directory only");
  for (const auto& e : enrolment::List(line.dir))
    std::printf("%s %s %s\n", e.address.c_str(), e.role.c_str(), e.publicKey.c_str());
  return 0;
}

int Reload(const std::vector<std::string>& args)
{
  const CommandLine line = Split("reload", args, false);
  if (!line.operands.empty())
    throw UsageError("reload: takes the directory only");
  enrolment::Reload(line.dir);
  std::printf("asked the server to reload its configuration\n");
  return 0;
}

int Check(const std::vector<std::string>& args)
{
  const CommandLine line = Split("check", args, false);
  if (!line.operands.empty())
    throw UsageError("check: takes the directory only");
  std::string output;
  const bool valid = enrolment::Check(line.dir, ServerProgram(), output);
  std::fputs(output.c_str(), valid ? stdout : stderr);
  return valid ? 0 : 1;
}

int Plan(const std::vector<std::string>& args)
{
  if (args.size() != 2)
    throw UsageError("plan: takes the description's file and the output directory");
  std::string text;
  {
    std::ifstream file;
    if (args[0] != "-") {
      file.open(args[0], std::ios::binary);
      if (!file)
        throw UsageError("plan: cannot read " + args[0]);
    }
    std::istream& in = args[0] == "-" ? std::cin : file;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  corvexnats::Plan plan;
  try {
    plan = corvexnats::ParsePlan(text);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "corvex-nats: %s: %s\n", args[0].c_str(), e.what());
    return 1;
  }
  for (const std::string& dir : corvexnats::WritePlan(plan, args[1]))
    std::printf("%s\n", dir.c_str());
  return 0;
}

int Share(const std::vector<std::string>& args)
{
  const CommandLine line = Split("share", args, false, true);
  if (line.operands.empty())
    throw UsageError("share: no directory to copy into");
  for (const std::string& to : line.operands)
    corvexnats::ShareClients(line.dir, to);
  int status = 0;
  for (const std::string& to : line.operands) {
    CommandLine node = line;
    node.dir = to;
    status |= ReloadAfter(node);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv)
{
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  try {
    if (command == "init")
      return Init(args);
    if (command == "enrol")
      return Enrol(args);
    if (command == "remove")
      return Remove(args);
    if (command == "list")
      return List(args);
    if (command == "reload")
      return Reload(args);
    if (command == "check")
      return Check(args);
    if (command == "plan")
      return Plan(args);
    if (command == "share")
      return Share(args);
    std::fprintf(stderr, "corvex-nats: unknown command \"%s\"\n\n%s", command.c_str(), kUsage);
    return 2;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "corvex-nats: %s\n(corvex-nats --help for the usage)\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "corvex-nats: %s\n", e.what());
    return 1;
  }
}
