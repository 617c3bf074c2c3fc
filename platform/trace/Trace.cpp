#include "platform/trace/Trace.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "platform/text/Unicode.h"

namespace trace {
namespace {

struct State
{
  std::mutex lock;
  FILE* out = stderr;
  bool ownsFile = false;
  // Standard error is the journal's stream: each line starts with its syslog priority, so that
  // "journalctl -p err" finds the errors.
  bool journal = false;
  Capture capture;
};

// systemd names the stream it connected as "device:inode" in JOURNAL_STREAM; a process whose
// standard error was redirected since then writes elsewhere and keeps plain lines.
bool StderrIsJournal()
{
  const char* v = std::getenv("JOURNAL_STREAM");
  if (!v || !*v)
    return false;
  unsigned long long dev = 0, ino = 0;
  char extra = 0;
  if (std::sscanf(v, "%llu:%llu%c", &dev, &ino, &extra) != 2)
    return false;
  struct stat st{};
  return ::fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
         static_cast<unsigned long long>(st.st_ino) == ino;
}

// The syslog priority of a trace level: 0 errors, 1 warnings, 2 information, 3 detail.
int JournalPriority(int level)
{
  switch (level) {
    case -1:
    case 0: return 3;
    case 1: return 4;
    case 2: return 6;
    default: return 7;
  }
}

State& TheState()
{
  static State* s = [] {
    auto* st = new State;  // never destroyed: tracing stays usable during static destruction
    if (const char* path = std::getenv("CORVEX_TRACE_FILE"); path && *path) {
      if (FILE* f = std::fopen(path, "ae")) {
        st->out = f;
        st->ownsFile = true;
      }
    }
    st->journal = !st->ownsFile && StderrIsJournal();
    return st;
  }();
  return *s;
}

int InitialLevel()
{
  const char* v = std::getenv("CORVEX_TRACE_LEVEL");
  if (!v || !*v)
    return 1;
  char* end = nullptr;
  const long l = std::strtol(v, &end, 10);
  return *end == '\0' && l >= -1 && l <= 3 ? static_cast<int>(l) : 1;
}

// Function-local so that tracing from other translation units' static constructors sees it set.
std::atomic<int>& LevelRef()
{
  static std::atomic<int> level{InitialLevel()};
  return level;
}
thread_local int t_depth = 0;

// One conversion directive: %[flags][width][.precision][length]conversion.
struct Directive
{
  std::string flags;
  int width = -1;
  int precision = -1;
  char lengthH = 0;  // 'h' narrow text, 'l' wide text, 0 none
  bool wideInt = false;
  char conv = 0;
};

template <class Ch>
class Formatter
{
public:
  Formatter(std::basic_string_view<Ch> fmt, const std::vector<Arg>& args) : m_fmt(fmt), m_args(args) {}

  std::string Run()
  {
    std::string out;
    for (std::size_t i = 0; i < m_fmt.size();) {
      const Ch c = m_fmt[i];
      if (c != Ch('%')) {
        std::size_t j = i;
        while (j < m_fmt.size() && m_fmt[j] != Ch('%')) ++j;
        AppendLiteral(out, i, j);
        i = j;
        continue;
      }
      ++i;
      if (i < m_fmt.size() && m_fmt[i] == Ch('%')) {
        out += '%';
        ++i;
        continue;
      }
      Directive dir;
      if (!ParseDirective(i, dir)) {
        out += "<bad format>";
        break;
      }
      Emit(out, dir);
    }
    return out;
  }

private:
  void AppendLiteral(std::string& out, std::size_t from, std::size_t to)
  {
    if constexpr (sizeof(Ch) == 1)
      out.append(reinterpret_cast<const char*>(m_fmt.data()) + from, to - from);
    else
      out += ToUtf8(std::wstring_view(reinterpret_cast<const wchar_t*>(m_fmt.data()) + from, to - from));
  }

  static bool IsFlag(Ch c) { return c == Ch('-') || c == Ch('+') || c == Ch(' ') || c == Ch('#') || c == Ch('0'); }

  int TakeInt()
  {
    if (m_next >= m_args.size())
      return -1;
    const Arg& a = m_args[m_next++];
    if (a.kind == Arg::Int && a.i >= 0 && a.i < 4096) return static_cast<int>(a.i);
    if (a.kind == Arg::UInt && a.u < 4096) return static_cast<int>(a.u);
    return -1;
  }

