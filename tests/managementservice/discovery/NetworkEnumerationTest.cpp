// The operating-system deduction over its whole table, the diagnosis texts, and the stand-in's
// translation of Samba's failures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <string>
#include <vector>

#include "managementservice/discovery/NetworkEnumeration.h"
#include "platform/trace/Trace.h"

namespace {

SERVER_INFO_101 Info(DWORD type, DWORD major, DWORD minor = 0)
{
  SERVER_INFO_101 info;
  info.sv101_type = type;
  info.sv101_version_major = major;
  info.sv101_version_minor = minor;
  return info;
}

// Captures every trace line while alive.
class TraceLines
{
public:
  TraceLines()
  {
    m_level = trace::Level();
    trace::SetLevel(2);
    trace::SetCapture([this](int level, const GUID&, const std::string& text) { m_lines.emplace_back(level, text); });
  }
  ~TraceLines()
  {
    trace::SetCapture(nullptr);
    trace::SetLevel(m_level);
  }
  bool Has(int level, const std::string& text) const
  {
    for (const auto& [l, t] : m_lines)
      if (l == level && t.find(text) != std::string::npos)
        return true;
    return false;
  }

private:
  int m_level;
  std::vector<std::pair<int, std::string>> m_lines;
};

}  // namespace

TEST(DeduceComputerOS, EveryRowOfTheTable)
{
  struct Row
  {
    DWORD type, major, minor;
    PTLDB::OperatingSystem code;
  };
  const Row rows[] = {
    {SV_TYPE_NT, 3, 51, 0},
    {SV_TYPE_WINDOWS, 3, 11, 0},
    {SV_TYPE_NT, 4, 0, 4},
    {SV_TYPE_NT | SV_TYPE_SERVER_NT, 4, 0, 5},
    {SV_TYPE_NT | SV_TYPE_DOMAIN_CTRL, 4, 0, 5},
    {SV_TYPE_NT | SV_TYPE_DOMAIN_BAKCTRL, 4, 0, 5},
    {SV_TYPE_NT, 5, 0, 6},
    {SV_TYPE_NT | SV_TYPE_SERVER_NT, 5, 0, 7},
    {SV_TYPE_NT, 5, 1, 8},
    {SV_TYPE_NT | SV_TYPE_SERVER_NT, 5, 1, 8},  // the server flag does not matter for 5.1 and 5.2
    {SV_TYPE_NT, 5, 2, 9},
    {SV_TYPE_NT | SV_TYPE_DOMAIN_CTRL, 5, 2, 9},
    {SV_TYPE_WINDOWS, 4, 10, 12},
    {SV_TYPE_SERVER_UNIX, 6, 1, 13},
    {SV_TYPE_SERVER_UNIX | SV_TYPE_NT | SV_TYPE_SERVER_NT, 5, 0, 13},
    {SV_TYPE_SERVER_UNIX | SV_TYPE_WINDOWS, 4, 0, 13},
    {0x00809a03, 6, 1, 13},  // what a Samba server announces
    {SV_TYPE_NT, 5, 3, 14},
    {SV_TYPE_NT, 6, 1, 14},
    {SV_TYPE_WINDOWS, 5, 0, 14},
    {SV_TYPE_SERVER | SV_TYPE_WORKSTATION, 5, 1, 14},  // neither NT nor Windows
    {SV_TYPE_NT, 0x15, 1, 8},                           // only the low four bits are the major version
    {SV_TYPE_NT, 0x14, 0, 4},
    {SV_TYPE_NT | SV_TYPE_WINDOWS, 5, 1, 8},  // the Windows test runs last but knows no major 5: NT decides
    {SV_TYPE_NT | SV_TYPE_WINDOWS, 4, 0, 12},
    {SV_TYPE_NT | SV_TYPE_WINDOWS, 3, 0, 0},
  };
  for (const Row& r : rows)
    EXPECT_EQ(DeduceComputerOS(Info(r.type, r.major, r.minor)), r.code)
      << std::hex << "type 0x" << r.type << " version " << r.major << "." << r.minor;
}

