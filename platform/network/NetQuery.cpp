// corvex-netquery: one query of one server, in a process of its own, for platform/network.
//
//   corvex-netquery connect|info SERVER TIMEOUT_MS [CLIENT_CONFIGURATION]
//
// The credentials come on descriptor 3 as "user\0password\0" up to end of file (never on the
// command line, where any user could read them); the answer goes back on the same descriptor as
// fields each ended by a NUL:
//   connect: 1 when connected, else 0 and the errno of the failure (0 when Samba gave none)
//   info:    libnetapi's status, and on success the platform, name, major and minor version,
//            type bits, whether a comment was given (0/1) and the comment.
// Samba prints its own diagnostics on the standard outputs, which the caller discards.
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/network/SambaCalls.h"

namespace {

constexpr int kChannel = 3;

bool ReadAll(int fd, std::string& text)
{
  char buf[512];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0)
      return true;
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > 65536)
      return false;
  }
}

bool WriteAll(int fd, const std::string& text)
{
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void Field(std::string& out, const std::string& value)
{
  out += value;
  out += '\0';
}

}  // namespace

int main(int argc, char** argv)
{
  using namespace network::samba_calls;
  if (argc < 4)
    return 2;
  const std::string operation = argv[1];
  const std::string server = argv[2];
  Settings settings;
  settings.timeoutMs = std::atoi(argv[3]);
  if (settings.timeoutMs <= 0)
    return 2;
  if (argc > 4)
    settings.clientConfiguration = argv[4];

  std::string input;
  if (!ReadAll(kChannel, input))
    return 3;
  const std::size_t userEnd = input.find('\0');
  const std::size_t passwordEnd = userEnd == std::string::npos ? std::string::npos : input.find('\0', userEnd + 1);
  if (passwordEnd == std::string::npos)
    return 3;
  Credentials creds(input.substr(0, userEnd), input.substr(userEnd + 1, passwordEnd - userEnd - 1));
  explicit_bzero(input.data(), input.size());

  std::string out;
  if (operation == "connect") {
    int error = 0;
    Field(out, Connect(settings, server, creds, error) ? "1" : "0");
    Field(out, std::to_string(error));
  } else if (operation == "info") {
    ServerInfo info;
    const DWORD status = ServerInfo101(server, creds, info);
    Field(out, std::to_string(status));
    if (status == 0) {
      Field(out, std::to_string(info.platformId));
      Field(out, info.name);
      Field(out, std::to_string(info.versionMajor));
      Field(out, std::to_string(info.versionMinor));
      Field(out, std::to_string(info.type));
      Field(out, info.hasComment ? "1" : "0");
      Field(out, info.comment);
    }
  } else {
    return 2;
  }
  return WriteAll(kChannel, out) ? 0 : 4;
}