  bool ParseDirective(std::size_t& i, Directive& dir)
  {
    while (i < m_fmt.size() && IsFlag(m_fmt[i]))
      dir.flags += static_cast<char>(m_fmt[i++]);
    if (i < m_fmt.size() && m_fmt[i] == Ch('*')) {
      dir.width = TakeInt();
      ++i;
    } else {
      while (i < m_fmt.size() && m_fmt[i] >= Ch('0') && m_fmt[i] <= Ch('9'))
        dir.width = std::max(dir.width, 0) * 10 + static_cast<int>(m_fmt[i++] - Ch('0'));
    }
    if (i < m_fmt.size() && m_fmt[i] == Ch('.')) {
      ++i;
      dir.precision = 0;
      if (i < m_fmt.size() && m_fmt[i] == Ch('*')) {
        dir.precision = TakeInt();
        ++i;
      } else {
        while (i < m_fmt.size() && m_fmt[i] >= Ch('0') && m_fmt[i] <= Ch('9'))
          dir.precision = dir.precision * 10 + static_cast<int>(m_fmt[i++] - Ch('0'));
      }
    }
    if (dir.width > 256) dir.width = 256;
    if (dir.precision > 256) dir.precision = 256;
    // Length modifiers: h, hh, l, ll, L, q, j, z, t, w and the platform's I, I32, I64.
    while (i < m_fmt.size()) {
      const Ch c = m_fmt[i];
      if (c == Ch('h')) { dir.lengthH = 'h'; ++i; }
      else if (c == Ch('l') || c == Ch('w')) { dir.lengthH = 'l'; ++i; }
      else if (c == Ch('L') || c == Ch('q') || c == Ch('j') || c == Ch('z') || c == Ch('t')) { ++i; }
      else if (c == Ch('I')) {
        ++i;
        if (i + 1 < m_fmt.size() && ((m_fmt[i] == Ch('6') && m_fmt[i + 1] == Ch('4')) || (m_fmt[i] == Ch('3') && m_fmt[i + 1] == Ch('2'))))
          i += 2;
      } else break;
    }
    if (i >= m_fmt.size())
      return false;
    dir.conv = static_cast<char>(m_fmt[i] < 0x80 ? m_fmt[i] : '?');
    ++i;
    return true;
  }

  std::string PrintfDirective(const Directive& s, const char* length, char conv) const
  {
    std::string f = "%" + s.flags;
    if (s.width >= 0) f += std::to_string(s.width);
    if (s.precision >= 0) f += "." + std::to_string(s.precision);
    f += length;
    f += conv;
    return f;
  }

  static void Pad(std::string& out, std::string text, const Directive& s)
  {
    if (s.width > 0 && static_cast<int>(text.size()) < s.width) {
      const std::string pad(static_cast<std::size_t>(s.width) - text.size(), ' ');
      text = s.flags.find('-') != std::string::npos ? text + pad : pad + text;
    }
    out += text;
  }

  void Emit(std::string& out, const Directive& dir)
  {
    if (m_next >= m_args.size()) {
      out += "<missing>";
      return;
    }
    const Arg& a = m_args[m_next++];
    char buf[512];
    switch (dir.conv) {
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': {
        if (a.kind == Arg::Int || a.kind == Arg::UInt || a.kind == Arg::Ptr) {
          const std::string f = PrintfDirective(dir, "ll", dir.conv);
          std::uint64_t bits = a.kind == Arg::Int ? static_cast<std::uint64_t>(a.i) : a.kind == Arg::UInt ? a.u : reinterpret_cast<std::uintptr_t>(a.p);
          // %x of a 32-bit value shows 32 bits, as on the platform where long is 32 bits.
          if (dir.conv != 'd' && dir.conv != 'i' && a.kind == Arg::Int && a.i < 0 && a.i >= INT32_MIN)
            bits &= 0xFFFFFFFFu;
          if (dir.conv == 'd' || dir.conv == 'i')
            std::snprintf(buf, sizeof buf, f.c_str(), static_cast<long long>(bits));
          else
            std::snprintf(buf, sizeof buf, f.c_str(), static_cast<unsigned long long>(bits));
          out += buf;
        } else {
          out += "<bad arg>";
        }
        return;
      }
      case 'p': {
        std::uint64_t bits;
        if (a.kind == Arg::Ptr) bits = reinterpret_cast<std::uintptr_t>(a.p);
        else if (a.kind == Arg::Int) bits = static_cast<std::uint64_t>(a.i);
        else if (a.kind == Arg::UInt) bits = a.u;
        else { out += "<bad arg>"; return; }
        // Integers given to %p (an HRESULT, say) show as eight digits, pointers as sixteen.
        if (a.kind != Arg::Ptr && (a.kind == Arg::Int ? (a.i >= INT32_MIN && a.i <= UINT32_MAX) : bits <= UINT32_MAX))
          std::snprintf(buf, sizeof buf, "%08llX", static_cast<unsigned long long>(bits & 0xFFFFFFFFu));
        else
          std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(bits));
        Pad(out, buf, dir);
        return;
      }
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': {
        double v;
        if (a.kind == Arg::Real) v = a.r;
        else if (a.kind == Arg::Int) v = static_cast<double>(a.i);
        else if (a.kind == Arg::UInt) v = static_cast<double>(a.u);
        else { out += "<bad arg>"; return; }
        std::snprintf(buf, sizeof buf, PrintfDirective(dir, "", dir.conv).c_str(), v);
        out += buf;
        return;
      }
      case 'c': case 'C': {
        std::uint64_t cp;
        if (a.kind == Arg::Int) cp = static_cast<std::uint64_t>(a.i);
        else if (a.kind == Arg::UInt) cp = a.u;
        else { out += "<bad arg>"; return; }
        Pad(out, ToUtf8(std::wstring(1, static_cast<wchar_t>(cp <= 0x10FFFF ? cp : 0xFFFD))), dir);
        return;
      }
      case 's': case 'S': case 'Z': {
        std::string text;
        if (a.kind == Arg::Str) text = a.nullText ? "(null)" : std::string(a.s);
        else if (a.kind == Arg::WStr) text = a.nullText ? "(null)" : ToUtf8(a.w);
        else { out += "<bad arg>"; return; }
        if (dir.precision >= 0 && static_cast<std::size_t>(dir.precision) < text.size())
          text.resize(static_cast<std::size_t>(dir.precision));
        Pad(out, std::move(text), dir);
        return;
      }
      case 'n':
        out += "<bad format>";  // never writes through an argument
        return;
      default:
        out += "<bad format>";
        return;
    }
  }

  std::basic_string_view<Ch> m_fmt;
  const std::vector<Arg>& m_args;
  std::size_t m_next = 0;
};

