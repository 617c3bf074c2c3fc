#include "metrics/Metrics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace metrics {

void Gauge::Add(double d) noexcept
{
  double current = m_value.load(std::memory_order_relaxed);
  while (!m_value.compare_exchange_weak(current, current + d, std::memory_order_relaxed)) {
  }
}

Histogram::Histogram(std::vector<double> bounds) : m_bounds(std::move(bounds)), m_counts(m_bounds.size() + 1, 0)
{
  std::sort(m_bounds.begin(), m_bounds.end());
}

void Histogram::Observe(double v) noexcept
{
  // The first bucket whose bound is at least v; +Inf past the last.
  const auto at = static_cast<std::size_t>(std::lower_bound(m_bounds.begin(), m_bounds.end(), v) - m_bounds.begin());
  std::lock_guard lock(m_lock);
  ++m_counts[at];
  m_sum += v;
  ++m_count;
}

Histogram::Snapshot Histogram::Take() const
{
  Snapshot s;
  std::lock_guard lock(m_lock);
  std::uint64_t running = 0;
  for (std::uint64_t c : m_counts) {
    running += c;
    s.cumulative.push_back(running);
  }
  s.sum = m_sum;
  s.count = m_count;
  return s;
}

Registry::Entry& Registry::Slot(const std::string& name, Kind kind)
{
  auto it = m_entries.find(name);
  if (it != m_entries.end()) {
    if (it->second.kind != kind)
      throw std::logic_error("metric " + name + " is already registered as another kind");
    return it->second;
  }
  Entry& e = m_entries[name];
  e.kind = kind;
  return e;
}

Family<Counter>& Registry::CounterFamily(const std::string& name, const std::string& help, Labels labelNames)
{
  std::lock_guard lock(m_lock);
  Entry& e = Slot(name, Kind::Counter);
  if (!e.counters)
    e.counters = std::make_unique<Family<Counter>>(name, help, std::move(labelNames), [] { return std::make_unique<Counter>(); });
  return *e.counters;
}

Family<Gauge>& Registry::GaugeFamily(const std::string& name, const std::string& help, Labels labelNames)
{
  std::lock_guard lock(m_lock);
  Entry& e = Slot(name, Kind::Gauge);
  if (e.read)
    throw std::logic_error("metric " + name + " is already registered as a callback");
  if (!e.gauges)
    e.gauges = std::make_unique<Family<Gauge>>(name, help, std::move(labelNames), [] { return std::make_unique<Gauge>(); });
  return *e.gauges;
}

Family<Histogram>& Registry::HistogramFamily(const std::string& name, const std::string& help, std::vector<double> bounds,
                                             Labels labelNames)
{
  std::lock_guard lock(m_lock);
  Entry& e = Slot(name, Kind::Histogram);
  if (!e.histograms)
    e.histograms = std::make_unique<Family<Histogram>>(name, help, std::move(labelNames),
                                                       [bounds] { return std::make_unique<Histogram>(bounds); });
  return *e.histograms;
}

void Registry::GaugeCallback(const std::string& name, const std::string& help, std::function<double()> read)
{
  std::lock_guard lock(m_lock);
  Entry& e = Slot(name, Kind::Gauge);
  if (e.gauges)
    throw std::logic_error("metric " + name + " is already registered as a gauge family");
  e.help = help;
  e.read = std::move(read);
}

void Registry::RemoveGaugeCallback(const std::string& name)
{
  std::lock_guard lock(m_lock);
  auto it = m_entries.find(name);
  if (it != m_entries.end() && it->second.read)
    m_entries.erase(it);
}

