#pragma once
// A child process for end-to-end tests: started with its standard output (and error) read
// line by line in the background, optionally fed on standard input, stopped by signal.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace e2e {

class Process
{
public:
  explicit Process(std::vector<std::string> argv);
  ~Process();  // kills the process if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Waits until the output holds at least `count` lines containing `needle`.
  bool WaitFor(const std::string& needle, std::size_t count = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(15));
  std::size_t Count(const std::string& needle);
  std::vector<std::string> Lines();
  void Write(const std::string& text);  // to standard input
  void Signal(int signal);
  // The exit status (or 128 + signal), -1 when it did not end in time.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  pid_t Pid() const { return m_pid; }

private:
  void Read();

  pid_t m_pid = -1;
  int m_stdin = -1;
  int m_stdout = -1;
  int m_status = -1;
  bool m_exited = false;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<std::string> m_lines;
  std::thread m_reader;
};

}  // namespace e2e
