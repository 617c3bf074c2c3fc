#pragma once
// Reading what the console's command line printed: lines, blank-separated words, and the value
// after a "  label:" line.
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

inline std::vector<std::string> Words(const std::string& line)
{
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;)
    words.push_back(w);
  return words;
}

inline std::vector<std::string> Lines(const std::string& text)
{
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);)
    lines.push_back(l);
  return lines;
}

// The value printed after "  label:", or "(missing)".
inline std::string FieldOf(const std::string& out, const std::string& label)
{
  for (const std::string& line : Lines(out))
    if (line.rfind("  " + label + ":", 0) == 0) {
      const std::size_t value = line.find_first_not_of(' ', label.size() + 3);
      return value == std::string::npos ? "" : line.substr(value);
    }
  return "(missing)";
}

}  // namespace e2e