std::string EscapeLabelValue(const std::string& v)
{
  std::string out;
  out.reserve(v.size());
  for (char c : v) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string FormatValue(double v)
{
  if (std::isnan(v))
    return "NaN";
  if (std::isinf(v))
    return v > 0 ? "+Inf" : "-Inf";
  char buf[64];
  if (v == std::floor(v) && std::fabs(v) < 1e15)
    std::snprintf(buf, sizeof buf, "%.0f", v);
  else
    std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

namespace {

std::string LabelText(const Labels& names, const Labels& values, const std::string& extraName = {},
                      const std::string& extraValue = {})
{
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    out += out.empty() ? "{" : ",";
    out += names[i] + "=\"" + EscapeLabelValue(values[i]) + "\"";
  }
  if (!extraName.empty()) {
    out += out.empty() ? "{" : ",";
    out += extraName + "=\"" + EscapeLabelValue(extraValue) + "\"";
  }
  return out.empty() ? out : out + "}";
}

std::string HelpText(const std::string& help)
{
  std::string out;
  for (char c : help)
    out += c == '\\' ? std::string("\\\\") : c == '\n' ? std::string("\\n") : std::string(1, c);
  return out;
}

}  // namespace

std::string Registry::Render() const
{
  std::lock_guard lock(m_lock);
  std::string out;
  for (const auto& entry : m_entries) {
    // Plain references, not structured bindings: the lambdas below capture them, which clang 14
    // (the fuzz build's compiler) does not allow for bindings.
    const std::string& name = entry.first;
    const auto& e = entry.second;
    switch (e.kind) {
      case Kind::Counter:
        out += "# HELP " + name + " " + HelpText(e.counters->Help()) + "\n# TYPE " + name + " counter\n";
        e.counters->ForEach([&](const Labels& values, const Counter& c) {
          out += name + LabelText(e.counters->LabelNames(), values) + " " + std::to_string(c.Value()) + "\n";
        });
        break;
      case Kind::Gauge:
        if (e.read) {
          double v = 0;
          try {
            v = e.read();
          } catch (...) {
            v = std::nan("");  // a reader that fails shows as unknown, not as zero
          }
          out += "# HELP " + name + " " + HelpText(e.help) + "\n# TYPE " + name + " gauge\n" + name + " " + FormatValue(v) + "\n";
          break;
        }
        out += "# HELP " + name + " " + HelpText(e.gauges->Help()) + "\n# TYPE " + name + " gauge\n";
        e.gauges->ForEach([&](const Labels& values, const Gauge& g) {
          out += name + LabelText(e.gauges->LabelNames(), values) + " " + FormatValue(g.Value()) + "\n";
        });
        break;
      case Kind::Histogram:
        out += "# HELP " + name + " " + HelpText(e.histograms->Help()) + "\n# TYPE " + name + " histogram\n";
        e.histograms->ForEach([&](const Labels& values, const Histogram& h) {
          const Histogram::Snapshot s = h.Take();
          const Labels& names = e.histograms->LabelNames();
          for (std::size_t i = 0; i < s.cumulative.size(); ++i) {
            const std::string le = i < h.Bounds().size() ? FormatValue(h.Bounds()[i]) : "+Inf";
            out += name + "_bucket" + LabelText(names, values, "le", le) + " " + std::to_string(s.cumulative[i]) + "\n";
          }
          out += name + "_sum" + LabelText(names, values) + " " + FormatValue(s.sum) + "\n";
          out += name + "_count" + LabelText(names, values) + " " + std::to_string(s.count) + "\n";
        });
        break;
    }
  }
  return out;
}

namespace {

[[noreturn]] void Malformed(const std::string& line)
{
  throw std::invalid_argument("malformed metrics line: " + line.substr(0, 200));
}

bool NameChar(char c, bool first)
{
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':' ||
         (!first && std::isdigit(static_cast<unsigned char>(c)));
}

}  // namespace

std::vector<Sample> ParseText(const std::string& text)
{
  std::vector<Sample> samples;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos)
      end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#')
      continue;
    Sample s;
    std::size_t i = 0;
    while (i < line.size() && NameChar(line[i], i == 0))
      ++i;
    if (i == 0)
      Malformed(line);
    s.name = line.substr(0, i);
    if (i < line.size() && line[i] == '{') {
      ++i;
      while (i < line.size() && line[i] != '}') {
        const std::size_t nameStart = i;
        while (i < line.size() && NameChar(line[i], i == nameStart))
          ++i;
        if (i == nameStart || i + 1 >= line.size() || line[i] != '=' || line[i + 1] != '"')
          Malformed(line);
        const std::string label = line.substr(nameStart, i - nameStart);
        i += 2;
        std::string value;
        for (;;) {
          if (i >= line.size())
            Malformed(line);
          const char c = line[i++];
          if (c == '"')
            break;
          if (c == '\\') {
            if (i >= line.size())
              Malformed(line);
            const char e = line[i++];
            value += e == 'n' ? '\n' : e;
          } else {
            value += c;
          }
        }
        s.labels[label] = value;
        if (i < line.size() && line[i] == ',')
          ++i;
      }
      if (i >= line.size())
        Malformed(line);
      ++i;
    }
    if (i >= line.size() || line[i] != ' ')
      Malformed(line);
    const std::string number = line.substr(i + 1, line.find(' ', i + 1) == std::string::npos ? std::string::npos
                                                                                              : line.find(' ', i + 1) - i - 1);
    if (number == "+Inf")
      s.value = HUGE_VAL;
    else if (number == "-Inf")
      s.value = -HUGE_VAL;
    else if (number == "NaN")
      s.value = std::nan("");
    else {
      char* stop = nullptr;
      s.value = std::strtod(number.c_str(), &stop);
      if (number.empty() || *stop != '\0')
        Malformed(line);
    }
    samples.push_back(std::move(s));
  }
  return samples;
}

bool FindSample(const std::vector<Sample>& samples, const std::string& name, const std::map<std::string, std::string>& labels,
                double& value)
{
  for (const Sample& s : samples) {
    if (s.name != name)
      continue;
    bool match = true;
    for (const auto& [k, v] : labels) {
      const auto it = s.labels.find(k);
      if (it == s.labels.end() || it->second != v) {
        match = false;
        break;
      }
    }
    if (match) {
      value = s.value;
      return true;
    }
  }
  return false;
}

}  // namespace metrics
