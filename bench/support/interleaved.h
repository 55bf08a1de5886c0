// Runs a baseline and the contenders measured against it round by round, so
// that load drifting on a shared machine moves all of them alike, and prints
// each one's median time with its spread and the ratios of the medians. Only
// `run` is timed: preparing and cleaning up (removing what a run wrote) are
// not. The order inside a round alternates between rounds.
#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace benchsupport {

struct Contender {
  std::string name;
  std::function<bool()> run;                 // timed; false: the run failed
  std::function<bool(int round)> check = {}; // untimed, after the run (round 0 first)
  std::function<void()> cleanup = {};        // untimed, after the check
  std::vector<double> seconds = {};
  bool failed = false;
};

struct RatioLine {
  std::string measured;  // contender names
  std::string baseline;
  std::string label;
};

inline int roundsFromEnvironment() {
  const int rounds = qEnvironmentVariableIntValue("ZARKELO_BENCH_ROUNDS");
  return rounds >= 1 ? rounds : 5;
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// `items` per run and their unit ("MiB", "files") give the rate column.
inline void runInterleaved(const std::string& title, int rounds, double items, const char* unit,
                           std::vector<Contender>& contenders, const std::vector<RatioLine>& ratios) {
  std::printf("== %s: %d rounds, interleaved\n", title.c_str(), rounds);
  std::fflush(stdout);
  for (int round = 0; round < rounds; ++round) {
    std::vector<size_t> order(contenders.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    if (round % 2) std::reverse(order.begin(), order.end());
    for (size_t i : order) {
      Contender& c = contenders[i];
      if (c.failed) continue;
      QElapsedTimer clock;
      clock.start();
      const bool ok = c.run();
      const double s = double(clock.nsecsElapsed()) / 1e9;
      const bool checked = ok && (!c.check || c.check(round));
      if (c.cleanup) c.cleanup();
      if (!checked) {
        std::printf("  %s: round %d %s\n", c.name.c_str(), round + 1, ok ? "gave a wrong result" : "failed");
        c.failed = true;
        continue;
      }
      c.seconds.push_back(s);
    }
  }
  for (const Contender& c : contenders) {
    if (c.seconds.empty()) {
      std::printf("  %-44s not measured\n", c.name.c_str());
      continue;
    }
    const double m = median(c.seconds);
    const auto [lo, hi] = std::minmax_element(c.seconds.begin(), c.seconds.end());
    std::printf("  %-44s median %8.3f s  spread %7.3f..%7.3f s (%+.0f%%/%+.0f%%)  %10.1f %s/s\n", c.name.c_str(), m,
                *lo, *hi, (*lo / m - 1) * 100, (*hi / m - 1) * 100, items / m, unit);
  }
  auto find = [&](const std::string& name) -> const Contender* {
    for (const Contender& c : contenders)
      if (c.name == name && !c.seconds.empty()) return &c;
    return nullptr;
  };
  for (const RatioLine& r : ratios) {
    const Contender* m = find(r.measured);
    const Contender* b = find(r.baseline);
    if (!m || !b) {
      std::printf("ratio %s: not measured\n", r.label.c_str());
      continue;
    }
    // The median of the per-round ratios says how steady the comparison was.
    std::vector<double> perRound;
    for (size_t i = 0; i < std::min(m->seconds.size(), b->seconds.size()); ++i)
      perRound.push_back(m->seconds[i] / b->seconds[i]);
    const auto [lo, hi] = std::minmax_element(perRound.begin(), perRound.end());
    std::printf("ratio %s: %.2f (rounds %.2f..%.2f)\n", r.label.c_str(), median(m->seconds) / median(b->seconds), *lo,
                *hi);
  }
  std::fflush(stdout);
}

}  // namespace benchsupport
