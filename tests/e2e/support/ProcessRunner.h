#pragma once
// Whole-system tests run the real programs: a scratch folder per test, child processes with
// their own environment and captured output, and waits for what they write.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace e2e {

// A scratch folder, removed with everything in it when the object goes.
class ScratchDir
{
public:
  explicit ScratchDir(const std::string& prefix = "corvex-e2e");
  ~ScratchDir();
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
  std::string m_path;
};

// A child's standard input: the test's own, or a pipe the test writes commands into.
enum class ChildInput
{
  Inherit,
  Pipe,
};

class ChildProcess
{
public:
  // Starts program with args and the environment (NAME=value entries; PATH is added when absent).
  // Standard output and error go to outputFile.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
               const std::string& outputFile, ChildInput input = ChildInput::Inherit);
  ~ChildProcess();  // kills the process (SIGKILL) when it is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return m_pid; }
  void Signal(int sig) const;
  // The exit code (128 + signal when killed), or -1 when it did not end within the time.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool Running();

  // To the child's standard input (ChildInput::Pipe); std::runtime_error when it cannot be
  // written, std::logic_error without a pipe.
  void Write(const std::string& text);

  // What the child wrote so far, and waits for a text in it (count times at least).
  const std::string& OutputFile() const { return m_outputFile; }
  std::string Output() const;
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(15),
                     int count = 1) const;

private:
  pid_t m_pid = -1;
  int m_status = -1;
  int m_input = -1;
  std::string m_outputFile;
};

// Runs program to its end: its exit code (-1 when it outlived the timeout, and it is killed), and
// in `output` what it wrote to outputFile.
int Run(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env,
        const std::string& outputFile, std::string& output, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A loopback port nothing listens on now, and whether something listens on one.
int FreeLoopbackPort();
bool LoopbackPortOpen(int port);

// The test's own environment (NAME=value entries), for children that should see it.
std::vector<std::string> CurrentEnvironment();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// Waits until the file holds the text (count times at least); false after the timeout.
bool WaitForText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                 int count = 1);
int CountOf(const std::string& text, const std::string& what);
// Polls the condition until it holds; false when the time ran out first.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The registry of a service under test, in dir/registry.reg: the database on the local server,
// the console socket dir/console.sock, and the messaging directory dir/messaging (where
// MessagingLocation(dir) makes it).
void WriteServiceRegistry(const ScratchDir& dir, const std::string& database);

}  // namespace e2e