TEST(DeduceComputerOS, UnknownVersionsAreTraced)
{
  TraceLines lines;
  DeduceComputerOS(Info(SV_TYPE_NT, 5, 7));
  DeduceComputerOS(Info(SV_TYPE_NT, 6, 0));
  DeduceComputerOS(Info(SV_TYPE_WINDOWS, 5, 0));
  EXPECT_TRUE(lines.Has(2, "Computer type is SV_TYPE_NT, MAJOR_VERSION is 5, minor version is not 0, 1 or 2"));
  EXPECT_TRUE(lines.Has(2, "Computer type is SV_TYPE_NT, MAJOR_VERSION is not 3, 4 or 5"));
  EXPECT_TRUE(lines.Has(2, "Computer type is SV_TYPE_WINDOWS, MAJOR_VERSION is not 3 or 4"));
}

TEST(DiagnoseNetApiError, OneLineAtLevelZeroPerError)
{
  TraceLines lines;
  DiagnoseNetApiError(8);
  DiagnoseNetApiError(53);
  DiagnoseNetApiError(87);
  DiagnoseNetApiError(124);
  DiagnoseNetApiError(1003);
  EXPECT_TRUE(lines.Has(0, "Not enough memory for NetServerGetInfo"));
  EXPECT_TRUE(lines.Has(0, "Network path not found"));
  EXPECT_TRUE(lines.Has(0, "Invalid Parameter to NetServerGetInfo"));
  EXPECT_TRUE(lines.Has(0, "Invalid server info level requested"));
  EXPECT_TRUE(lines.Has(0, "Unknown error occurred calling NetServerGetInfo"));
}

TEST(SambaFailures, MapToTheWin32CodesCallersExpect)
{
  EXPECT_EQ(network::Win32FromConnectErrno(EACCES), 5u);
  EXPECT_EQ(network::Win32FromConnectErrno(EPERM), 5u);
  for (int unreachable : {ENOENT, ECONNREFUSED, EHOSTUNREACH, ENETUNREACH, ETIMEDOUT})
    EXPECT_EQ(network::Win32FromConnectErrno(unreachable), 53u) << unreachable;
  EXPECT_EQ(network::Win32FromConnectErrno(0), 1222u);  // the browse that silently found nothing
  EXPECT_EQ(network::Win32FromConnectErrno(ENOMEM), 8u);
  EXPECT_EQ(network::Win32FromConnectErrno(EINVAL), 87u);
  EXPECT_EQ(network::Win32FromConnectErrno(EIO), 31u);

  // Samba's one "cannot complete" status reads as what the connection attempt found.
  EXPECT_EQ(network::Win32FromNetApiStatus(1003, 0), 5u);
  EXPECT_EQ(network::Win32FromNetApiStatus(1003, 5), 5u);
  EXPECT_EQ(network::Win32FromNetApiStatus(1003, 53), 53u);
  EXPECT_EQ(network::Win32FromNetApiStatus(1003, 2250), 53u);  // no attempt was made
  for (DWORD passed : {0u, 5u, 8u, 53u, 87u, 124u})
    EXPECT_EQ(network::Win32FromNetApiStatus(passed, 53), passed);
}

