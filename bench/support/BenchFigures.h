#pragma once
#include <functional>
#include <map>
#include <string>

// Figures a benchmark executable prints when it ends, one "name: value" line
// each. Every run gives "<run name>_per_s" when it counts items, and
// "<run name>_<counter>" for each of its own counters; a file may add figures
// computed from those (a ratio of two rates, say).
namespace benchfig {

using Figures = std::map<std::string, double>;

// Registers a figure computed after all runs; it is left out when the
// function returns a negative value (a run it needs did not take place).
void derive(const std::string& name, std::function<double(const Figures&)> compute);

// Registers derived figures from a file's static initialisation.
struct Derived {
  Derived(const std::string& name, std::function<double(const Figures&)> compute) { derive(name, std::move(compute)); }
  // numerator / denominator, two figures of the runs.
  Derived(const std::string& name, std::string numerator, std::string denominator)
      : Derived(name, [numerator, denominator](const Figures& f) {
          auto top = f.find(numerator);
          auto bottom = f.find(denominator);
          if (top == f.end() || bottom == f.end() || bottom->second <= 0) return -1.0;
          return top->second / bottom->second;
        }) {}
};

}  // namespace benchfig
