// The unit "rudadiz -Service" writes is the one the packages ship, and the watchdog is fed at
// the pace systemd asks for.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/service/ServiceControl.h"

namespace {

std::string Read(const std::filesystem::path& path)
{
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(ServiceUnit, ThePackagedUnitIsTheOneTheServiceWrites)
{
  const std::string packaged = Read(std::filesystem::path(CORVEX_SOURCE_DIR) / "packaging/systemd/corvex-management-service.service");
  ASSERT_FALSE(packaged.empty());
  EXPECT_EQ(ServiceUnitText(L"Corvex Management Service", L"\"/usr/lib/corvex/rudadiz\"", L"RPCSS", ""), packaged);
  EXPECT_EQ(ServiceUnitName(L"Corvex Management Service"), "corvex-management-service.service");
}

TEST(ServiceUnit, WrittenUnitRunsUnprivilegedUnderTheWatchdogAndCarriesTheRegistry)
{
  const auto dir = std::filesystem::temp_directory_path() / ("corvex-units-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  ::setenv("CORVEX_SYSTEMD_UNIT_DIR", dir.c_str(), 1);
  ::setenv("CORVEX_REGISTRY", "/srv/corvex/registry.reg", 1);
  SC_HANDLE scm = OpenSCManager();
  ASSERT_NE(scm, nullptr);
  SC_HANDLE svc = CreateService(scm, L"Test Service", L"Test Service", L"\"/opt/t/rudadiz\"", L"RPCSS");
  ASSERT_NE(svc, nullptr);
  const std::string unit = Read(dir / "test-service.service");
  for (const char* line : {"Type=notify\n", "WatchdogSec=60\n", "Restart=on-failure\n", "User=corvex\n", "NoNewPrivileges=yes\n",
                           "ProtectSystem=strict\n", "ReadWritePaths=/etc/corvex\n", "CapabilityBoundingSet=\n",
                           "ExecStart=\"/opt/t/rudadiz\"\n", "Environment=\"CORVEX_REGISTRY=/srv/corvex/registry.reg\"\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  EXPECT_EQ(unit.find("User=root"), std::string::npos);
  EXPECT_TRUE(DeleteService(svc));
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  ::unsetenv("CORVEX_SYSTEMD_UNIT_DIR");
  ::unsetenv("CORVEX_REGISTRY");
  std::filesystem::remove_all(dir);
}

// The watchdog's settings are read at the first feed: this is the only test of this program
// that feeds it.
TEST(ServiceWatchdog, FeedsAtMostFourTimesPerIntervalOnTheNotifySocket)
{
  const std::string path = "/tmp/corvex-notify-" + std::to_string(::getpid());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ::unlink(path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ::setenv("WATCHDOG_USEC", "400000", 1);
  ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);

  auto received = [&] {
    int n = 0;
    char buf[64];
    for (;;) {
      const ssize_t got = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (got <= 0)
        return n;
      EXPECT_EQ(std::string(buf, static_cast<std::size_t>(got)), "WATCHDOG=1");
      ++n;
    }
  };
  FeedWatchdog();
  FeedWatchdog();
  FeedWatchdog();
  EXPECT_EQ(received(), 1) << "one feed per quarter interval, however often the thread comes by";
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  FeedWatchdog();
  EXPECT_EQ(received(), 1);

  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  ::unsetenv("WATCHDOG_PID");
  ::close(fd);
  ::unlink(path.c_str());
}
