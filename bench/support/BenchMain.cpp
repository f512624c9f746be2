#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/BenchFigures.h"

namespace benchfig {
namespace {

std::vector<std::pair<std::string, std::function<double(const Figures&)>>>& derivedFigures() {
  static std::vector<std::pair<std::string, std::function<double(const Figures&)>>> list;
  return list;
}

// Shows the usual table on stderr and keeps each run's figures for stdout.
class FigureReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      // The registered name and arguments, without decorations like /real_time.
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      for (const auto& [key, counter] : run.counters) {
        figures_[key == "items_per_second" ? name + "_per_s" : name + "_" + key] = counter.value;
      }
    }
  }
  const Figures& figures() const { return figures_; }

 private:
  Figures figures_;
};

}  // namespace

void derive(const std::string& name, std::function<double(const Figures&)> compute) {
  derivedFigures().emplace_back(name, std::move(compute));
}

}  // namespace benchfig

// Benchmarks talk to loopback peers only, and keep their files out of the
// user's working root.
int main(int argc, char** argv) {
  setenv("KESTREL_LOOPBACK_ONLY", "1", 1);
  std::string root;
  if (!std::getenv("TARNFIELD_HOME")) {
    char pattern[] = "/tmp/kestrel-bench-XXXXXX";
    if (char* dir = mkdtemp(pattern)) {
      root = dir;
      setenv("TARNFIELD_HOME", dir, 1);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchfig::FigureReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  benchfig::Figures figures = reporter.figures();
  for (const auto& [name, compute] : benchfig::derivedFigures()) {
    double value = compute(figures);
    if (value >= 0) figures[name] = value;
  }
  for (const auto& [name, value] : figures) std::printf("%s: %.6g\n", name.c_str(), value);
  if (!root.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  return 0;
}