std::string Timestamp()
{
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm t{};
  gmtime_r(&ts.tv_sec, &t);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                t.tm_min, t.tm_sec, ts.tv_nsec / 1000000);
  return buf;
}

}  // namespace

std::string Format(std::string_view fmt, const std::vector<Arg>& args) noexcept
{
  try {
    return Formatter<char>(fmt, args).Run();
  } catch (...) {
    return std::string();
  }
}

std::string Format(std::wstring_view fmt, const std::vector<Arg>& args) noexcept
{
  try {
    return Formatter<wchar_t>(fmt, args).Run();
  } catch (...) {
    return std::string();
  }
}

bool IsEnabled(int level) noexcept { return level <= LevelRef().load(std::memory_order_relaxed); }
void SetLevel(int level) noexcept { LevelRef().store(level, std::memory_order_relaxed); }
int Level() noexcept { return LevelRef().load(std::memory_order_relaxed); }

bool SetOutputFile(const std::string& path) noexcept
{
  State& st = TheState();
  std::lock_guard<std::mutex> lock(st.lock);
  FILE* f = stderr;
  if (!path.empty()) {
    f = std::fopen(path.c_str(), "ae");
    if (!f)
      return false;
  }
  if (st.ownsFile)
    std::fclose(st.out);
  st.out = f;
  st.ownsFile = f != stderr;
  st.journal = !st.ownsFile && StderrIsJournal();
  return true;
}

void SetCapture(Capture capture) noexcept
{
  State& st = TheState();
  std::lock_guard<std::mutex> lock(st.lock);
  st.capture = std::move(capture);
}

void Write(const GUID& component, int level, const std::string& text) noexcept
{
  try {
    std::string body = text;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
      body.pop_back();
    State& st = TheState();
    const std::string prefix = st.journal ? "<" + std::to_string(JournalPriority(level)) + ">" : std::string();
    const std::string line = prefix + Timestamp() + " [" + std::to_string(syscall(SYS_gettid)) + "] L" + std::to_string(level) + " " +
                             GuidToString(component).substr(1, 8) + " " + std::string(static_cast<std::size_t>(t_depth) * 2, ' ') + body + "\n";
    std::lock_guard<std::mutex> lock(st.lock);
    std::fputs(line.c_str(), st.out);
    std::fflush(st.out);
    if (st.capture)
      st.capture(level, component, body);
  } catch (...) {
  }
}

void CFunctionTrace::Enter() noexcept
{
  Write(m_component, 3, "> " + m_signature);
  ++t_depth;
}

CFunctionTrace::~CFunctionTrace()
{
  if (!m_active)
    return;
  --t_depth;
  Write(m_component, 3, "< " + m_signature);
}

}  // namespace trace
