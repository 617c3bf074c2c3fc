#include "tools/corvexctl/Password.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>

namespace corvexctl {

bool ReadPassword(const std::string& file, const std::string& prompt, std::string& password)
{
  if (!file.empty()) {
    std::ifstream in(file);
    if (!in)
      return false;
    std::getline(in, password);
  } else {
    termios saved{};
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
      std::fprintf(stderr, "%s", prompt.c_str());
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::getline(std::cin, password);
    if (terminal) {
      ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
      std::fprintf(stderr, "\n");
    }
  }
  if (!password.empty() && password.back() == '\r')
    password.pop_back();
  return true;
}

}  // namespace corvexctl
