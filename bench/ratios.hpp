#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

// Prints the usual console table, remembers each benchmark's real time per iteration, and
// afterwards prints ratios between benchmarks of the same run: figures measured side by
// side on this shared machine, not against numbers from another day.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  struct Ratio {
    std::string label;
    std::string numerator;    // benchmark names as printed, e.g. "BM_Write/0"
    std::string denominator;
    double target;            // at most this
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        seconds_[run.run_name.str()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints every ratio whose two benchmarks ran.
  void print(const std::vector<Ratio>& ratios) const {
    std::printf("\n");
    for (const Ratio& r : ratios) {
      const auto num = seconds_.find(r.numerator);
      const auto den = seconds_.find(r.denominator);
      if (num == seconds_.end() || den == seconds_.end() || den->second <= 0) continue;
      std::printf("%-56s %6.2f   (target <= %.2f)\n", r.label.c_str(), num->second / den->second,
                  r.target);
    }
  }

 private:
  std::map<std::string, double> seconds_;
};
