#include "platform/remotetask/SshConnection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libssh/libssh.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/remotetask/TraceComponent.h"
#include "platform/text/Unicode.h"
#include "platform/trace/Trace.h"

namespace remotetask {

namespace {

HRESULT Win32(LONG v) { return HRESULT_FROM_WIN32(v); }

// Connects a TCP socket within the time-out. Gives the socket, or -1 with the Win32 value.
int ConnectTcp(const std::string& host, unsigned port, unsigned timeoutSeconds, LONG& error, bool* refused = nullptr)
{
  if (refused)
    *refused = false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    error = ERROR_BAD_NETPATH;
    return -1;
  }
  error = ERROR_BAD_NETPATH;
  int fd = -1;
  for (addrinfo* a = found; a; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0)
      continue;
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      rc = ::poll(&p, 1, static_cast<int>(timeoutSeconds * 1000));
      if (rc == 0) {
        error = RPC_S_SERVER_UNAVAILABLE;  // a time-out
        ::close(fd);
        fd = -1;
        continue;
      }
      int so = 0;
      socklen_t len = sizeof so;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so, &len);
      rc = so == 0 && rc > 0 ? 0 : -1;
      errno = so;
    }
    if (rc == 0) {
      // libssh works the socket in blocking mode with its own time-out.
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      break;
    }
    error = errno == ETIMEDOUT ? RPC_S_SERVER_UNAVAILABLE : ERROR_BAD_NETPATH;
    if (refused && errno == ECONNREFUSED)
      *refused = true;
    ::close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  return fd;
}

std::string Fingerprint(ssh_session session)
{
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(session, &key) != SSH_OK)
    return "?";
  unsigned char* hash = nullptr;
  size_t len = 0;
  std::string text = "?";
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &len) == 0) {
    if (char* f = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, len)) {
      text = std::string(ssh_key_type_to_char(ssh_key_type(key))) + " " + f;
      ssh_string_free_char(f);
    }
    ssh_clean_pubkey_hash(&hash);
  }
  ssh_key_free(key);
  return text;
}

void Wipe(std::string& s)
{
  if (!s.empty())
    explicit_bzero(s.data(), s.size());
  s.clear();
}

}  // namespace

std::string HostOf(const std::wstring& computer)
{
  std::size_t skip = 0;
  while (skip < computer.size() && computer[skip] == L'\\')
    ++skip;
  return ToUtf8(computer.substr(skip));
}

SshConnection::SshConnection(Settings settings) : m_settings(std::move(settings)) {}

SshConnection::~SshConnection()
{
  if (m_session) {
    ssh_disconnect(m_session);
    ssh_free(m_session);
  }
}

HRESULT SshConnection::ProbePort(const std::wstring& computer, const Settings& settings, bool& listening)
{
  listening = false;
  LONG error = 0;
  bool refused = false;
  const int fd = ConnectTcp(HostOf(computer), settings.port, settings.timeoutSeconds, error, &refused);
  if (fd >= 0) {
    ::close(fd);
    listening = true;
    return S_OK;
  }
  if (refused)
    return S_OK;  // the computer answers; nothing listens
  return Win32(error);
}

