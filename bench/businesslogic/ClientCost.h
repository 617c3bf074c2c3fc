#pragma once
// What reading costs the client: per way of reading ("path"), the elapsed time and this
// process's CPU time (user + system, CLOCK_PROCESS_CPUTIME_ID) of each read, measured around
// the read alone. The server's work shows in the elapsed time only, so the CPU time is what the
// client's own layer costs. After the benchmarks, Print() gives one line per path with its CPU
// time as a multiple of a baseline path's (plain libpq).
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

class ClientCost
{
public:
  // Measures reads into the state's counters; the last run of a benchmark (the one reported)
  // is the one remembered for Print().
  class Meter
  {
  public:
    Meter(ClientCost& costs, benchmark::State& state, std::string path) : m_costs(costs), m_state(state), m_path(std::move(path)) {}
    ~Meter()
    {
      const double reads = static_cast<double>(m_reads ? m_reads : 1);
      m_state.counters["client_cpu_ms"] = m_cpu / reads * 1e3;
      m_state.counters["elapsed_ms"] = m_elapsed / reads * 1e3;
      m_state.SetItemsProcessed(m_rows);
      m_costs.Remember(m_path, {m_reads, m_rows, m_elapsed, m_cpu});
    }
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;

    void Start()
    {
      m_wall0 = std::chrono::steady_clock::now();
      m_cpu0 = ProcessCpuSeconds();
    }
    void Stop(long rows)
    {
      m_cpu += ProcessCpuSeconds() - m_cpu0;
      m_elapsed += std::chrono::duration<double>(std::chrono::steady_clock::now() - m_wall0).count();
      m_rows += rows;
      ++m_reads;
    }

  private:
    ClientCost& m_costs;
    benchmark::State& m_state;
    std::string m_path;
    std::chrono::steady_clock::time_point m_wall0;
    double m_cpu0 = 0;
    long m_reads = 0;
    long m_rows = 0;
    double m_elapsed = 0;
    double m_cpu = 0;
  };

  static double ProcessCpuSeconds()
  {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }

  // One line per path, the baseline first, then in the order measured; CPU ratios against the
  // baseline (when it was measured).
  void Print(const std::string& title, const std::string& baseline) const
  {
    const auto base = m_paths.find(baseline);
    std::printf("\n%s (per read; client CPU = this process, user + system)\n", title.c_str());
    std::printf("  %-36s %6s %11s %14s %12s %13s\n", "path", "reads", "elapsed ms", "client CPU ms", "rows/s", "CPU vs libpq");
    std::vector<std::string> order;
    if (base != m_paths.end())
      order.push_back(baseline);
    for (const std::string& path : m_order)
      if (path != baseline)
        order.push_back(path);
    for (const std::string& path : order) {
      const Totals& t = m_paths.at(path);
      const double reads = static_cast<double>(t.reads ? t.reads : 1);
      const double cpu = t.cpu / reads;
      char ratio[32] = "-";
      if (base != m_paths.end() && base->second.cpu > 0)
        std::snprintf(ratio, sizeof ratio, "%.2fx", cpu / (base->second.cpu / static_cast<double>(base->second.reads)));
      std::printf("  %-36s %6ld %11.2f %14.2f %12.0f %13s\n", path.c_str(), t.reads, t.elapsed / reads * 1e3, cpu * 1e3,
                  t.elapsed > 0 ? static_cast<double>(t.rows) / t.elapsed : 0.0, ratio);
    }
  }

private:
  struct Totals
  {
    long reads = 0;
    long rows = 0;
    double elapsed = 0;
    double cpu = 0;
  };
  void Remember(const std::string& path, const Totals& totals)
  {
    if (!m_paths.count(path))
      m_order.push_back(path);
    m_paths[path] = totals;
  }

  std::map<std::string, Totals> m_paths;
  std::vector<std::string> m_order;
};