TEST(SambaStandIn, ProviderNameAndArgumentChecksWithoutTheNetwork)
{
  DWORD length = 0;
  ASSERT_EQ(WNetGetProviderNameW(WNNC_NET_LANMAN, nullptr, &length), 234u);
  std::wstring name(length, L'\0');
  ASSERT_EQ(WNetGetProviderNameW(WNNC_NET_LANMAN, name.data(), &length), 0u);
  EXPECT_FALSE(name.c_str()[0] == L'\0');
  EXPECT_NE(WNetGetProviderNameW(0x00010000, name.data(), &length), 0u);

  BYTE* buffer = reinterpret_cast<BYTE*>(1);
  EXPECT_EQ(NetServerGetInfo(L"\\\\PC1", 102, &buffer), 124u);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(NetServerGetInfo(L"\\\\", 101, &buffer), 87u);
  // A share, not a server, cannot be connected to as a server.
  NETRESOURCEW share;
  std::wstring remote = L"\\\\PC1\\C$";
  share.lpRemoteName = remote.data();
  EXPECT_EQ(WNetAddConnection2W(&share, L"", L"", 0), 53u);
  EXPECT_EQ(WNetCancelConnection2W(L"\\\\PC1", 0, true), 2250u);
  // Below a server nothing is a container: no browse is made.
  NETRESOURCEW server;
  std::wstring serverName = L"\\\\PC1";
  server.lpRemoteName = serverName.data();
  HANDLE handle = nullptr;
  ASSERT_EQ(WNetOpenEnumW(RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEUSAGE_CONTAINER, &server, &handle), 0u);
  DWORD count = 0xFFFFFFFF;
  DWORD size = 16384;
  std::vector<NETRESOURCEW> records(16384 / sizeof(NETRESOURCEW) + 1);
  EXPECT_EQ(WNetEnumResourceW(handle, &count, records.data(), &size), 259u);
  EXPECT_EQ(WNetCloseEnum(handle), 0u);

  EXPECT_FALSE(HasThreadNetworkIdentity());
  SetThreadNetworkIdentity(L"CORP\\admin", L"secret");
  EXPECT_TRUE(HasThreadNetworkIdentity());
  ClearThreadNetworkIdentity();
  EXPECT_FALSE(HasThreadNetworkIdentity());
}

namespace {

bool LocalSmbPortOpen()
{
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(445);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool open = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return open;
}

}  // namespace

// Without a server: what the description query and the enumeration do when nothing answers.
// (tests/e2e/discovery/SambaNetworkTest.cpp has them against a real server.)
TEST(NetworkQueries, AComputerThatRefusesTheConnectionIsANetworkPathNotFound)
{
  if (LocalSmbPortOpen())
    GTEST_SKIP() << "a server listens on this machine's port 445";
  TraceLines lines;
  std::wstring comment = L"unchanged";
  PTLDB::OperatingSystem os = 6;
  // With or without the leading backslashes, the same target.
  EXPECT_FALSE(GetComputerDescriptionAndOS(L"127.0.0.1", comment, os, L"", L""));
  EXPECT_FALSE(GetComputerDescriptionAndOS(L"\\\\127.0.0.1", comment, os, nullptr, nullptr));
  EXPECT_EQ(comment, L"unchanged");
  EXPECT_EQ(os, 6);
  EXPECT_TRUE(lines.Has(2, "Failed to establish connection as user  to computer \\\\127.0.0.1, error: 53"));
  EXPECT_TRUE(lines.Has(2, "Failed to establish connection as user NULL to computer \\\\127.0.0.1, error: 53"));
  EXPECT_TRUE(lines.Has(0, "Network path not found"));
  EXPECT_FALSE(lines.Has(2, "Access denied"));
}

TEST(NetworkQueries, QueriesFromSeveralThreadsAtOnceEachGetTheirOwnAnswer)
{
  if (LocalSmbPortOpen())
    GTEST_SKIP() << "a server listens on this machine's port 445";
  // Every query is refused at once; ten threads of them must all finish, each with its own
  // answer, whatever order they run in.
  std::vector<std::thread> threads;
  std::atomic<int> notFound{0};
  for (int i = 0; i < 10; ++i)
    threads.emplace_back([&notFound] {
      NETRESOURCEW resource;
      std::wstring target = L"\\\\127.0.0.1";
      resource.lpRemoteName = target.data();
      const DWORD connected = WNetAddConnection2W(&resource, L"", L"", 0);
      BYTE* raw = nullptr;
      if (connected == 53 && NetServerGetInfo(target.c_str(), 101, &raw) == 53 && raw == nullptr)
        ++notFound;
    });
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(notFound.load(), 10);
}

TEST(NetworkQueries, NothingIsListedBelowAServerAndChildrenAreAppended)
{
  std::vector<std::wstring> children{L"\\\\FIRST"};
  EXPECT_EQ(NetworkGetChildEntities(L"\\\\PC1", children), S_OK);
  EXPECT_EQ(children, std::vector<std::wstring>{L"\\\\FIRST"});
}