HRESULT SshConnection::Handshake(const std::wstring& computer)
{
  m_host = HostOf(computer);
  m_fingerprint.clear();
  if (m_host.empty())
    return Win32(ERROR_BAD_NETPATH);
  LONG error = 0;
  const int fd = ConnectTcp(m_host, m_settings.port, m_settings.timeoutSeconds, error);
  if (fd < 0) {
    trace::Trace(TRACE_REMOTETASK, 1, "Cannot reach %hs port %u: %ld", m_host, m_settings.port, static_cast<long>(error));
    return Win32(error);
  }
  m_session = ssh_new();
  if (!m_session) {
    ::close(fd);
    return E_OUTOFMEMORY;
  }
  int port = static_cast<int>(m_settings.port);
  long timeout = static_cast<long>(m_settings.timeoutSeconds);
  int nodelay = 1;
  bool processConfig = false;
  socket_t sock = fd;  // libssh owns it from here and closes it with the session
  ssh_options_set(m_session, SSH_OPTIONS_FD, &sock);
  ssh_options_set(m_session, SSH_OPTIONS_HOST, m_host.c_str());
  ssh_options_set(m_session, SSH_OPTIONS_PORT, &port);
  ssh_options_set(m_session, SSH_OPTIONS_TIMEOUT, &timeout);
  ssh_options_set(m_session, SSH_OPTIONS_NODELAY, &nodelay);
  ssh_options_set(m_session, SSH_OPTIONS_PROCESS_CONFIG, &processConfig);
  ssh_options_set(m_session, SSH_OPTIONS_KNOWNHOSTS, m_settings.knownHostsFile.c_str());
  ssh_options_set(m_session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
  if (ssh_connect(m_session) != SSH_OK) {
    trace::Trace(TRACE_REMOTETASK, 1, "SSH handshake with %hs failed: %hs", m_host, ssh_get_error(m_session));
    return Win32(RPC_S_SERVER_UNAVAILABLE);
  }
  m_fingerprint = Fingerprint(m_session);
  return S_OK;
}

HRESULT SshConnection::Connect(const std::wstring& computer)
{
  const HRESULT hr = Handshake(computer);
  if (FAILED(hr))
    return hr;
  switch (ssh_session_is_known_server(m_session)) {
    case SSH_KNOWN_HOSTS_OK:
      trace::Trace(TRACE_REMOTETASK, 3, "Host key of %hs is the recorded one: %hs", m_host, m_fingerprint);
      return S_OK;
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
      if (!m_settings.acceptNewHostKeys) {
        trace::Trace(TRACE_REMOTETASK, 0,
                     "Host key of %hs is not trusted: %hs. Check it against the computer's own key and record it with "
                     "\"corvexctl install trust %hs\"",
                     m_host, m_fingerprint, m_host);
        return HOST_KEY_NOT_TRUSTED;
      }
      if (ssh_session_update_known_hosts(m_session) != SSH_OK) {
        trace::Trace(TRACE_REMOTETASK, 0, "Cannot record the host key of %hs in %hs: %hs", m_host,
                     m_settings.knownHostsFile, ssh_get_error(m_session));
        return E_ACCESSDENIED;
      }
      trace::Trace(TRACE_REMOTETASK, 1, "Recorded new host key of %hs: %hs", m_host, m_fingerprint);
      return S_OK;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
      trace::Trace(TRACE_REMOTETASK, 0, "Host key of %hs differs from the recorded one, refused: %hs", m_host, m_fingerprint);
      return E_ACCESSDENIED;
    default:
      trace::Trace(TRACE_REMOTETASK, 0, "Cannot check the host key of %hs against %hs", m_host, m_settings.knownHostsFile);
      return E_ACCESSDENIED;
  }
}

HRESULT TrustHostKey(const std::wstring& computer, const Settings& settings, const std::string& expectedFingerprint,
                     std::string& fingerprint, bool& recorded)
{
  recorded = false;
  SshConnection connection(settings);
  HRESULT hr = connection.Handshake(computer);
  fingerprint = connection.m_fingerprint;
  if (FAILED(hr))
    return hr;
  switch (ssh_session_is_known_server(connection.m_session)) {
    case SSH_KNOWN_HOSTS_OK:
      return S_OK;
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
      break;
    default:
      // A recorded key is replaced only by removing it from the file by hand.
      return E_ACCESSDENIED;
  }
  if (!expectedFingerprint.empty() && !SameFingerprint(expectedFingerprint, fingerprint))
    return HOST_KEY_NOT_TRUSTED;
  if (ssh_session_update_known_hosts(connection.m_session) != SSH_OK)
    return E_ACCESSDENIED;
  recorded = true;
  return S_OK;
}

bool SameFingerprint(const std::string& given, const std::string& presented)
{
  // "ssh-ed25519 SHA256:abc", "SHA256:abc" and "abc" all name the same key.
  auto hashOf = [](const std::string& f) {
    std::string h = f.substr(f.find_last_of(' ') == std::string::npos ? 0 : f.find_last_of(' ') + 1);
    if (h.rfind("SHA256:", 0) == 0)
      h = h.substr(7);
    while (!h.empty() && h.back() == '=')
      h.pop_back();
    return h;
  };
  const std::string a = hashOf(given);
  return !a.empty() && a == hashOf(presented);
}

HRESULT SshConnection::Logon(const std::wstring& user, const std::wstring& password)
{
  if (!m_session)
    return Win32(RPC_S_SERVER_UNAVAILABLE);
  const std::string name = ToUtf8(user);
  ssh_options_set(m_session, SSH_OPTIONS_USER, name.c_str());
  int rc = ssh_userauth_none(m_session, nullptr);
  if (rc == SSH_AUTH_SUCCESS && !password.empty())
    return Win32(ERROR_LOGON_FAILURE);  // the server let anybody in: not the account the console named
  if (rc == SSH_AUTH_ERROR)
    return Win32(RPC_S_SERVER_UNAVAILABLE);
  if (rc != SSH_AUTH_SUCCESS) {
    if (!(ssh_userauth_list(m_session, nullptr) & SSH_AUTH_METHOD_PASSWORD))
      return Win32(ERROR_LOGON_TYPE_NOT_GRANTED);
    std::string secret = ToUtf8(password);
    rc = ssh_userauth_password(m_session, nullptr, secret.c_str());
    Wipe(secret);
  }
  switch (rc) {
    case SSH_AUTH_SUCCESS: break;
    case SSH_AUTH_DENIED: return Win32(ERROR_LOGON_FAILURE);
    case SSH_AUTH_PARTIAL: return Win32(ERROR_LOGON_TYPE_NOT_GRANTED);
    case SSH_AUTH_AGAIN: return Win32(ERROR_TIMEOUT);
    default:
      // The server hung up during the logon: what it does for an expired account.
      trace::Trace(TRACE_REMOTETASK, 1, "Logon of %hs on %hs ended: %hs", name, m_host, ssh_get_error(m_session));
      return Win32(ERROR_ACCOUNT_RESTRICTION);
  }
  m_authenticated = true;
  ExecResult probe;
  const HRESULT hr = Exec("exit 0\n", probe);
  if (FAILED(hr))
    return hr;
  if (probe.exitStatus != 0) {
    // Accepted, but the account must change its password or may not run a shell.
    trace::Trace(TRACE_REMOTETASK, 1, "Account %hs on %hs cannot run tasks (%d): %hs", name, m_host, probe.exitStatus,
                 probe.err);
    m_authenticated = false;
    return Win32(ERROR_ACCOUNT_RESTRICTION);
  }
  return S_OK;
}

HRESULT SshConnection::Exec(const std::string& script, ExecResult& result)
{
  result = ExecResult{};
  if (!m_session || !m_authenticated)
    return Win32(RPC_S_SERVER_UNAVAILABLE);
  ssh_channel channel = ssh_channel_new(m_session);
  if (!channel)
    return Win32(RPC_S_SERVER_UNAVAILABLE);
  HRESULT hr = S_OK;
  const int timeoutMs = static_cast<int>(m_settings.timeoutSeconds * 1000);
  if (ssh_channel_open_session(channel) != SSH_OK || ssh_channel_request_exec(channel, kExecCommand) != SSH_OK ||
      ssh_channel_write(channel, script.data(), static_cast<uint32_t>(script.size())) != static_cast<int>(script.size()) ||
      ssh_channel_send_eof(channel) != SSH_OK) {
    trace::Trace(TRACE_REMOTETASK, 1, "Exec on %hs failed: %hs", m_host, ssh_get_error(m_session));
    hr = Win32(RPC_S_SERVER_UNAVAILABLE);
  } else {
    char buf[4096];
    for (int stream = 0; stream < 2 && SUCCEEDED(hr); ++stream) {
      std::string& into = stream == 0 ? result.out : result.err;
      for (;;) {
        const int n = ssh_channel_read_timeout(channel, buf, sizeof buf, stream, timeoutMs);
        if (n > 0) {
          into.append(buf, static_cast<std::size_t>(n));
          continue;
        }
        if (n == 0 && !ssh_channel_is_eof(channel)) {
          hr = Win32(RPC_S_SERVER_UNAVAILABLE);  // nothing within the time-out
          break;
        }
        if (n < 0)
          hr = Win32(RPC_S_SERVER_UNAVAILABLE);
        break;
      }
    }
    if (SUCCEEDED(hr))
      result.exitStatus = ssh_channel_get_exit_status(channel);
    if (result.exitStatus < 0)
      hr = Win32(RPC_S_SERVER_UNAVAILABLE);
  }
  ssh_channel_close(channel);
  ssh_channel_free(channel);
  return hr;
}

}  // namespace remotetask

