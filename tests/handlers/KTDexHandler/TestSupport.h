#pragma once
// Small helpers shared by the anti-virus document tests.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

// The message of the exception of type E that f raises; a test failure when it raises none.
template <class E, class F>
std::string MessageOf(F&& f)
{
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected exception not raised";
  return {};
}

// True when every fragment occurs in `text`, each after the previous one.
inline bool InOrder(const std::string& text, std::initializer_list<const char*> fragments)
{
  std::size_t at = 0;
  for (const char* fragment : fragments) {
    at = text.find(fragment, at);
    if (at == std::string::npos)
      return false;
    at += std::char_traits<char>::length(fragment);
  }
  return true;
}

inline std::size_t Occurrences(const std::string& text, const std::string& what)
{
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
    ++n;
  return n;
}
