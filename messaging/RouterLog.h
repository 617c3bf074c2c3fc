#pragma once
// The router's log: one line per event, with UTC time and level, to <data>/Logs/router.log
// (rotated by size, a fixed number of old files kept) and, when asked, to standard error.
// Levels: 0 errors, 1 warnings, 2 what is routed (letters, logons, notices), 3 detail.
// Errors and warnings reach the file at once; the rest when Flush is called (the router does
// so ten times a second), so that logging every letter costs little.
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>

namespace router {

class RouterLog
{
public:
  struct Options
  {
    std::filesystem::path file;  // empty: no file
    int level = 2;
    bool console = false;
    long maxFileSize = 10 * 1024 * 1024;
    int fileCount = 5;  // router.log.1 ... router.log.<n> are kept
  };

  explicit RouterLog(Options options);
  ~RouterLog();
  RouterLog(const RouterLog&) = delete;
  RouterLog& operator=(const RouterLog&) = delete;

  bool Enabled(int level) const { return level <= m_options.level; }
  void Write(int level, const std::string& text);
  void Flush();

private:
  void Rotate();  // m_mutex held

  Options m_options;
  std::mutex m_mutex;
  std::FILE* m_file = nullptr;
  long m_size = 0;
};

}  // namespace router