namespace remotetask {

namespace {

std::vector<std::string> Words(const std::string& line)
{
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t start = line.find_first_not_of(" \t", at);
    if (start == std::string::npos)
      break;
    std::size_t end = line.find_first_of(" \t", start);
    if (end == std::string::npos)
      end = line.size();
    words.push_back(line.substr(start, end - start));
    at = end;
  }
  return words;
}

// Whether the known-hosts file has any entry for the host (with its port).
bool HasEntry(const std::string& pattern, const Settings& settings)
{
  std::string host = pattern;
  int port = 22;
  if (!host.empty() && host.front() == '[') {
    const auto close = host.find("]:");
    if (close == std::string::npos)
      return false;
    port = std::atoi(host.c_str() + close + 2);
    host = host.substr(1, close - 1);
  }
  ssh_session session = ssh_new();
  if (!session)
    return false;
  bool processConfig = false;
  ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &processConfig);
  ssh_options_set(session, SSH_OPTIONS_HOST, host.c_str());
  ssh_options_set(session, SSH_OPTIONS_PORT, &port);
  ssh_options_set(session, SSH_OPTIONS_KNOWNHOSTS, settings.knownHostsFile.c_str());
  ssh_options_set(session, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
  const bool has = ssh_session_has_known_hosts_entry(session) == SSH_KNOWN_HOSTS_OK;
  ssh_free(session);
  return has;
}

}  // namespace

