#pragma once
// The trace library: a leveled trace call and a scope tracer, both given a component GUID.
// Formats are printf-style with the Windows conventions: in narrow formats %s is narrow text and
// %S wide; in wide formats %s is wide and %S narrow; %hs is always narrow, %ls always wide.
// Arguments are captured with their types, so a format that does not match its arguments prints
// a marker instead of reading the wrong thing. Tracing never throws.
//
// Levels: 0 errors and caught exceptions, 1 warnings, 2 progress, 3 detail (scope entry and exit).
// The threshold comes from CORVEX_TRACE_LEVEL (default 1); the sink is the file named by
// CORVEX_TRACE_FILE, else standard error.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/com/Guid.h"

namespace trace {

struct Arg
{
  enum Kind { Int, UInt, Real, Ptr, Str, WStr } kind = Int;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double r = 0;
  const void* p = nullptr;
  std::string_view s;
  std::wstring_view w;
  bool nullText = false;
};

template <class T>
Arg MakeArg(const T& v)
{
  using D = std::decay_t<T>;
  Arg a;
  if constexpr (std::is_array_v<T>) {
    using E = std::remove_cv_t<std::remove_extent_t<T>>;
    if constexpr (std::is_same_v<E, char>) {
      a.kind = Arg::Str;
      a.s = std::string_view(static_cast<const char*>(v));
    } else if constexpr (std::is_same_v<E, wchar_t>) {
      a.kind = Arg::WStr;
      a.w = std::wstring_view(static_cast<const wchar_t*>(v));
    } else {
      a.kind = Arg::Ptr;
      a.p = static_cast<const void*>(v);
    }
  } else if constexpr (std::is_same_v<D, bool>) {
    a.i = v ? 1 : 0;
  } else if constexpr (std::is_enum_v<D>) {
    a.i = static_cast<std::int64_t>(v);
  } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
    a.i = v;
  } else if constexpr (std::is_integral_v<D>) {
    a.kind = Arg::UInt;
    a.u = v;
  } else if constexpr (std::is_floating_point_v<D>) {
    a.kind = Arg::Real;
    a.r = v;
  } else if constexpr (std::is_convertible_v<const D&, std::string_view> && !std::is_pointer_v<D>) {
    a.kind = Arg::Str;
    a.s = std::string_view(v);
  } else if constexpr (std::is_convertible_v<const D&, std::wstring_view> && !std::is_pointer_v<D>) {
    a.kind = Arg::WStr;
    a.w = std::wstring_view(v);
  } else if constexpr (std::is_same_v<D, const char*> || std::is_same_v<D, char*>) {
    a.kind = Arg::Str;
    a.nullText = v == nullptr;
    if (v) a.s = v;
  } else if constexpr (std::is_same_v<D, const wchar_t*> || std::is_same_v<D, wchar_t*>) {
    a.kind = Arg::WStr;
    a.nullText = v == nullptr;
    if (v) a.w = v;
  } else if constexpr (std::is_convertible_v<const D&, const wchar_t*>) {
    const wchar_t* w = v;
    a.kind = Arg::WStr;
    a.nullText = w == nullptr;
    if (w) a.w = w;
  } else if constexpr (std::is_pointer_v<D> || std::is_null_pointer_v<D>) {
    a.kind = Arg::Ptr;
    a.p = reinterpret_cast<const void*>(v);
  } else {
    static_assert(sizeof(D) == 0, "type cannot be traced");
  }
  return a;
}

// Formats a narrow or wide format with captured arguments into UTF-8. Never throws.
std::string Format(std::string_view fmt, const std::vector<Arg>& args) noexcept;
std::string Format(std::wstring_view fmt, const std::vector<Arg>& args) noexcept;

bool IsEnabled(int level) noexcept;
void SetLevel(int level) noexcept;
int Level() noexcept;
// Redirects output to a file (empty path: standard error). False when the file cannot be opened.
bool SetOutputFile(const std::string& path) noexcept;
// Test hook: every written line is also handed to the capture (level, component, text).
using Capture = std::function<void(int, const GUID&, const std::string&)>;
void SetCapture(Capture capture) noexcept;

void Write(const GUID& component, int level, const std::string& text) noexcept;

template <class Ch, class... A>
void Trace(const GUID& component, int level, const Ch* fmt, const A&... args) noexcept
{
  if (!IsEnabled(level) || !fmt)
    return;
  try {
    Write(component, level, Format(std::basic_string_view<Ch>(fmt), std::vector<Arg>{MakeArg(args)...}));
  } catch (...) {
  }
}

// Logs entry at level 3 when constructed and exit when destroyed, indented by nesting depth.
class CFunctionTrace
{
public:
  template <class Ch, class... A>
  CFunctionTrace(const GUID& component, const Ch* signature, const A&... args) noexcept : m_component(component)
  {
    if (!IsEnabled(3) || !signature)
      return;
    try {
      m_signature = Format(std::basic_string_view<Ch>(signature), std::vector<Arg>{MakeArg(args)...});
      m_active = true;
      Enter();
    } catch (...) {
      m_active = false;
    }
  }
  ~CFunctionTrace();
  CFunctionTrace(const CFunctionTrace&) = delete;
  CFunctionTrace& operator=(const CFunctionTrace&) = delete;

private:
  void Enter() noexcept;
  GUID m_component;
  std::string m_signature;
  bool m_active = false;
};

}  // namespace trace
