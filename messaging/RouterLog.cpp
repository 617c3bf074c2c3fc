#include "messaging/RouterLog.h"

#include <ctime>

namespace router {

namespace {

std::string Now()
{
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

}  // namespace

RouterLog::RouterLog(Options options) : m_options(std::move(options))
{
  if (m_options.file.empty())
    return;
  std::error_code ec;
  std::filesystem::create_directories(m_options.file.parent_path(), ec);
  m_file = std::fopen(m_options.file.c_str(), "a");
  if (!m_file) {
    std::fprintf(stderr, "corvex-router: cannot open log file %s\n", m_options.file.c_str());
    return;
  }
  m_size = std::ftell(m_file);
}

RouterLog::~RouterLog()
{
  if (m_file)
    std::fclose(m_file);
}

void RouterLog::Write(int level, const std::string& text)
{
  if (!Enabled(level))
    return;
  static const char* const names[] = {"ERROR", "WARN ", "INFO ", "DEBUG"};
  const std::string line = Now() + " " + names[level < 0 ? 0 : (level > 3 ? 3 : level)] + " " + text + "\n";
  std::lock_guard lock(m_mutex);
  if (m_options.console)
    std::fputs(line.c_str(), stderr);
  if (!m_file)
    return;
  std::fputs(line.c_str(), m_file);
  if (level <= 1)
    std::fflush(m_file);
  m_size += static_cast<long>(line.size());
  if (m_options.maxFileSize > 0 && m_size >= m_options.maxFileSize)
    Rotate();
}

void RouterLog::Flush()
{
  std::lock_guard lock(m_mutex);
  if (m_file)
    std::fflush(m_file);
}

void RouterLog::Rotate()
{
  std::fclose(m_file);
  m_file = nullptr;
  std::error_code ec;
  const std::string base = m_options.file.string();
  if (m_options.fileCount > 0) {
    std::filesystem::remove(base + "." + std::to_string(m_options.fileCount), ec);
    for (int i = m_options.fileCount - 1; i >= 1; --i)
      std::filesystem::rename(base + "." + std::to_string(i), base + "." + std::to_string(i + 1), ec);
    std::filesystem::rename(base, base + ".1", ec);
  } else {
    std::filesystem::remove(base, ec);
  }
  m_file = std::fopen(base.c_str(), "a");
  m_size = 0;
}

}  // namespace router
