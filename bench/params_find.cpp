// Lookup by name runs for every template variable of every page. This
// compares ParamTable::find with a linear scan over the same 786 names
// (the baseline) and prints how many times faster find is.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "params/int_param.h"
#include "params/param_table.h"

namespace {

struct Family {
  const char* prefix;
  int families;
  int members;
};

// The shape of the real table: numbered families of ports, slots, VLANs,
// filters and mail targets, and single names; 786 in all.
constexpr Family kShape[] = {
    {"wyk_port%d_", 10, 20}, {"usb_slot%d_", 7, 40}, {"ip4vlan%d_", 5, 20},
    {"filter%d_", 4, 8},     {"mailto%d_", 11, 2},   {"setting_%03d", 152, 1},
};

struct Fixture {
  ParamTable table;
  std::vector<std::string> names;

  Fixture() {
    char prefix[32];
    for (const Family& f : kShape) {
      for (int i = 0; i < f.families; ++i) {
        std::snprintf(prefix, sizeof prefix, f.prefix, i);
        for (int m = 1; m <= f.members; ++m) {
          std::string name = f.members == 1 ? prefix : prefix + std::to_string(m);
          table.add<IntParam>(name, 0, 0);
          names.push_back(name);
        }
      }
    }
    std::shuffle(names.begin(), names.end(), std::mt19937(786));
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

Param* linearFind(const ParamTable& table, std::string_view name) {
  for (Param* p : table.getItems()) {
    if (p->name() == name && !p->isHidden()) return p;
  }
  return nullptr;
}

void BM_LinearScan(benchmark::State& state) {
  Fixture& f = fixture();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(linearFind(f.table, f.names[i]));
    if (++i == f.names.size()) i = 0;
  }
}
BENCHMARK(BM_LinearScan);

void BM_Find(benchmark::State& state) {
  Fixture& f = fixture();
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.table.find(f.names[i]));
    if (++i == f.names.size()) i = 0;
  }
}
BENCHMARK(BM_Find);

// Keeps the time per iteration of each benchmark for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) nanos[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> nanos;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (fixture().table.size() != 786) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double linear = reporter.nanos["BM_LinearScan"];
  const double find = reporter.nanos["BM_Find"];
  if (linear > 0 && find > 0) {
    std::printf("ParamTable::find is %.1f times as fast as a linear scan of %d parameters\n",
                linear / find, fixture().table.size());
  }
  return 0;
}
