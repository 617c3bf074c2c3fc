#pragma once
// A small metrics registry in the Prometheus text format: counters, gauges and histograms,
// each a family of series told apart by label values. Updates are lock-free on a series once
// it exists; finding a series takes the family's lock, so hot paths keep the reference.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace metrics {

using Labels = std::vector<std::string>;

class Counter
{
public:
  void Inc(std::uint64_t n = 1) noexcept { m_value.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t Value() const noexcept { return m_value.load(std::memory_order_relaxed); }

private:
  std::atomic<std::uint64_t> m_value{0};
};

class Gauge
{
public:
  void Set(double v) noexcept { m_value.store(v, std::memory_order_relaxed); }
  void Add(double d) noexcept;
  double Value() const noexcept { return m_value.load(std::memory_order_relaxed); }

private:
  std::atomic<double> m_value{0};
};

class Histogram
{
public:
  // Upper bounds, ascending; the +Inf bucket is implied.
  explicit Histogram(std::vector<double> bounds);
  void Observe(double v) noexcept;
  // Cumulative counts per bound, then +Inf; with the sum and count of what was observed.
  struct Snapshot
  {
    std::vector<std::uint64_t> cumulative;
    double sum = 0;
    std::uint64_t count = 0;
  };
  Snapshot Take() const;
  const std::vector<double>& Bounds() const { return m_bounds; }

private:
  std::vector<double> m_bounds;
  mutable std::mutex m_lock;  // sum and buckets move together, so a scrape sees one state
  std::vector<std::uint64_t> m_counts;
  double m_sum = 0;
  std::uint64_t m_count = 0;
};

enum class Kind { Counter, Gauge, Histogram };

// The series of one metric name. Label values are given in the order of the family's label names.
template <class M>
class Family
{
public:
  Family(std::string name, std::string help, Labels labelNames, std::function<std::unique_ptr<M>()> make)
    : m_name(std::move(name)), m_help(std::move(help)), m_labelNames(std::move(labelNames)), m_make(std::move(make))
  {
  }
  // The series of these label values, made on first use. Missing values count as empty, extra
  // ones are ignored: a wrong call site must not crash the service.
  M& With(Labels values = {})
  {
    values.resize(m_labelNames.size());
    std::lock_guard lock(m_lock);
    auto& slot = m_series[values];
    if (!slot)
      slot = m_make();
    return *slot;
  }
  const std::string& Name() const { return m_name; }
  const std::string& Help() const { return m_help; }
  const Labels& LabelNames() const { return m_labelNames; }
  template <class F>
  void ForEach(F f) const
  {
    std::lock_guard lock(m_lock);
    for (const auto& [values, series] : m_series)
      f(values, *series);
  }

private:
  std::string m_name;
  std::string m_help;
  Labels m_labelNames;
  std::function<std::unique_ptr<M>()> m_make;
  mutable std::mutex m_lock;
  std::map<Labels, std::unique_ptr<M>> m_series;
};

class Registry
{
public:
  // Asking again for a name returns the same family; asking for it as another kind throws
  // std::logic_error (a programming error, found by the first test that runs the code).
  Family<Counter>& CounterFamily(const std::string& name, const std::string& help, Labels labelNames = {});
  Family<Gauge>& GaugeFamily(const std::string& name, const std::string& help, Labels labelNames = {});
  Family<Histogram>& HistogramFamily(const std::string& name, const std::string& help, std::vector<double> bounds,
                                     Labels labelNames = {});
  // A gauge read when scraped (a queue's length kept elsewhere). Replaces an earlier one of the name.
  void GaugeCallback(const std::string& name, const std::string& help, std::function<double()> read);
  void RemoveGaugeCallback(const std::string& name);

  // The exposition text (version 0.0.4), families in name order.
  std::string Render() const;

private:
  struct Entry
  {
    Kind kind;
    std::unique_ptr<Family<Counter>> counters;
    std::unique_ptr<Family<Gauge>> gauges;
    std::unique_ptr<Family<Histogram>> histograms;
    std::string help;
    std::function<double()> read;
  };
  Entry& Slot(const std::string& name, Kind kind);

  mutable std::mutex m_lock;
  std::map<std::string, Entry> m_entries;
};

// A label value or help text escaped for the text format.
std::string EscapeLabelValue(const std::string& v);
// A number as the text format writes it (+Inf, -Inf, NaN, integers without a fraction).
std::string FormatValue(double v);

// One sample read back from exposition text: for tools and tests that scrape.
struct Sample
{
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};
// Parses the sample lines of exposition text; comment lines are skipped. A malformed line is an
// error (std::invalid_argument naming the line), never a guess.
std::vector<Sample> ParseText(const std::string& text);
// The value of the sample of this name whose labels include these; nullopt-like: false when absent.
bool FindSample(const std::vector<Sample>& samples, const std::string& name,
                const std::map<std::string, std::string>& labels, double& value);

}  // namespace metrics