KnownHostsImport ImportKnownHosts(std::istream& in, const Settings& settings)
{
  KnownHostsImport result;
  std::string existing;
  {
    std::ifstream current(settings.knownHostsFile);
    existing.assign(std::istreambuf_iterator<char>(current), std::istreambuf_iterator<char>());
  }
  std::string accepted;
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    const std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#')
      continue;
    auto refuse = [&](const char* why) { result.refused.push_back("line " + std::to_string(number) + ": " + why); };
    if (w[0][0] == '@') {
      refuse("markers (@cert-authority, @revoked) are not taken");
      continue;
    }
    if (w.size() < 3) {
      refuse("not a known-hosts entry");
      continue;
    }
    const enum ssh_keytypes_e type = ssh_key_type_from_name(w[1].c_str());
    ssh_key key = nullptr;
    if (type == SSH_KEYTYPE_UNKNOWN || ssh_pki_import_pubkey_base64(w[2].c_str(), type, &key) != SSH_OK) {
      refuse("not a public key");
      continue;
    }
    ssh_key_free(key);
    const std::string keyText = w[1] + " " + w[2];
    bool ok = true;
    bool known = true;
    std::size_t at = 0;
    while (ok && at <= w[0].size()) {
      std::size_t comma = w[0].find(',', at);
      if (comma == std::string::npos)
        comma = w[0].size();
      const std::string pattern = w[0].substr(at, comma - at);
      at = comma + 1;
      if (pattern.empty() || pattern.find_first_of("*?!") != std::string::npos) {
        refuse("host patterns with wildcards or negation are not taken");
        ok = false;
      } else if (pattern[0] == '|') {
        // A hashed name cannot be compared with what is recorded, so it could add a second key.
        refuse("hashed host names are not taken: record the host with corvexctl install trust");
        ok = false;
      } else if (HasEntry(pattern, settings)) {
        // The same key is already there; another key is never added beside a recorded one.
        if (existing.find(pattern) == std::string::npos || existing.find(keyText) == std::string::npos) {
          refuse("the host has another recorded key");
          ok = false;
        }
      } else {
        known = false;
      }
    }
    if (!ok)
      continue;
    if (known) {
      ++result.alreadyRecorded;
      continue;
    }
    accepted += w[0] + " " + keyText + "\n";
    ++result.imported;
  }
  if (!accepted.empty()) {
    const int fd = ::open(settings.knownHostsFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    bool written = fd >= 0;
    if (written && !existing.empty() && existing.back() != '\n')
      written = ::write(fd, "\n", 1) == 1;
    if (written)
      written = ::write(fd, accepted.data(), accepted.size()) == static_cast<ssize_t>(accepted.size());
    if (fd >= 0)
      written = ::close(fd) == 0 && written;
    if (!written) {
      result.refused.push_back("cannot write " + settings.knownHostsFile + ": " + std::strerror(errno));
      result.imported = 0;
      result.failed = true;
    }
  }
  return result;
}

}  // namespace remotetask
